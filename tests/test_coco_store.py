"""COCO and loadRes from files through the compact store: nothing is built per
annotation until some code reads it, what it then reads equals the reference's
objects, and COCOeval from files gives the reference's numbers either way."""

from __future__ import annotations

import contextlib
import copy
import io
import json
import pickle
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pytest
from pycocotools.coco import COCO as RefCOCO
from pycocotools.cocoeval import COCOeval as RefCOCOeval

import brandor
from conftest import assert_same, synth, write_json


def quietly(fn: Callable[[], Any]) -> Any:
    with contextlib.redirect_stdout(io.StringIO()):
        return fn()


def is_lazy(coco: brandor.COCO) -> bool:
    return coco._untouched_store() is not None and "dataset" not in vars(coco)


@pytest.mark.parametrize("keypoints", [False, True])
def test_dataset_members_are_built_on_first_read_and_equal_the_reference(case_files, keypoints):
    gt, _ = case_files(3, keypoints=keypoints, crowd_fraction=0.1)
    ref = quietly(lambda: RefCOCO(gt))
    for first in ("dataset", "anns", "imgToAnns", "catToImgs"):
        ours = quietly(lambda: brandor.COCO(gt))
        assert is_lazy(ours)
        # Images, categories and the getters that need only them stay lazy.
        assert_same(ours.imgs, ref.imgs)
        assert_same(ours.cats, ref.cats)
        assert ours.getCatIds() == ref.getCatIds() and ours.getImgIds() == ref.getImgIds()
        assert is_lazy(ours)
        getattr(ours, first)
        assert not is_lazy(ours)
        for name in ("dataset", "anns", "imgs", "cats", "imgToAnns", "catToImgs"):
            assert_same(getattr(ours, name), getattr(ref, name), f"{first} first, then {name}")


