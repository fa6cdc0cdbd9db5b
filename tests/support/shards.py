"""Helpers of the sharded-evaluation tests; importable by spawned worker processes."""

from __future__ import annotations

import json
from typing import Any

import numpy as np

import brandor


def split_images(dataset: dict[str, Any], n_shards: int, seed: int) -> list[list[int]]:
    """The dataset's image ids dealt at random into shards of uneven size; the second shard is
    empty when there are at least three, so merges always meet an empty shard."""
    rng = np.random.default_rng(seed)
    ids = [im["id"] for im in dataset["images"]]
    owner = rng.integers(0, n_shards, len(ids))
    if n_shards >= 3:
        owner[owner == 1] = 0
    return [sorted(int(i) for i, o in zip(ids, owner) if o == s) for s in range(n_shards)]


def shard_results(results: list[dict[str, Any]], img_ids: list[int]) -> list[dict[str, Any]]:
    """The detections on the shard's images, as copies (loading completes them in place)."""
    keep = set(img_ids)
    return [dict(r) for r in results if r["image_id"] in keep]


def evaluate_file_shard(gt_path: str, results_path: str, img_ids: list[int]) -> bytes:
    """A worker: the shard's partial result from the whole ground truth and results files."""
    gt = brandor.COCO(gt_path)
    keep = set(img_ids)
    with open(results_path, "rb") as f:
        results = [r for r in json.load(f) if r["image_id"] in keep]
    return brandor.evaluate_shard(gt, results, img_ids=img_ids).to_bytes()
