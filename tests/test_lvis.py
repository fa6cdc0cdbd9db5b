"""brandor.lvis against the reference `lvis` package, run as a black box on
random federated datasets: the same precision and recall arrays bit for bit,
the same results and printed lines."""

from __future__ import annotations

import contextlib
import copy
import io
import json
from pathlib import Path
from typing import Any

import numpy as np
import pytest

from brandor import lvis as ours
from synth import make_lvis_case as make_case

# The reference still uses the alias NumPy 1.24 removed; set it for the
# reference alone, in this test process.
np.float = float  # type: ignore[attr-defined]
ref = pytest.importorskip("lvis")


def _write(tmp: Path, name: str, obj: Any) -> str:
    path = tmp / name
    path.write_text(json.dumps(obj))
    return str(path)


def run_both(tmp_path: Path, dataset: dict[str, Any], results: list[dict[str, Any]], kind: str,
             max_dets: int = 300, configure: Any = None) -> tuple[Any, Any, str, str]:
    gt_path = _write(tmp_path, "gt.json", dataset)
    evals, printed = [], []
    for lib in (ours, ref):
        gt = lib.LVIS(gt_path)
        dt = lib.LVISResults(gt, copy.deepcopy(results), max_dets=max_dets)
        E = lib.LVISEval(gt, dt, kind)
        if configure:
            configure(E.params)
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            E.run()
            E.print_results()
        evals.append(E)
        printed.append(buf.getvalue())
    return evals[0], evals[1], printed[0], printed[1]


def assert_same(E: Any, R: Any, out: str, ref_out: str) -> None:
    for key in ("precision", "recall"):
        a, b = E.eval[key], R.eval[key]
        assert a.shape == b.shape and a.dtype == b.dtype, key
        assert np.array_equal(a, b), key
    assert E.eval["counts"] == R.eval["counts"]
    assert list(E.results) == list(R.results)
    for key in R.results:
        assert type(E.results[key]) is type(R.results[key]), key
        assert E.results[key] == R.results[key], key
    assert out == ref_out


@pytest.mark.parametrize("kind", ["bbox", "segm"])
@pytest.mark.parametrize("seed", range(6))
def test_random_federated_cases_match_the_reference(tmp_path, kind, seed):
    dataset, results = make_case(seed, kind=kind)
    assert_same(*run_both(tmp_path, dataset, results, kind))


@pytest.mark.parametrize("max_dets", [300, 5, -1])
def test_more_than_the_cap_per_image(tmp_path, max_dets):
    dataset, results = make_case(40, n_images=9, crowded=True)
    assert_same(*run_both(tmp_path, dataset, results, "bbox", max_dets=max_dets))


def test_custom_parameters(tmp_path):
    dataset, results = make_case(41)

    def configure(p: Any) -> None:
        p.iou_thrs = np.array([0.3, 0.5, 0.75])
        p.rec_thrs = np.linspace(0, 1, 11)
        p.max_dets = 7
        p.img_ids = p.img_ids[2:]
        p.cat_ids = p.cat_ids[:-2]

    assert_same(*run_both(tmp_path, dataset, results, "bbox", configure=configure))


def test_results_and_dataset_api_match(tmp_path):
    dataset, results = make_case(42, crowded=True)
    gt_path = _write(tmp_path, "gt.json", dataset)
    res_path = _write(tmp_path, "res.json", results)
    a, b = ours.LVIS(gt_path), ref.LVIS(gt_path)
    assert a.dataset == b.dataset and a.anns == b.anns and a.cats == b.cats and a.imgs == b.imgs
    assert a.img_ann_map == b.img_ann_map and a.cat_img_map == b.cat_img_map
    assert a.get_cat_ids() == b.get_cat_ids() and a.get_img_ids() == b.get_img_ids()
    for kw in [{}, {"img_ids": [3, 1]}, {"cat_ids": [2, 5]}, {"img_ids": [1, 2], "cat_ids": [1, 3]},
               {"cat_ids": list(range(1, 10)), "area_rng": [0, 500]},
               {"cat_ids": [1], "area_rng": [dataset["annotations"][0]["area"], 1e10]}]:
        assert a.get_ann_ids(**kw) == b.get_ann_ids(**kw), kw
    ids = a.get_ann_ids()[:4]
    assert a.load_anns(ids) == b.load_anns(ids) and a.load_cats(None) == b.load_cats(None)
    assert a.load_imgs([1, 2]) == b.load_imgs([1, 2]) and a.load_imgs((3,)) == b.load_imgs((3,))
    for ann in a.load_anns(ids):
        assert a.ann_to_rle(ann) == b.ann_to_rle(ann)
        assert np.array_equal(a.ann_to_mask(ann), b.ann_to_mask(ann))
    for max_dets in (300, 4, -1):
        ra, rb = ours.LVISResults(a, res_path, max_dets), ref.LVISResults(b, res_path, max_dets)
        assert ra.dataset == rb.dataset and ra.img_ann_map == rb.img_ann_map
    # The results' copy of the images is a deep one, as the reference's is.
    ra.dataset["images"][0]["neg_category_ids"].append(-1)
    assert a.dataset["images"][0]["neg_category_ids"][-1:] != [-1]


def _error(fn: Any) -> tuple[type, str]:
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the type and text are what is compared
        return type(e), str(e)
    raise AssertionError("no error")


def test_rejected_inputs_raise_the_reference_errors(tmp_path):
    dataset, results = make_case(43)
    gt_path = _write(tmp_path, "gt.json", dataset)
    list_path = _write(tmp_path, "list.json", [1, 2])
    outside = [{"image_id": 999, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0}]
    for lib in (ours, ref):
        gt = lib.LVIS(gt_path)
        cases = [
            lambda: lib.LVIS(list_path),
            lambda: lib.LVISResults(gt, copy.deepcopy(outside)),
            lambda: lib.LVISResults(gt, {"a": 1}),
            lambda: lib.LVISResults(gt, []),
            lambda: lib.LVISResults(5, results),
            lambda: lib.LVISEval(gt, results, "keypoints"),
            lambda: lib.LVISEval(gt, None, "bbox"),
            lambda: lib.LVISEval(5, results, "bbox"),
            lambda: gt.get_ann_ids(area_rng=[0, 10]),
            lambda: gt.load_imgs(3),
        ]
        got = [_error(c) for c in cases]
        if lib is ours:
            mine = got
    assert mine == got