def _results_with_key_orders(rng: np.random.Generator, results: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Box results whose members come in assorted orders, some with the
    fields loadRes fills (area, id, iscrowd) already present, one as the last
    key, some with a segmentation of their own."""
    out = []
    for i, r in enumerate(results):
        r = dict(r)
        extra = int(rng.integers(0, 6))
        if extra == 1:
            r["area"] = 5.0
        elif extra == 2:
            r["id"] = 7
            r["note"] = {"a": [1, 2]}
        elif extra == 3:
            r["iscrowd"] = 0
        elif extra == 4:
            r["segmentation"] = [[0.0, 0.0, 1.0, 0.0, 1.0, 1.0]]
        keys = list(r)
        rng.shuffle(keys)
        out.append({k: r[k] for k in keys})
    return out


def test_box_results_from_a_file_are_the_reference_dicts(tmp_path, case_files):
    gt, res = case_files(4)
    rng = np.random.default_rng(4)
    results = _results_with_key_orders(rng, json.loads(Path(res).read_text()))
    path = write_json(tmp_path / "res_orders.json", results)
    ours_gt, ref_gt = quietly(lambda: brandor.COCO(gt)), quietly(lambda: RefCOCO(gt))
    ours = quietly(lambda: ours_gt.loadRes(path))
    ref = quietly(lambda: ref_gt.loadRes(path))
    assert is_lazy(ours) and is_lazy(ours_gt)
    for name in ("dataset", "anns", "imgs", "cats", "imgToAnns", "catToImgs"):
        assert_same(getattr(ours, name), getattr(ref, name), name)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_box_results_from_an_array_are_the_reference_dicts(case_files, capsys, dtype):
    gt, res = case_files(5)
    rows = [[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in json.loads(Path(res).read_text())]
    data = np.array(rows, dtype=dtype)[::-1]  # negative strides too
    ours_gt, ref_gt = quietly(lambda: brandor.COCO(gt)), quietly(lambda: RefCOCO(gt))
    capsys.readouterr()
    ours = ours_gt.loadRes(data)
    printed_ours = capsys.readouterr().out
    ref = ref_gt.loadRes(data)
    printed_ref = capsys.readouterr().out
    assert printed_ours.split("DONE")[0] == printed_ref.split("DONE")[0]
    assert is_lazy(ours)
    for name in ("dataset", "anns", "imgToAnns", "catToImgs"):
        assert_same(getattr(ours, name), getattr(ref, name), name)


SETUPS: dict[str, Callable[[Any], None] | None] = {
    "default": None,
    "custom": lambda p: (setattr(p, "iouThrs", np.array([0.3, 0.5, 0.75])), setattr(p, "maxDets", [1, 5, 30]),
                         setattr(p, "imgIds", p.imgIds[3:]), setattr(p, "catIds", p.catIds[1:])),
}


def _touch_dataset(gt: Any, dt: Any) -> None:
    len(gt.dataset["annotations"])


def _touch_indexes(gt: Any, dt: Any) -> None:
    len(dt.anns), len(gt.imgToAnns)


def _change_an_annotation(gt: Any, dt: Any) -> None:
    first = dt.dataset["annotations"][0]
    first["score"] = 0.999
    first["bbox"] = [1.0, 1.0, 60.0, 60.0]
    first["area"] = 3600.0


TOUCHES: dict[str, Callable[[Any, Any], None] | None] = {
    "untouched": None, "dataset": _touch_dataset, "indexes": _touch_indexes, "changed": _change_an_annotation}


def run_from_files(lib: str, gt: str, res: str, kind: str, setup: Any, touch: Any) -> tuple[Any, str]:
    COCO, COCOeval = (brandor.COCO, brandor.COCOeval) if lib == "ours" else (RefCOCO, RefCOCOeval)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        coco_gt = COCO(gt)
        coco_dt = coco_gt.loadRes(res)
        if touch:
            touch(coco_gt, coco_dt)
        E = COCOeval(coco_gt, coco_dt, kind)
        if setup:
            setup(E.params)
        E.evaluate()
        E.accumulate()
    summary = io.StringIO()
    with contextlib.redirect_stdout(summary):
        E.summarize()
    return E, summary.getvalue()


@pytest.mark.parametrize("touch", list(TOUCHES))
@pytest.mark.parametrize("setup", list(SETUPS))
@pytest.mark.parametrize("kind", ["bbox", "segm", "keypoints"])
def test_evaluation_from_files_equals_the_reference(case_files, kind, setup, touch):
    if kind == "keypoints" and touch == "changed":
        pytest.skip("keypoint results carry no box to change")
    gt, res = case_files(20 + len(kind), keypoints=kind == "keypoints", kind=kind, crowd_fraction=0.05)
    ours, out = run_from_files("ours", gt, res, kind, SETUPS[setup], TOUCHES[touch])
    ref, ref_out = run_from_files("ref", gt, res, kind, SETUPS[setup], TOUCHES[touch])
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(ours.eval[key], ref.eval[key]), key
    assert np.array_equal(ours.stats, ref.stats) and out == ref_out
    # Each side went to the engine as a store unless user code read it.
    # These mask and keypoint results have no boxes, so the store refuses
    # them; the dicts read from their file still get their indexes (and
    # `dataset["annotations"]`) only when some code reads them.
    results_untouched = touch in ("untouched", "dataset")
    assert is_lazy(ours.cocoGt) == (touch in ("untouched", "changed"))
    assert is_lazy(ours.cocoDt) == (results_untouched and kind == "bbox")
    assert (ours.cocoDt._untouched_annotations() is not None) == (results_untouched and kind != "bbox")


def test_mask_results_with_boxes_from_files_equal_the_reference(tmp_path, case_files):
    # Mask results that also carry boxes (as detectron2 writes them) take the
    # box branch of loadRes, area w x h included, and so the store.
    gt, res = case_files(31, kind="segm")
    results = json.loads(Path(res).read_text())
    from pycocotools import mask as ref_mask

    for r in results:
        r["bbox"] = [float(v) for v in ref_mask.toBbox(r["segmentation"])]
    path = write_json(tmp_path / "segm_boxes.json", results)
    ours, out = run_from_files("ours", gt, path, "segm", None, None)
    ref, ref_out = run_from_files("ref", gt, path, "segm", None, None)
    assert is_lazy(ours.cocoGt) and is_lazy(ours.cocoDt)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(ours.eval[key], ref.eval[key]), key
    assert out == ref_out


def test_a_stored_ground_truth_with_id_0_warns(tmp_path):
    dataset = synth.make_dataset(10, 2, seed=12)
    dataset["annotations"][3]["id"] = 0
    gt = write_json(tmp_path / "gt0.json", dataset)
    res = write_json(tmp_path / "res0.json", synth.make_results(dataset, 5, seed=13))
    coco = quietly(lambda: brandor.COCO(gt))
    E = brandor.COCOeval(coco, quietly(lambda: coco.loadRes(res)), "bbox")
    with pytest.warns(UserWarning, match="id 0"):
        quietly(E.evaluate)
    assert is_lazy(coco)


def test_boundary_from_stores_equals_from_lists(case_files):
    gt, res = case_files(30, kind="segm")
    lazy, _ = run_from_files("ours", gt, res, "boundary", None, None)
    built, _ = run_from_files("ours", gt, res, "boundary", None, _touch_indexes)
    assert is_lazy(lazy.cocoGt) and not is_lazy(built.cocoGt)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(lazy.eval[key], built.eval[key]), key


def test_pickling_and_copying_a_lazy_coco(case_files):
    gt, res = case_files(6)
    coco = quietly(lambda: brandor.COCO(gt))
    dt = quietly(lambda: coco.loadRes(res))
    ref = quietly(lambda: RefCOCO(gt))
    for clone in (pickle.loads(pickle.dumps(coco)), copy.deepcopy(coco)):
        assert_same(clone.dataset, ref.dataset)
        assert_same(clone.anns, ref.anns)
    dt_clone = pickle.loads(pickle.dumps(dt))
    assert_same(dt_clone.dataset["annotations"], dt.dataset["annotations"])


def test_files_the_store_refuses_take_the_ordinary_path(tmp_path):
    dataset = synth.make_dataset(12, 3, seed=8)
    dataset["annotations"][1]["id"] = dataset["annotations"][0]["id"]  # duplicate id
    gt = write_json(tmp_path / "dup.json", dataset)
    results = synth.make_results(dataset, 6, seed=9, kind="segm")
    for r in results:
        r.pop("bbox", None)
    res = write_json(tmp_path / "segm.json", results)
    ours = quietly(lambda: brandor.COCO(gt))
    assert ours._untouched_store() is None
    dt = quietly(lambda: ours.loadRes(res))
    assert dt._untouched_store() is None
    ref = quietly(lambda: RefCOCO(gt))
    assert_same(dt.dataset["annotations"], quietly(lambda: ref.loadRes(res)).dataset["annotations"])


def test_result_files_the_reference_rejects(tmp_path, case_files):
    gt, _ = case_files(7)
    empty = write_json(tmp_path / "empty.json", [])
    outside = write_json(tmp_path / "outside.json",
                         [{"image_id": 10**9, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0}])
    for cls in (brandor.COCO, RefCOCO):
        coco = quietly(lambda: cls(gt))
        with pytest.raises(IndexError):
            quietly(lambda: coco.loadRes(empty))
        with pytest.raises(AssertionError, match="Results do not correspond to current coco set"):
            quietly(lambda: coco.loadRes(outside))
