"""Model files as text: reading a model's text, making a model from text, and taking the text
apart into its configuration, bin and tree blocks and joining it again.

A model file is blocks separated by blank lines: the configuration, one block per feature's bins
(each starting with its kind, "Continuous" or "Discrete"), one block per tree, and an empty block
after the last separator.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from quorvanta import CausalModel

_BLOCK_END = "\n\n"
_BIN_KINDS = ("Continuous\n", "Discrete\n")


def model_text(model: CausalModel) -> str:
    """The text `model.save` writes (the extension's private entry point, no file involved)."""
    return model._to_text()  # type: ignore[attr-defined, no-any-return]


def model_from_text(name: str, text: str) -> CausalModel:
    """The model `CausalModel.load` makes of a file holding `text`, with the same failures."""
    return CausalModel._from_text(name, text)  # type: ignore[attr-defined, no-any-return]


def untrained_copy(model: CausalModel, n_tree: int, seed: int | None) -> CausalModel:
    """A model of the same kind with `model`'s configuration and bins, no trees, and the given
    tree count and seed (None: none). The extension keeps this entry point private, out of its
    published interface."""
    return model._untrained_copy(n_tree, seed)  # type: ignore[attr-defined, no-any-return]


@dataclass(frozen=True)
class ModelBlocks:
    config: str
    bins: tuple[str, ...]
    trees: tuple[str, ...]

    @classmethod
    def of(cls, text: str) -> ModelBlocks:
        blocks = text.split(_BLOCK_END)
        rest = blocks[1:]
        n_bins = 0
        while n_bins < len(rest) and rest[n_bins].startswith(_BIN_KINDS):
            n_bins += 1
        trees = tuple(block for block in rest[n_bins:] if block)
        return cls(blocks[0], tuple(rest[:n_bins]), trees)

    def text(self) -> str:
        return "".join(block + _BLOCK_END for block in (self.config, *self.bins, *self.trees))

    def config_record(self) -> dict[str, Any]:
        return json.loads(self.config)

    def bin_set(self) -> tuple[str, ...]:
        """The bin blocks in a fixed order: a process writes them in an order of its own."""
        return tuple(sorted(self.bins))

    def n_effects(self) -> int:
        """Effect columns a prediction has: one per treatment group besides control."""
        if not self.trees:
            return 0
        tree = json.loads(self.trees[0].split("\n")[1])
        root = tree["split"][0]
        return max(len(root["summary"]) - 1, 0)
