"""Mask functions against pycocotools, timed in one run.

Run: .venv/bin/python bench/bench_mask.py [--repeat N] [--only SUBSTRING]

Two kinds of 480x640 masks: blob-like (COCO-style polygons rasterised) and
noisy (each pixel set with probability 0.3, so runs are a few pixels long).
Every function is timed on one call over many objects and on many calls with
one object each (where the per-call work of converting arguments and building
results dominates). Times are the CPU time of this process (every function
runs on the calling thread), so other work on the machine weighs on them
less than on wall-clock time. Prints, per case, the best time of N runs for brandor and
pycocotools (run in turns) and the ratio (pycocotools time / brandor time; above 1 means
brandor is faster). Results are checked to agree before anything is timed.
"""

from __future__ import annotations

import argparse
import time
from types import SimpleNamespace
from typing import Any, Callable

import numpy as np
from pycocotools import _mask as ref_native
from pycocotools import mask as ref_module

from brandor import mask as ours

# pycocotools.mask leaves frBbox, frPoly and frUncompressedRLE in its native module
ref = SimpleNamespace(**{name: getattr(ref_module, name, None) or getattr(ref_native, name) for name in ours.__all__
                         if name != "toBoundary"})

H, W = 480, 640


def coco_polygon(rng: np.random.Generator) -> list[float]:
    """A star-shaped outline like a COCO segmentation ring (10-60 vertices)."""
    k = int(rng.integers(10, 60))
    cx, cy = rng.uniform(0, W), rng.uniform(0, H)
    radius = rng.uniform(5, 120)
    ang = np.sort(rng.uniform(0, 2 * np.pi, k))
    r = radius * rng.uniform(0.6, 1.0, k)
    xs = np.clip(cx + r * np.cos(ang), 0, W)
    ys = np.clip(cy + r * np.sin(ang), 0, H)
    return [round(float(v), 2) for v in np.c_[xs, ys].ravel()]


def best(fn: Callable[[], object], repeat: int) -> float:
    return best_pair(fn, fn, repeat)[0]


