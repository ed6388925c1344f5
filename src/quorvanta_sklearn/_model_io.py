"""A model's text (the model file's contents) and a model made of such text, without a file where
the extension offers that, through a temporary file otherwise."""

from __future__ import annotations

import json
import os
import tempfile

from quorvanta import CausalModel


def model_text(model: CausalModel) -> str:
    to_text = getattr(model, "_to_text", None)
    if to_text is not None:
        return str(to_text())
    with tempfile.TemporaryDirectory(prefix="quorvanta-") as folder:
        path = os.path.join(folder, "model.txt")
        model.save(path)
        with open(path, encoding="utf-8") as file:
            return file.read()


def model_from_text(name: str, text: str) -> CausalModel:
    from_text = getattr(CausalModel, "_from_text", None)
    if from_text is not None:
        return from_text(name, text)  # type: ignore[no-any-return]
    with tempfile.TemporaryDirectory(prefix="quorvanta-") as folder:
        path = os.path.join(folder, "model.txt")
        with open(path, "w", encoding="utf-8", newline="") as file:
            file.write(text)
        return CausalModel(name, {}).load(name, path)


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
