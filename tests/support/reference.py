"""The reference toolkit run as a black box on files, for the result and command tests."""

from __future__ import annotations

import io
import json
from contextlib import redirect_stdout
from typing import Any, Callable

import numpy as np
from pycocotools.coco import COCO as RefCOCO
from pycocotools.cocoeval import COCOeval as RefCOCOeval


def reference_eval(gt_path: str, res_path: str, iou_type: str,
                   setup: Callable[[Any], None] | None = None) -> tuple[RefCOCOeval, list[str]]:
    """pycocotools' evaluation of two files; returns the evaluator and its printed summary lines."""
    with redirect_stdout(io.StringIO()):
        gt = RefCOCO(gt_path)
        with open(res_path) as f:
            dt = gt.loadRes(json.load(f))
        ref = RefCOCOeval(gt, dt, iou_type)
        if setup is not None:
            setup(ref.params)
        ref.evaluate()
        ref.accumulate()
    out = io.StringIO()
    with redirect_stdout(out):
        ref.summarize()
    return ref, out.getvalue().splitlines()


def framework_per_class_ap(precision: np.ndarray) -> list[float]:
    """Per-class AP as detection frameworks compute it from `eval["precision"]`."""
    aps = []
    for k in range(precision.shape[2]):
        p = precision[:, :, k, 0, -1]
        p = p[p > -1]
        aps.append(float(np.mean(p)) if p.size else -1.0)
    return aps
