"""Fuzz `load_json` (and `parse_json_only`) with arbitrary file contents."""

from __future__ import annotations

import json

from _harness import ScratchFile, check, main

from brandor import _tarnel

FILE = ScratchFile()


def body(data: bytes) -> None:
    path = FILE.write(data)
    _tarnel.load_json(path)
    # Whatever load_json accepts, the parse-only path accepts too.
    check(_tarnel.parse_json_only(path) == len(data), "parse_json_only refused what load_json loaded")


SEEDS = {
    "dataset": json.dumps({
        "info": {"year": 2017}, "images": [{"id": 1, "width": 640, "height": 480, "file_name": "a.jpg"}],
        "annotations": [{"id": 1, "image_id": 1, "category_id": 3, "bbox": [1.5, 2, 30, 40.25],
                         "area": 1200.5, "iscrowd": 0, "segmentation": [[1, 2, 30, 2, 30, 40]]}],
        "categories": [{"id": 3, "name": "caf\u00e9", "supercategory": "x"}]}).encode(),
    "results": b'[{"image_id": 1, "category_id": 3, "bbox": [1, 2, 3, 4], "score": 0.5e-3}]',
    "numbers": b"[0, -0, 1e-400, -9223372036854775808, 18446744073709551615, 18446744073709551616, 1.7976931348623157e308]",
    "strings": b'{"a": "\\u00e9\\ud83d\\ude00\\n\\"", "a": null, "b": [true, false], "": {}}',
    "nested": b"[" * 127 + b"]" * 127,
}

if __name__ == "__main__":
    main(body, SEEDS)
