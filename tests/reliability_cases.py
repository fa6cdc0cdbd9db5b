"""Inputs shared by the reliability tests: a native Evaluator of any kind over
a synthetic dataset, prepared as COCOeval prepares it, and small files."""

from __future__ import annotations

import contextlib
import copy
import io
import json
import os
from pathlib import Path

import numpy as np

import synth
from brandor import _tarnel
from evaluator_cases import COCO_SIGMAS

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RUN_KEYS = ("precision", "recall", "scores")


def prepared_case(kind: str, n_images: int = 40, seed: int = 3, dets_per_image: int = 20):
    """(dataset, detection annotations as loadRes leaves them) for `kind`."""
    from pycocotools.coco import COCO

    keypoints = kind == "keypoints"
    dataset = synth.make_dataset(n_images, 5, seed=seed, keypoints=keypoints)
    res_kind = {"boundary": "segm"}.get(kind, kind)
    results = synth.make_results(dataset, dets_per_image, seed=seed + 1, kind=res_kind)
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = copy.deepcopy(dataset)
        gt.createIndex()
        dt = gt.loadRes(copy.deepcopy(results))
    return dataset, dt.dataset["annotations"]


def evaluator(kind: str, case=None, **kw) -> _tarnel.Evaluator:
    """The native Evaluator with COCOeval's default parameters for `kind`."""
    dataset, dts = case if case is not None else prepared_case(kind, **kw)
    sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    max_dets = [20] if kind == "keypoints" else [1, 10, 100]
    area_rng = ([[0.0, 1e10], [32.0**2, 96.0**2], [96.0**2, 1e10]] if kind == "keypoints"
                else [[0.0, 1e10], [0.0, 32.0**2], [32.0**2, 96.0**2], [96.0**2, 1e10]])
    return _tarnel.Evaluator(
        copy.deepcopy(dataset["annotations"]), copy.deepcopy(dts), sizes,
        sorted(sizes), sorted(c["id"] for c in dataset["categories"]),
        list(np.linspace(0.5, 0.95, 10)), list(np.linspace(0.0, 1.0, 101)), max_dets, area_rng,
        True, kind, COCO_SIGMAS if kind == "keypoints" else [])


def results_file(path: Path, n: int, seed: int = 0) -> str:
    """A results file of `n` box detections (about 90 bytes each)."""
    rng = np.random.default_rng(seed)
    dets = [{"image_id": int(i), "category_id": int(c), "bbox": [round(float(v), 2) for v in b],
             "score": round(float(s), 4)}
            for i, c, b, s in zip(rng.integers(1, 500, n), rng.integers(1, 80, n),
                                  rng.uniform(0, 600, (n, 4)), rng.random(n))]
    path.write_text(json.dumps(dets))
    return str(path)


def same_run(a: dict, b: dict) -> bool:
    return all(np.array_equal(a[k], b[k], equal_nan=True) for k in RUN_KEYS)