def best_pair(first: Callable[[], object], second: Callable[[], object], repeat: int) -> tuple[float, float]:
    """Best times of two functions, run in turns so that a busy spell of the
    machine weighs on both alike."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(repeat):
        for fn, out in ((first, times[0]), (second, times[1])):
            t0 = time.process_time()
            fn()
            out.append(time.process_time() - t0)
    return min(times[0]), min(times[1])


def uncompressed(rle: dict[str, Any]) -> dict[str, Any]:
    """The same mask with its counts as a list of ints."""
    m = ref.decode(rle)
    flat = m.ravel(order="F")
    edges = np.flatnonzero(np.diff(flat)) + 1
    bounds = np.r_[0, edges, flat.size]
    counts = np.diff(bounds).tolist()
    if flat.size and flat[0] == 1:
        counts = [0] + counts
    return {"size": [H, W], "counts": counts}


def mask_cases(kind: str, masks: np.ndarray, rles: list[dict[str, Any]], single: int) -> list[tuple[str, Any]]:
    """Cases over one kind of masks: `masks` (h, w, n) Fortran-ordered and their RLEs."""
    n = masks.shape[2]
    one = [masks[:, :, k : k + 1] for k in range(min(n, single))]
    few = rles[:single]
    uc = [uncompressed(r) for r in rles[: min(len(rles), 20)]]
    boxes = ref.toBbox(rles)
    crowd = [int(i % 20 == 0) for i in range(len(rles))]
    chunks = [rles[i : i + 200] for i in range(0, len(rles), 200)]
    return [
        (f"encode {n} {kind}", lambda m: m.encode(masks)),
        (f"encode 1 {kind} x{len(one)}", lambda m: [m.encode(a) for a in one]),
        (f"decode {n} {kind}", lambda m: m.decode(rles[:n])),
        (f"decode 1 {kind} x{len(few)}", lambda m: [m.decode([r]) for r in few]),
        (f"merge {len(rles)} {kind}", lambda m: m.merge(rles)),
        (f"merge 2 {kind} x{len(rles) // 2}", lambda m: [m.merge(rles[i : i + 2]) for i in range(0, len(rles) - 1, 2)]),
        (f"intersect 2 {kind} x{len(rles) // 2}",
         lambda m: [m.merge(rles[i : i + 2], intersect=1) for i in range(0, len(rles) - 1, 2)]),
        # pycocotools' area fails for more than 255 RLEs in one call (it sizes
        # a uint8 array by the count), so both get calls of at most 200
        (f"area {len(rles)} {kind} (by 200)", lambda m: [m.area(c) for c in chunks]),
        (f"area 1 {kind} x{len(rles)}", lambda m: [m.area([r]) for r in rles]),
        (f"toBbox {len(rles)} {kind}", lambda m: m.toBbox(rles)),
        (f"toBbox 1 {kind} x{len(rles)}", lambda m: [m.toBbox([r]) for r in rles]),
        (f"iou {len(few)}x{len(few)} {kind}", lambda m: m.iou(few, few, crowd[: len(few)])),
        (f"iou 1x1 {kind} x{len(few) - 1}", lambda m: [m.iou([a], [b], [0]) for a, b in zip(few, few[1:])]),
        (f"frBbox {len(boxes)} {kind} boxes", lambda m: m.frBbox(boxes, H, W)),
        (f"frUncompressedRLE {len(uc)} {kind}", lambda m: m.frUncompressedRLE(uc, H, W)),
        (f"frPyObjects 1 uncompressed {kind} x{len(uc)}", lambda m: [m.frPyObjects(u, H, W) for u in uc]),
    ]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--only", default="", help="run only the cases whose name contains this")
    args = parser.parse_args()
    rng = np.random.default_rng(0)

    polygons = [coco_polygon(rng) for _ in range(4000)]
    blob_rles = ref.frPyObjects(polygons, H, W)
    blob_masks = np.asfortranarray(ref.decode(blob_rles[:100]))
    noisy_masks = np.asfortranarray((rng.random((H, W, 20)) < 0.3).astype(np.uint8))
    noisy_rles = ref.encode(noisy_masks)

    cases = [
        ("frPyObjects 4000 polygons", lambda m: m.frPyObjects(polygons, H, W)),
        ("frPyObjects 1 polygon x4000", lambda m: [m.frPyObjects([p], H, W) for p in polygons]),
        ("frPoly 4000 polygons", lambda m: m.frPoly(polygons, H, W)),
    ]
    cases += mask_cases("blob", blob_masks, blob_rles, 100)
    cases += mask_cases("noisy", noisy_masks, noisy_rles, 20)
    cases = [(name, case) for name, case in cases if args.only in name]

    for name, case in cases:
        a, b = case(ours), case(ref)
        if isinstance(a, np.ndarray):
            assert np.array_equal(a, b), name
        elif isinstance(a, list) and a and isinstance(a[0], np.ndarray):
            assert all(np.array_equal(x, y) for x, y in zip(a, b)), name
        else:
            assert a == b, name

    print(f"{'function':40s} {'brandor':>10s} {'pycocotools':>12s} {'ratio':>7s}")
    for name, case in cases:
        t_ours, t_ref = best_pair(lambda: case(ours), lambda: case(ref), args.repeat)
        print(f"{name:40s} {t_ours * 1e3:8.2f}ms {t_ref * 1e3:10.2f}ms {t_ref / t_ours:6.2f}x", flush=True)
    for kind, rles in (("blob", blob_rles[:100]), ("noisy", noisy_rles)):
        name = f"toBoundary {len(rles)} {kind}"
        if args.only in name:
            t = best(lambda: ours.toBoundary(rles), args.repeat)
            print(f"{name:40s} {t * 1e3:8.2f}ms {'(none)':>12s}")


if __name__ == "__main__":
    main()
