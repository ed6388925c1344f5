"""Feature importances of a fitted forest, from its model text.

A classification split records its weighted gain (`gain_importance`). A regression split records
only its gain, so its weight, the number of training rows reaching the node, is counted by the
model itself: a copy of the forest whose every leaf carries, as its effects, the sums per feature
of the gains of the splits on the leaf's path predicts the training table; the rows' effects,
summed, are the sums over split nodes of gain times rows, feature by feature.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np

from quorvanta_sklearn._model_io import joined_text, model_from_text, text_blocks


def _trees(text: str) -> list[tuple[str, dict[str, Any]]]:
    """Each tree block as its configuration line and its parsed record."""
    trees = []
    for block in text_blocks(text)[1]:
        config, _, record = block.partition("\n")
        trees.append((config, json.loads(record)))
    return trees


def _split_nodes(tree: dict[str, Any]) -> list[dict[str, Any]]:
    """The split records of the nodes that were split (have children)."""
    return [
        split
        for split, left in zip(tree["split"], tree["left_children"])
        if left is not None and split is not None
    ]


def _normalised(totals: np.ndarray) -> np.ndarray:
    total = float(totals.sum())
    return totals / total if total > 0 else np.zeros_like(totals)


def classification_importances(text: str, n_features: int) -> np.ndarray:
    totals = np.zeros(n_features, dtype=np.float64)
    for _, tree in _trees(text):
        for split in _split_nodes(tree):
            totals[split["feature_id"]] += float(split["gain_importance"] or 0.0)
    return _normalised(totals)


def _path_gain_tree(tree: dict[str, Any], columns: dict[int, int]) -> dict[str, Any]:
    """The tree with each leaf's summary replaced by [0] and then the path's gain per feature
    column, so that its leaf effects are those sums."""
    n_nodes = len(tree["level"])
    sums = [np.zeros(len(columns), dtype=np.float64) for _ in range(n_nodes)]
    splits = list(tree["split"])
    for node in range(n_nodes):  # children have larger ids than their parents
        left, right = tree["left_children"][node], tree["right_children"][node]
        if left is None:
            continue
        below = sums[node].copy()
        split = splits[node]
        below[columns[split["feature_id"]]] += float(split["gain"] or 0.0)
        for child in (left, right):
            if child is not None:
                sums[child] = below
    for node in range(n_nodes):
        if splits[node] is not None:
            # Only leaves' summaries are read; the others are cleared, so that no value the
            # JSON writer cannot spell (an infinite mean) is written back.
            effects = sums[node] if tree["left_children"][node] is None else sums[node] * 0
            splits[node] = dict(splits[node], summary=[[0.0]] + [[float(v)] for v in effects])
    return dict(tree, split=splits)


def path_gain_counter(text: str) -> tuple[str, list[int], int] | None:
    """The text of the forest whose leaves' effects are their paths' gains per used feature,
    the used features (the effect columns) and the number of trees; None when nothing split."""
    trees = _trees(text)
    used = sorted({split["feature_id"] for _, tree in trees for split in _split_nodes(tree)})
    if not used:
        return None
    columns = {feature: column for column, feature in enumerate(used)}
    blocks = [
        config + "\n" + json.dumps(_path_gain_tree(tree, columns), separators=(",", ":"))
        for config, tree in trees
    ]
    return joined_text(text_blocks(text)[0], blocks), used, len(trees)


def gain_row_sums(name: str, counter_text: str, headers: list[str], table: Any) -> np.ndarray:
    """Per used feature, the sum over the table's rows of their paths' gains, per tree."""
    counter = model_from_text(name, counter_text)
    effects = np.asarray(counter.predict_array(headers, table), dtype=np.float32)
    return effects.sum(axis=0, dtype=np.float64)


def weighted_gain_importances(
    sums: np.ndarray, used: list[int], n_trees: int, n_features: int
) -> np.ndarray:
    totals = np.zeros(n_features, dtype=np.float64)
    totals[used] = sums * n_trees
    return _normalised(totals)


def regression_importances(
    name: str, text: str, n_features: int, headers: list[str], table: Any
) -> np.ndarray:
    counter = path_gain_counter(text)
    if counter is None:
        return np.zeros(n_features, dtype=np.float64)
    counter_text, used, n_trees = counter
    sums = gain_row_sums(name, counter_text, headers, table)
    return weighted_gain_importances(sums, used, n_trees, n_features)
