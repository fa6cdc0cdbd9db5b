"""Fuzz the compact store: `load_compact_bbox` in results and dataset mode,
`load_compact_array`, and the methods of the handles they return.

The first byte chooses the entry point; the rest is the file (or the array's
bytes)."""

from __future__ import annotations

import json

import numpy as np
from _harness import ScratchFile, check, main

from brandor import _tarnel

FILE = ScratchFile()


def use_handle(handle: _tarnel.CompactBbox, results: bool) -> None:
    n = handle.annotation_count
    rows = handle.array_rows()
    check(rows.shape == (n, 7), "array_rows has the wrong shape")
    handle.column_bytes
    ids = sorted({int(i) for i in rows[:, 0]})
    if all(abs(i) < 2**53 for i in ids):  # exact in the float64 rows
        check(handle.valid_images(ids), "valid_images refused the store's own images")
    if handle.from_array:
        return
    # A snapshot that loaded parses again: annotations() never fails on it.
    anns = handle.annotations()
    if results:
        check(len(anns) == n, "annotations() and annotation_count disagree")
        cats = {int(c) for c in rows[:, 6]}
        picked = handle.lvis_annotations(ids, cats, {i: cats for i in ids}, 3)
        check(picked is not None and len(picked) <= n, "lvis_annotations selected too much")


def body(data: bytes) -> None:
    if not data:
        return
    mode, rest = data[0] % 3, data[1:]
    if mode == 2:
        dtype = np.float32 if data[0] & 0x80 else np.float64
        size = np.dtype(dtype).itemsize * 7
        array = np.frombuffer(rest[: len(rest) // size * size], dtype=dtype).reshape(-1, 7)
        if data[0] & 0x40:
            array = array[::-1]  # negative strides
        use_handle(_tarnel.load_compact_array(array), True)
        return
    results = mode == 1
    dataset, handle = _tarnel.load_compact_bbox(FILE.write(rest), results)
    check(isinstance(dataset, dict) and (not results or not dataset), "dataset part is wrong")
    use_handle(handle, results)


RESULTS = [
    {"image_id": 1, "category_id": 3, "bbox": [1.5, 2, 30, 40.25], "score": 0.9},
    {"image_id": 2, "category_id": 3, "bbox": [0, 0, 1, 1], "score": 0.1, "segmentation": {"size": [4, 4], "counts": "02N0"}},
    {"image_id": 4000000000, "category_id": -7, "bbox": [1e300, -0.0, 5, 5], "score": 1e-300, "extra": "},{"},
]
DATASET = {
    "info": {"year": 2017}, "images": [{"id": 1, "width": 64, "height": 48}],
    "annotations": [{"id": 1, "image_id": 1, "category_id": 3, "bbox": [1, 2, 30, 40], "area": 1200.5,
                     "iscrowd": 0, "segmentation": [[1, 2, 30, 2, 30, 40]]},
                    {"id": 2, "image_id": 1, "category_id": 3, "bbox": [1, 2, 3, 4], "area": 12, "iscrowd": True,
                     "segmentation": {"size": [48, 64], "counts": [0, 5, 3072]},
                     "keypoints": [1, 2, 2, 0, 0, 0], "num_keypoints": 1}],
    "categories": [{"id": 3, "name": "x"}],
}
ARRAY = np.array([[1, 10, 20, 30, 40, 0.5, 3], [2.9, 0, 0, 1, 1, np.nan, -3.9]], dtype=np.float64)
SEEDS = {
    "results": b"\x01" + json.dumps(RESULTS).encode(),
    "results-keypoints": b"\x01" + json.dumps([{"image_id": 1, "category_id": 1, "keypoints": [1, 2, 1] * 3,
                                                 "bbox": [1, 2, 1, 1], "score": 0.5}]).encode(),
    "dataset": b"\x00" + json.dumps(DATASET).encode(),
    "array64": b"\x02" + ARRAY.tobytes(),
    "array32": bytes([0xC2])  # float32, rows reversed
    + ARRAY.astype(np.float32).tobytes(),
}

if __name__ == "__main__":
    main(body, SEEDS)
