"""Mask functions against pycocotools on realistic inputs, timed in one run.

Run: .venv/bin/python bench/bench_mask.py [--repeat N]
Prints, per function, the best time of N runs for brandor and pycocotools and
the ratio (pycocotools time / brandor time; above 1 means brandor is faster).
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import numpy as np
from pycocotools import mask as ref

from brandor import mask as ours

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
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(0)

    polygons = [coco_polygon(rng) for _ in range(10_000)]
    rles = ref.frPyObjects(polygons, H, W)
    masks = np.asfortranarray(ref.decode(rles[:100]))
    image_rles = rles[:300]
    crowd = [int(v) for v in rng.random(300) < 0.05]

    cases = [
        ("encode 100 masks 480x640", lambda m: m.encode(masks)),
        ("decode 100 masks 480x640", lambda m: m.decode(rles[:100])),
        ("frPyObjects 10000 polygons", lambda m: m.frPyObjects(polygons, H, W)),
        ("frPyObjects per polygon x10000", lambda m: [m.frPyObjects([p], H, W) for p in polygons]),
        ("iou 300x300 RLEs", lambda m: m.iou(image_rles, image_rles, crowd)),
        ("merge 10000 RLEs", lambda m: m.merge(rles)),
        ("merge pairs x5000", lambda m: [m.merge(rles[i : i + 2]) for i in range(0, 10_000, 2)]),
        # pycocotools' area fails for more than 255 RLEs in one call (it sizes
        # a uint8 array by the count), so both get 50 calls of 200
        ("area 10000 RLEs (50 x 200)", lambda m: [m.area(rles[i : i + 200]) for i in range(0, 10_000, 200)]),
        ("toBbox 10000 RLEs", lambda m: m.toBbox(rles)),
    ]
    # the results agree before anything is timed
    for name, case in cases:
        a, b = case(ours), case(ref)
        if isinstance(a, np.ndarray):
            assert np.array_equal(a, b), name
        elif isinstance(a, list) and a and isinstance(a[0], np.ndarray):
            assert all(np.array_equal(x, y) for x, y in zip(a, b)), name
        else:
            assert a == b, name

    print(f"{'function':34s} {'brandor':>10s} {'pycocotools':>12s} {'ratio':>7s}")
    for name, case in cases:
        t_ours = best(lambda: case(ours), args.repeat)
        t_ref = best(lambda: case(ref), args.repeat)
        print(f"{name:34s} {t_ours * 1e3:8.2f}ms {t_ref * 1e3:10.2f}ms {t_ref / t_ours:6.2f}x")
    t_boundary = best(lambda: ours.toBoundary(rles[:100]), args.repeat)
    print(f"{'toBoundary 100 masks 480x640':34s} {t_boundary * 1e3:8.2f}ms {'(none)':>12s}")


if __name__ == "__main__":
    main()
