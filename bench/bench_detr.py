"""COCOeval's per-image methods driven from Python, as the DETR family's replaced evaluate() does.

_prepare(), then computeIoU() for every (image, category) and evaluateImg()
for every (category, area range, image), then accumulate(), once with each
library on the same data: 500 images with 80 categories and 100 box
detections per image, and 500 images of one dense category (about 10 objects
and 100 detections per image, as in crowded person detection). Prints the
time of each library and checks that the records and arrays are identical.

Usage: bench_detr.py [--images N]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synth  # noqa: E402


def replaced_evaluate(E: Any) -> list[Any]:
    """The DETR family's evaluate(): the reference's loops over the per-image methods."""
    p = E.params
    p.imgIds = list(np.unique(p.imgIds))
    p.catIds = list(np.unique(p.catIds))
    p.maxDets = sorted(p.maxDets)
    E._prepare()
    E.ious = {(i, c): E.computeIoU(i, c) for i in p.imgIds for c in p.catIds}
    E.evalImgs = [E.evaluateImg(i, c, a, p.maxDets[-1]) for c in p.catIds for a in p.areaRng for i in p.imgIds]
    E._paramsEval = copy.deepcopy(p)
    E.accumulate()
    return E.evalImgs


def timed(coco_cls: type, eval_cls: type, dataset: dict[str, Any], results: list[dict[str, Any]]) -> tuple[float, Any]:
    with contextlib.redirect_stdout(io.StringIO()):
        gt = coco_cls()
        gt.dataset = copy.deepcopy(dataset)
        gt.createIndex()
        E = eval_cls(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
        t0 = time.perf_counter()
        replaced_evaluate(E)
        return time.perf_counter() - t0, E


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", type=int, default=500)
    args = parser.parse_args()

    import brandor
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    cases = {
        "80 categories": (synth.make_dataset(args.images, 80, 7.2, seed=11), 100),
        "one dense category": (synth.make_dataset(args.images, 1, 10.0, seed=13), 100),
    }
    print(f"{'DETR-style evaluate, ' + str(args.images) + ' images':<44} {'pycocotools':>12} {'brandor':>10} {'ratio':>8}")
    for label, (dataset, dets) in cases.items():
        results = synth.make_results(dataset, dets, seed=12)
        t_ref, ref = timed(COCO, COCOeval, dataset, results)
        t_ours, ours = timed(brandor.COCO, brandor.COCOeval, dataset, results)
        for key in ("precision", "recall", "scores"):
            assert np.array_equal(ours.eval[key], ref.eval[key]), f"{label}: {key} differs from the reference"
        assert len(ours.evalImgs) == len(ref.evalImgs)
        for a, b in zip(ours.evalImgs, ref.evalImgs):
            assert (a is None) == (b is None) and (a is None or all(np.array_equal(a[k], b[k]) for k in b))
        print(f"  {label:<42} {t_ref:11.2f}s {t_ours:9.2f}s {t_ref / t_ours:7.1f}x")


if __name__ == "__main__":
    main()
