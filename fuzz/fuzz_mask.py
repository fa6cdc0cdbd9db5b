"""Fuzz the mask functions fed by dicts, strings, bytes and polygon lists.

Byte 0 chooses the function, byte 1 how the input is dressed (counts as
bytes, str or left as they are; boxes as a float64 array); the rest is JSON
`{"a": first argument, "b": second, "c": iscrowd, "h": h, "w": w, "r": ratio}`.
Input that is not JSON becomes one RLE dict whose counts are those raw bytes.

Results of the size the input claims are not asked for where that size is
large (decode and toBoundary allocate h*w bytes per mask, rasterising emits
runs per column): those calls are skipped, everything else runs with any size.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np
from _harness import check, main

from brandor import _tarnel

MAX_PIXELS = 1 << 22
MAX_WIDTH = 1 << 16


def dress(obj: Any, how: int) -> Any:
    """Counts text as bytes (how 0) or str (1); lists of four numbers as a
    float64 array when asked (bit 2)."""
    if isinstance(obj, dict):
        out = {k: dress(v, how) for k, v in obj.items()}
        if isinstance(out.get("counts"), str) and how & 3 == 0:
            out["counts"] = out["counts"].encode("utf-8", "surrogatepass")
        return out
    if isinstance(obj, list):
        items = [dress(v, how) for v in obj]
        if how & 4 and items and all(isinstance(v, list) and len(v) == 4 for v in items):
            try:
                return np.array(items, dtype=np.float64)
            except (TypeError, ValueError):
                return items
        return items
    return obj


def claimed_pixels(rles: Any) -> int:
    """Total h*w of the RLE dicts in a list (0 when not such a list)."""
    total = 0
    if isinstance(rles, list):
        for r in rles:
            size = r.get("size") if isinstance(r, dict) else None
            if isinstance(size, list) and len(size) >= 2 and all(isinstance(v, int) for v in size[:2]):
                total += (size[0] % 2**32) * (size[1] % 2**32)
    return total


def small_enough(rles: Any) -> bool:
    return claimed_pixels(rles) <= MAX_PIXELS


def use_rles(rles: list, canonical: bool = False) -> None:
    """Every RLE-reading function on a list of RLE dicts the module made;
    `canonical`: rasterised within an image of sane size, so that decoding
    and encoding again must give the same dicts."""
    n = len(rles)
    check(_tarnel.area(rles).shape == (n,), "area shape")
    check(_tarnel.toBbox(rles).shape == (n, 4), "toBbox shape")
    _tarnel.merge(rles)
    _tarnel.merge(rles, 1)
    if n:
        iou = _tarnel.iou(rles, rles, [0] * n)
        check(iou.shape == (n, n), "iou shape")
        if small_enough(rles):
            decoded = _tarnel.decode(rles)
            # Only masks of the first mask's size survive the round trip.
            h, w = rles[0]["size"]
            same = [r for r in rles if r["size"] == [h, w]]
            if canonical and len(same) == n:
                again = _tarnel.encode(np.asfortranarray(decoded))
                check(again == rles, "decode and encode do not round-trip")
            _tarnel.toBoundary(rles[:4], 0.02)


def body(data: bytes) -> None:
    if len(data) < 2:
        return
    op, how, rest = data[0] % 12, data[1], data[2:]
    try:
        doc = json.loads(rest)
    except (ValueError, RecursionError):
        doc = {"a": [{"size": [data[0] + 1, data[1] + 1], "counts": rest if how & 1 else rest.decode("latin-1")}]}
    if not isinstance(doc, dict):
        doc = {"a": doc}
    doc = dress(doc, how)
    a, b, c = doc.get("a"), doc.get("b", doc.get("a")), doc.get("c", [0])
    h, w = doc.get("h", 16), doc.get("w", 16)
    rasterising = op in (0, 1, 2) and isinstance(w, int) and 0 <= w <= MAX_WIDTH
    sane = rasterising and isinstance(h, int) and 0 < h <= MAX_WIDTH and 0 < w
    if op == 0 and rasterising:
        out = _tarnel.frPyObjects(a, h, w)
        given_rles = isinstance(a, dict) or (isinstance(a, list) and bool(a) and isinstance(a[0], dict))
        use_rles(out if isinstance(out, list) else [out], sane and not given_rles)
    elif op == 1 and rasterising:
        use_rles(_tarnel.frPoly(a, h, w), sane)
    elif op == 2 and rasterising:
        use_rles(_tarnel.frBbox(a, h, w), sane)
    elif op == 3:
        use_rles(_tarnel.frUncompressedRLE(a, h, w))
    elif op == 4 and small_enough(a):
        _tarnel.decode(a)
    elif op == 5:
        _tarnel.area(a)
    elif op == 6:
        _tarnel.merge(a, doc.get("i", 0))
    elif op == 7:
        _tarnel.toBbox(a)
    elif op == 8 and small_enough(a):
        _tarnel.toBoundary(a, doc.get("r", 0.02))
    elif op == 9:
        _tarnel.iou(a, b, c)
    elif op == 10:
        pixels = np.frombuffer(rest, dtype=np.uint8)
        hh = max(1, data[1] % 16)
        n = len(pixels) // hh
        masks = pixels[: n // 2 * 2 * hh].reshape(hh, 2, -1) if n >= 2 else pixels.reshape(1, -1, 1)
        use_rles(_tarnel.encode(masks), True)
    elif op == 11:
        # Objects of the module's own making, read back by every function.
        if isinstance(a, list):
            out = _tarnel.frPyObjects(a, 7, 9) if a else []
            use_rles(out if isinstance(out, list) else [out])


SEEDS = {
    "poly": b"\x00\x00" + b'{"a": [[0, 0, 10, 0, 10, 10, 3.5, 7.25]], "h": 12, "w": 11}',
    "flat-poly": b"\x00\x01" + b'{"a": [0, 0, 10, 0, 10, 10], "h": 12, "w": 11}',
    "box": b"\x00\x00" + b'{"a": [1, 2, 3, 4], "h": 8, "w": 8}',
    "boxes-array": b"\x02\x04" + b'{"a": [[1, 2, 3, 4], [0, 0, 100, 100]], "h": 30, "w": 40}',
    "uncompressed": b"\x03\x00" + b'{"a": [{"size": [3, 4], "counts": [1, 2, 3, 4, 2]}], "h": 1, "w": 1}',
    "rle-bytes": b"\x05\x00" + b'{"a": [{"size": [4, 4], "counts": "02N0"}, {"size": [4, 4], "counts": "6"}]}',
    "rle-str": b"\x08\x01" + b'{"a": [{"size": [9, 9], "counts": "a03<0"}], "r": 0.3}',
    "decode": b"\x04\x00" + b'{"a": [{"size": [5, 3], "counts": "1213"}, {"size": [5, 3], "counts": [2, 13]}]}',
    "iou-rles": b"\x09\x00" + b'{"a": [{"size": [4, 4], "counts": "02N0"}], "b": [{"size": [4, 4], "counts": "6"}], "c": [1]}',
    "iou-boxes": b"\x09\x04" + b'{"a": [[0, 0, 10, 10]], "b": [[5, 5, 10, 10]], "c": [256]}',
    "merge": b"\x06\x00" + b'{"a": [{"size": [4, 4], "counts": "02N0"}, {"size": [4, 4], "counts": "1N0"}], "i": 1}',
    "encode": b"\x0a\x03" + bytes([0, 1, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1]),
    "raw-counts": b"\x05\x01" + b"OO0O1N2M3L",
    "own": b"\x0b\x00" + b'{"a": [[1, 1, 6, 1, 6, 5], [0, 0, 2, 2]]}',
}

if __name__ == "__main__":
    main(body, SEEDS)
