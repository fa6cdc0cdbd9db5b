"""accumulate() over assigned per-image records: brandor against pycocotools.

Trainers that evaluate in batches or in several processes (torchvision's
reference scripts, the DETR family) merge the per-image records and assign
them to `evalImgs`, with `_paramsEval`, before calling accumulate(). This
measures that accumulate() at COCO scale (5 000 images, 80 categories, about
36 000 ground truths, 100 box detections per image): both libraries get the
same merged records (plain dicts holding NumPy arrays, made once by
brandor's evaluate()) and must produce identical arrays.

Usage: bench_accumulate.py [--images N]
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


def accumulate_assigned(E: Any, records: list[Any], params: Any) -> float:
    """Assign records and parameters as the trainers do, then time accumulate()."""
    E.evalImgs = records
    E.params = copy.deepcopy(params)
    E._paramsEval = copy.deepcopy(params)
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        E.accumulate()
        return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", type=int, default=5000)
    args = parser.parse_args()

    import brandor
    from pycocotools.cocoeval import COCOeval as RefCOCOeval

    dataset = synth.make_dataset(args.images, 80, 7.2, seed=11)
    results = synth.make_results(dataset, 100, seed=12)
    with contextlib.redirect_stdout(io.StringIO()):
        gt = brandor.COCO(dataset)
        E = brandor.COCOeval(gt, gt.loadRes(results), "bbox")
        E.evaluate()
        t0 = time.perf_counter()
        # Through NumPy and back, as the trainers' merge hands them over.
        records = list(np.asarray(E.evalImgs, dtype=object).flatten())
        t_records = time.perf_counter() - t0
        E.accumulate()
    native = E.eval["precision"]
    present = sum(r is not None for r in records)
    print(f"{args.images} images, {len(records)} record slots, {present} records "
          f"(built by brandor in {t_records:.2f} s)")

    t_ours = accumulate_assigned(E, records, E._paramsEval)
    ref = RefCOCOeval(gt, E.cocoDt, "bbox")
    t_ref = accumulate_assigned(ref, records, E._paramsEval)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(E.eval[key], ref.eval[key]), f"{key} differs from the reference"
    assert np.array_equal(E.eval["precision"], native), "records and native run disagree"
    print(f"{'accumulate() over assigned evalImgs':<40} brandor {t_ours:7.3f} s   "
          f"pycocotools {t_ref:7.3f} s   x{t_ref / t_ours:.1f}")


if __name__ == "__main__":
    main()
