"""accumulate() over records assigned to evalImgs, against the reference's accumulate().

The records are the reference's own (as a trainer that merged them would
hold them), the selection parameters vary in the ways the reference allows:
other recall thresholds (unsorted too), caps, subsets and reorderings of the
categories, area ranges and images.
"""

from __future__ import annotations

import copy
import io
from contextlib import redirect_stdout
from typing import Any, Callable

import numpy as np
import pytest
from pycocotools.cocoeval import COCOeval as RefCOCOeval

import brandor
from conftest import assert_same
from test_cocoeval_diff import box_case, ref_coco

Select = Callable[[Any], None]


def selections() -> dict[str, Select | None]:
    def recall_unsorted(p: Any) -> None:
        p.recThrs = np.array([0.5, 0.2, 0.9, 1.0, 0.0, 0.75, 1.01])

    def caps(p: Any) -> None:
        p.maxDets = [100, 3, 7]

    def subsets(p: Any) -> None:
        p.catIds = p.catIds[::-1][:-1]
        p.imgIds = p.imgIds[1::2] + [10 ** 9]
        p.areaRng = p.areaRng[1:]

    def pooled(p: Any) -> None:
        p.useCats = 0

    return {"same": None, "recall_unsorted": recall_unsorted, "caps": caps, "subsets": subsets,
            "pooled": pooled}


SELECTIONS = selections()


def evaluated_pair(seed: int, use_cats: int = 1) -> tuple[Any, Any]:
    """The reference after evaluate(), and a brandor COCOeval holding its records."""
    dataset, results = box_case(seed)
    gt = ref_coco(dataset)
    with redirect_stdout(io.StringIO()):
        ref = RefCOCOeval(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
        ref.params.useCats = use_cats
        ref.evaluate()
        ours_gt = brandor.COCO(copy.deepcopy(dataset))
        ours = brandor.COCOeval(ours_gt, ours_gt.loadRes(copy.deepcopy(results)), "bbox")
    ours.evalImgs = list(ref.evalImgs)
    ours.params = copy.deepcopy(ref.params)
    ours._paramsEval = copy.deepcopy(ref._paramsEval)
    return ours, ref


@pytest.mark.parametrize("selection", list(SELECTIONS))
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_accumulate_over_reference_records(seed, selection):
    ours, ref = evaluated_pair(seed, use_cats=0 if selection == "pooled" else 1)
    outcomes = []
    for E in (ours, ref):
        p = copy.deepcopy(E.params)
        if SELECTIONS[selection] and selection != "pooled":
            SELECTIONS[selection](p)
        with redirect_stdout(io.StringIO()):
            E.accumulate(p)
        outcomes.append(E.eval)
    for key in ("counts", "precision", "recall", "scores"):
        assert_same(outcomes[0][key], outcomes[1][key], key)


def test_more_threshold_rows_than_thresholds_fails_as_the_reference():
    ours, ref = evaluated_pair(3)
    errors = []
    for E in (ours, ref):
        p = copy.deepcopy(E.params)
        p.iouThrs = p.iouThrs[:4]
        with redirect_stdout(io.StringIO()), pytest.raises(IndexError) as info:
            E.accumulate(p)
        errors.append(str(info.value))
    assert errors[0] == errors[1]


@pytest.mark.parametrize("form", ["float flags", "array scores"])
def test_records_in_other_forms(form):
    """Records whose flags are floats, or whose scores are arrays."""
    ours, ref = evaluated_pair(4)
    records = copy.deepcopy(ref.evalImgs)
    for r in records:
        if r is None:
            continue
        if form == "float flags":
            r["gtIgnore"] = r["gtIgnore"].astype(float)
            r["dtIgnore"] = r["dtIgnore"].astype(float)
        elif form == "array scores":
            r["dtScores"] = np.asarray(r["dtScores"])
    ours.evalImgs = records
    for E in (ours, ref):
        with redirect_stdout(io.StringIO()):
            E.accumulate()
    for key in ("precision", "recall", "scores"):
        assert_same(ours.eval[key], ref.eval[key], key)


def test_records_as_an_object_array_fail_as_in_the_reference():
    ours, ref = evaluated_pair(5)
    for E in (ours, ref):
        E.evalImgs = np.asarray(ref.evalImgs, dtype=object)
        with redirect_stdout(io.StringIO()), pytest.raises(ValueError, match="truth value of an array"):
            E.accumulate()
