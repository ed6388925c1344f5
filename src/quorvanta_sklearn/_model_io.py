"""A model's text (the model file's contents), a model made of such text, and the text taken apart
into its head (configuration and bins) and tree blocks and joined again."""

from __future__ import annotations

import json

from quorvanta import CausalModel


def model_text(model: CausalModel) -> str:
    """The text `model.save` writes."""
    return model._to_text()  # type: ignore[attr-defined, no-any-return]


def model_from_text(name: str, text: str) -> CausalModel:
    """The model `CausalModel.load` makes of a file holding `text`."""
    return CausalModel._from_text(name, text)  # type: ignore[attr-defined, no-any-return]


BLOCK_END = "\n\n"


def text_blocks(text: str) -> tuple[list[str], list[str]]:
    """A model text's head blocks (the configuration, then the bins) and its tree blocks (each
    a configuration line and a tree record line)."""
    head: list[str] = []
    trees: list[str] = []
    for block in text.split(BLOCK_END):
        if not block:
            continue
        first, _, rest = block.partition("\n")
        (trees if first.startswith("{") and rest.startswith("{") else head).append(block)
    return head, trees


def joined_text(head: list[str], trees: list[str]) -> str:
    """The model text of `head`'s configuration and bins with `trees`; the configuration's tree
    count becomes the number of trees, which is how many a model read from the text keeps."""
    config = json.loads(head[0])
    config["n_tree"] = len(trees)
    blocks = [json.dumps(config, separators=(",", ":")), *head[1:], *trees]
    return "".join(block + BLOCK_END for block in blocks)
