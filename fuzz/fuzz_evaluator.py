"""Fuzz `Evaluator` construction, for every kind, from annotation lists and
from compact stores, then run it.

Byte 0 chooses the kind and where each side comes from (a list, a compact
results or dataset file, an N×7 array); byte 1 whether `run` collects the
per-image records and which LVIS flags are set; the rest is JSON
`{"gt": [...], "dt": [...], "sizes": {image id: [h, w]}}` plus optional
parameters (`img`, `cat`, `iou`, `rec`, `md`, `area`, `cats`, `sig`, `ua`, `bd`).
Mask kinds are skipped when the images claim more than a few million pixels,
which the masks legitimately need.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np
from _harness import ScratchFile, check, main

from brandor import _tarnel

KINDS = ("bbox", "segm", "keypoints", "boundary")
MAX_PIXELS = 1 << 22
FILE = ScratchFile()


def image_sizes(raw: Any) -> dict:
    sizes = {}
    if isinstance(raw, dict):
        for k, v in raw.items():
            try:
                sizes[int(k)] = tuple(v)
            except (TypeError, ValueError):
                sizes[k] = v
    return sizes


def pixels(sizes: dict) -> int:
    total = 0
    for v in sizes.values():
        if isinstance(v, tuple) and len(v) == 2 and all(isinstance(x, int) for x in v):
            total += abs(v[0]) * abs(v[1])
    return total


def as_array(anns: Any) -> np.ndarray:
    rows = []
    for a in anns if isinstance(anns, list) else []:
        if isinstance(a, dict):
            box = a.get("bbox", [0, 0, 0, 0])
            rows.append([a.get("image_id", 0), *(list(box) + [0] * 4)[:4], a.get("score", 0), a.get("category_id", 0)])
    return np.array(rows, dtype=np.float64).reshape(-1, 7)


def body(data: bytes) -> None:
    if len(data) < 2:
        return
    kind = KINDS[data[0] & 3]
    gt_source, dt_source = (data[0] >> 2) & 1, (data[0] >> 3) & 3
    doc = json.loads(data[2:])
    if not isinstance(doc, dict):
        return
    sizes = image_sizes(doc.get("sizes", {}))
    if kind in ("segm", "boundary") and pixels(sizes) > MAX_PIXELS:
        return
    gt, dt = doc.get("gt", []), doc.get("dt", [])
    if gt_source:
        gt = _tarnel.load_compact_bbox(FILE.write(json.dumps({"annotations": gt}).encode()), False)[1]
    if dt_source == 1:
        dt = _tarnel.load_compact_bbox(FILE.write(json.dumps(dt).encode()), True)[1]
    elif dt_source == 2:
        dt = _tarnel.load_compact_array(as_array(dt))
    img_ids = doc.get("img", sorted(k for k in sizes if isinstance(k, int)))
    cat_ids = doc.get("cats", [1, 2, 3])
    ev = _tarnel.Evaluator(
        gt, dt, sizes, img_ids, cat_ids,
        doc.get("iou", [0.5, 0.75]), doc.get("rec", [0.0, 0.5, 1.0]), doc.get("md", [1, 10, 100]),
        doc.get("area", [[0, 1e10], [0, 1024]]), bool(data[1] & 1), kind,
        doc.get("sig", [0.5] * 3 if kind == "keypoints" else []), doc.get("ua", True), doc.get("bd", 0.02))
    first = ev.run(bool(data[1] & 2))
    if data[1] & 4:
        n_gt = len(gt) if isinstance(gt, list) else gt.annotation_count
        pairs = [(i, c) for i in img_ids for c in cat_ids] if data[1] & 16 else []
        ev.configure_lvis([bool(data[1] & 8)] * n_gt, pairs, bool(data[1] & 32))
        ev.run()
    else:
        again = ev.run()
        for key in ("precision", "recall", "scores"):
            check(np.array_equal(first[key], again[key], equal_nan=True), "a second run differs")
    # An index past the thresholds is an internal error by contract; stay inside.
    if first["precision"].size:
        ev.per_instance(min(data[1] >> 6, first["precision"].shape[0] - 1), 0, 100)
    ev.timings()


def seed(kind_bits: int, flags: int, doc: dict) -> bytes:
    return bytes([kind_bits, flags]) + json.dumps(doc).encode()


GT = [
    {"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "area": 100, "iscrowd": 0,
     "segmentation": [[0, 0, 10, 0, 10, 10, 0, 10]], "keypoints": [2, 2, 2, 5, 5, 1, 0, 0, 0], "num_keypoints": 2},
    {"id": 2, "image_id": 1, "category_id": 2, "bbox": [5, 5, 10, 10], "area": 64, "iscrowd": 1,
     "segmentation": {"size": [20, 20], "counts": [105, 10, 10, 10, 265]}, "keypoints": [0] * 9, "num_keypoints": 0},
    {"id": 3, "image_id": 2, "category_id": 1, "bbox": [1, 1, 3, 3], "area": 9, "iscrowd": 0, "ignore": 1,
     "segmentation": [[1, 1, 4, 1, 4, 4]], "keypoints": [1, 1, 2, 2, 2, 2, 3, 3, 2], "num_keypoints": 3},
]
DT = [
    {"id": 1, "image_id": 1, "category_id": 1, "bbox": [1, 0, 10, 10], "area": 100, "score": 0.9,
     "segmentation": {"size": [20, 20], "counts": "0:4000"}, "keypoints": [2, 3, 1, 5, 5, 1, 0, 0, 0]},
    {"id": 2, "image_id": 1, "category_id": 2, "bbox": [5, 5, 9, 9], "area": 81, "score": 0.9,
     "segmentation": [[5, 5, 14, 5, 14, 14]], "keypoints": [1, 1, 1, 1, 1, 1, 1, 1, 1]},
    {"id": 3, "image_id": 3, "category_id": 1, "bbox": [0, 0, 2, 2], "area": 4, "score": 0.5,
     "segmentation": [[0, 0, 2, 0, 2, 2]], "keypoints": [0, 0, 1] * 3},
]
DOC = {"gt": GT, "dt": DT, "sizes": {"1": [20, 20], "2": [8, 8], "3": [6, 9]}}
# Detections from an N×7 array carry no keypoints: that pairing is refused,
# so it is no seed.
SEEDS = {f"{kind}-{g}-{d}": seed(k | g << 2 | d << 3, 0b11, DOC)
         for k, kind in enumerate(KINDS) for g in (0, 1) for d in (0, 1, 2) if not (kind == "keypoints" and d == 2)}
SEEDS["lvis"] = seed(1, 0b11111111, DOC)
SEEDS["params"] = seed(0, 0, dict(DOC, img=[1, 2, 3, 4], iou=[0.1], rec=[0.0], md=[1], area=[[0, 50]], ua=False))

if __name__ == "__main__":
    main(body, SEEDS)
