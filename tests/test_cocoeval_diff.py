"""brandor.COCOeval against pycocotools' COCOeval on random datasets: arrays, stats, evalImgs, printed lines."""

from __future__ import annotations

import copy
import io
import warnings
from contextlib import redirect_stdout
from typing import Any, Callable

import numpy as np
import pytest
from pycocotools.coco import COCO as RefCOCO
from pycocotools.cocoeval import COCOeval as RefCOCOeval

import brandor
from conftest import synth, without_timings

if not hasattr(brandor._tarnel, "Evaluator"):
    pytest.skip("the native Evaluator is not part of this build", allow_module_level=True)

Setup = Callable[[Any], None]


def ref_coco(dataset: dict[str, Any]) -> RefCOCO:
    coco = RefCOCO()
    coco.dataset = copy.deepcopy(dataset)
    with redirect_stdout(io.StringIO()):
        coco.createIndex()
    return coco


def run_eval(evaluator: Any, setup: Setup | None) -> str:
    if setup is not None:
        setup(evaluator.params)
    out = io.StringIO()
    with redirect_stdout(out):
        evaluator.evaluate()
        evaluator.accumulate()
        evaluator.summarize()
    return out.getvalue()


def evaluate_both(dataset: dict[str, Any], results: list[dict[str, Any]], iou_type: str,
                  setup: Setup | None = None) -> tuple[Any, Any, str, str]:
    gt_ref = ref_coco(dataset)
    with redirect_stdout(io.StringIO()):
        gt_ours = brandor.COCO(copy.deepcopy(dataset))
        dt_ref = gt_ref.loadRes(copy.deepcopy(results))
        dt_ours = gt_ours.loadRes(copy.deepcopy(results))
    ours = brandor.COCOeval(gt_ours, dt_ours, iou_type)
    ref = RefCOCOeval(gt_ref, dt_ref, iou_type)
    return ours, ref, run_eval(ours, setup), run_eval(ref, setup)


def assert_same_eval(ours: Any, ref: Any, out_ours: str, out_ref: str, label: str, eval_imgs: bool = True) -> None:
    assert without_timings(out_ours) == without_timings(out_ref), f"{label}: printed lines differ"
    assert ours.eval["counts"] == ref.eval["counts"], label
    for key in ("precision", "recall", "scores"):
        a, b = ours.eval[key], ref.eval[key]
        assert a.shape == b.shape and a.dtype == b.dtype, f"{label}: {key} {a.shape} != {b.shape}"
        bad = np.argwhere(a != b)
        assert len(bad) == 0, f"{label}: {key} differs at {bad[:5].tolist()}: {a[tuple(bad[0])]} != {b[tuple(bad[0])]}"
    assert np.array_equal(ours.stats, ref.stats), f"{label}: stats {ours.stats} != {ref.stats}"
    assert list(ours.eval) == list(ref.eval), label
    for key in ("imgIds", "catIds", "maxDets"):
        assert list(getattr(ours.params, key)) == list(getattr(ref.params, key)), f"{label}: params.{key}"
    if eval_imgs:
        assert_same_eval_imgs(ours.evalImgs, ref.evalImgs, label)


def assert_same_eval_imgs(ours: list[Any], ref: list[Any], label: str) -> None:
    assert len(ours) == len(ref), f"{label}: {len(ours)} evalImgs != {len(ref)}"
    for pos, (a, b) in enumerate(zip(ours, ref)):
        where = f"{label}: evalImgs[{pos}]"
        if b is None:
            assert a is None, where
            continue
        assert a is not None and list(a) == list(b), f"{where} keys"
        for key, ref_value in b.items():
            value = a[key]
            if isinstance(ref_value, np.ndarray):
                assert isinstance(value, np.ndarray), f"{where}[{key}] type"
                assert value.dtype == ref_value.dtype and value.shape == ref_value.shape, \
                    f"{where}[{key}] {value.dtype}{value.shape} != {ref_value.dtype}{ref_value.shape}"
                assert np.array_equal(value, ref_value), f"{where}[{key}]"
            else:
                assert value == ref_value, f"{where}[{key}]: {value!r} != {ref_value!r}"


def box_case(seed: int) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """A dataset and results whose size and mix vary with the seed."""
    rng = np.random.default_rng(seed)
    n_images = int(rng.integers(10, 120))
    n_categories = int(rng.integers(1, 21))
    dataset = synth.make_dataset(n_images, n_categories, anns_per_image=float(rng.uniform(1, 9)), seed=seed,
                                 crowd_fraction=float(rng.choice([0.0, 0.05, 0.2])))
    results = synth.make_results(dataset, int(rng.integers(3, 40)), seed=seed + 1000)
    return dataset, results


def setups() -> dict[str, Setup | None]:
    def use_cats_0(p: Any) -> None:
        p.useCats = 0

    def fewer_thresholds(p: Any) -> None:
        p.iouThrs = np.array([0.5, 0.75, 0.9])
        p.recThrs = np.linspace(0.0, 1.0, 11)

    def recall_unsorted(p: Any) -> None:
        # The reference stops at the first recall it cannot reach.
        p.recThrs = np.array([0.3, 0.95, 0.1, 1.0, 0.0, 0.5])

    def max_dets_small(p: Any) -> None:
        p.maxDets = [10, 1, 3]

    def custom_area(p: Any) -> None:
        p.areaRng = [[0, 1e10], [0, 600], [600, 4000], [4000, 1e10]]

    def subsets(p: Any) -> None:
        p.imgIds = p.imgIds[::2] + [987654321]
        p.catIds = p.catIds[1:] + p.catIds[:1]

    return {"default": None, "useCats0": use_cats_0, "thresholds": fewer_thresholds, "recall_unsorted": recall_unsorted,
            "maxDets": max_dets_small, "areaRng": custom_area, "subsets": subsets}


SETUPS = setups()


def seeds(default: int, total: int) -> list:
    """The first `default` seeds run by default, the rest only with -m slow."""
    return [pytest.param(s, marks=pytest.mark.slow) if s >= default else s for s in range(total)]


@pytest.mark.parametrize("setup", list(SETUPS))
@pytest.mark.parametrize("seed", seeds(4, 40))
def test_bbox(seed, setup):
    dataset, results = box_case(seed)
    label = f"bbox seed={seed} setup={setup}"
    assert_same_eval(*evaluate_both(dataset, results, "bbox", SETUPS[setup]), label)


def test_bbox_single_cap_fails_in_summarize_as_the_reference():
    """With one detection cap the arrays agree; the summary then needs a third cap and fails alike."""
    dataset, results = box_case(41)
    gt_ref = ref_coco(dataset)
    with redirect_stdout(io.StringIO()):
        gt_ours = brandor.COCO(copy.deepcopy(dataset))
        pair = [brandor.COCOeval(gt_ours, gt_ours.loadRes(copy.deepcopy(results)), "bbox"),
                RefCOCOeval(gt_ref, gt_ref.loadRes(copy.deepcopy(results)), "bbox")]
    outs = []
    for e in pair:
        e.params.maxDets = [5]
        buf = io.StringIO()
        with redirect_stdout(buf):
            e.evaluate()
            e.accumulate()
            with pytest.raises(IndexError):
                e.summarize()
        outs.append(buf.getvalue())
    ours, ref = pair
    assert without_timings(outs[0]) == without_timings(outs[1])
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(ours.eval[key], ref.eval[key]), key
    assert_same_eval_imgs(ours.evalImgs, ref.evalImgs, "maxDets [5]")


def test_edge_shapes():
    """Images without ground truth or detections, a category without detections, duplicate ids."""
    dataset, results = box_case(50)
    # Detections on an image without ground truth and an image with nothing at all.
    bare = {"id": 5, "width": 320, "height": 240, "file_name": "bare.jpg"}
    empty = {"id": 6, "width": 320, "height": 240, "file_name": "empty.jpg"}
    dataset["images"] += [bare, empty]
    cat = dataset["categories"][0]["id"]
    results += [{"image_id": 5, "category_id": cat, "bbox": [10, 10, 30, 30], "score": 0.9}]
    # Two ground truths sharing an id: the reference evaluates the later one twice.
    first, second = dataset["annotations"][0], dataset["annotations"][1]
    second["id"] = first["id"]
    second["image_id"], second["category_id"] = first["image_id"], first["category_id"]
    assert_same_eval(*evaluate_both(dataset, results, "bbox"), "edge shapes")


def test_accumulate_with_other_params():
    """accumulate(p) with different recall thresholds and a subset of the categories and images."""
    dataset, results = box_case(51)
    pair = list(evaluate_both(dataset, results, "bbox")[:2])
    for e in pair:
        p = copy.deepcopy(e.params)
        p.recThrs = np.linspace(0.0, 1.0, 21)
        p.catIds = p.catIds[:-1]
        p.imgIds = p.imgIds[: len(p.imgIds) // 2]
        p.maxDets = [1, 100]
        with redirect_stdout(io.StringIO()):
            e.accumulate(p)
    ours, ref = pair
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(ours.eval[key], ref.eval[key]), key
    assert ours.eval["counts"] == ref.eval["counts"]


def test_use_segm_and_progress_lines():
    dataset, results = box_case(52)

    def use_segm(p: Any) -> None:
        p.useSegm = 0

    ours, ref, out_ours, out_ref = evaluate_both(dataset, results, "bbox", use_segm)
    assert "useSegm (deprecated) is not None. Running bbox evaluation" in out_ours
    assert_same_eval(ours, ref, out_ours, out_ref, "useSegm", eval_imgs=False)


def test_params_defaults():
    for iou_type in ("bbox", "segm", "keypoints"):
        ours, ref = brandor.Params(iou_type), __import__("pycocotools.cocoeval", fromlist=["Params"]).Params(iou_type)
        assert sorted(vars(ours)) == sorted(vars(ref))
        for key, value in vars(ref).items():
            mine = getattr(ours, key)
            assert type(mine) is type(value), key
            assert np.array_equal(np.asarray(mine), np.asarray(value)), key
    for cls in (brandor.Params, __import__("pycocotools.cocoeval", fromlist=["Params"]).Params):
        with pytest.raises(Exception, match="^iouType not supported$"):
            cls("mask")
    # Boundary IoU takes the detection parameters, as segm does.
    boundary, segm = brandor.Params("boundary"), brandor.Params("segm")
    assert boundary.iouType == "boundary"
    assert all(np.array_equal(np.asarray(getattr(boundary, k)), np.asarray(getattr(segm, k)))
               for k in vars(segm) if k != "iouType")


def test_summarize_before_accumulate():
    for cls in (brandor.COCOeval, RefCOCOeval):
        with pytest.raises(Exception, match="^Please run accumulate\\(\\) first$"):
            cls(iouType="bbox").summarize()


def test_accumulate_before_evaluate():
    outs = []
    for cls in (brandor.COCOeval, RefCOCOeval):
        buf = io.StringIO()
        with redirect_stdout(buf), pytest.raises(AttributeError) as info:
            cls(iouType="bbox").accumulate()
        outs.append((buf.getvalue(), str(info.value)))
    assert outs[0] == outs[1]


def test_segm_matches_the_reference_or_is_refused_clearly():
    """Mask evaluation either agrees with the reference or fails with a plain error, never made-up numbers."""
    dataset, _ = box_case(53)
    results = synth.make_results(dataset, 5, seed=1, kind="segm")
    try:
        outcome = evaluate_both(dataset, results, "segm")
    except Exception as exc:  # PanicException derives from BaseException and is not caught here
        assert str(exc), "the error must say what is unsupported"
        return
    assert_same_eval(*outcome, "segm")


def test_use_cats_0_with_repeated_categories():
    dataset, results = box_case(54)

    def repeat(p: Any) -> None:
        p.useCats = 0
        p.catIds = p.catIds + p.catIds[:2]

    assert_same_eval(*evaluate_both(dataset, results, "bbox", repeat), "useCats 0, repeated catIds")


def keypoint_case(seed: int) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    rng = np.random.default_rng(seed)
    dataset = synth.make_dataset(int(rng.integers(10, 80)), int(rng.integers(1, 4)), seed=seed, keypoints=True,
                                 anns_per_image=float(rng.uniform(1, 8)), crowd_fraction=float(rng.choice([0.0, 0.1])))
    results = synth.make_results(dataset, int(rng.integers(3, 30)), seed=seed + 2000, kind="keypoints")
    return dataset, results


def kp_setups() -> dict[str, Setup | None]:
    def sigmas(p: Any) -> None:
        p.kpt_oks_sigmas = np.random.default_rng(len(p.imgIds)).uniform(0.02, 0.2, 17)

    def caps_and_areas(p: Any) -> None:
        p.maxDets = [5, 20]
        p.areaRng = [[0, 1e10], [0, 2000], [2000, 1e10]]
        p.areaRngLbl = ["all", "medium", "large"]

    def thresholds(p: Any) -> None:
        p.iouThrs = np.array([0.3, 0.5, 0.75])

    return {"default": None, "sigmas": sigmas, "caps_and_areas": caps_and_areas, "thresholds": thresholds}


KP_SETUPS = kp_setups()


@pytest.mark.parametrize("setup", list(KP_SETUPS))
@pytest.mark.parametrize("seed", seeds(3, 30))
def test_keypoints(seed, setup):
    dataset, results = keypoint_case(seed)
    label = f"keypoints seed={seed} setup={setup}"
    assert_same_eval(*evaluate_both(dataset, results, "keypoints", KP_SETUPS[setup]), label)


@pytest.mark.parametrize("iou_type", ["bbox", "keypoints", "segm"])
def test_from_files_on_disk(case_files, iou_type):
    kp = iou_type == "keypoints"
    gt_path, res_path = case_files(60, n_images=50, keypoints=kp, kind=iou_type, crowd_fraction=0.05)
    with redirect_stdout(io.StringIO()):
        gt_ours, gt_ref = brandor.COCO(gt_path), RefCOCO(gt_path)
        ours = brandor.COCOeval(gt_ours, gt_ours.loadRes(res_path), iou_type)
        ref = RefCOCOeval(gt_ref, gt_ref.loadRes(res_path), iou_type)
    assert_same_eval(ours, ref, run_eval(ours, None), run_eval(ref, None), f"files {iou_type}")


def test_accepts_reference_coco_objects():
    dataset, results = box_case(61)
    gt = ref_coco(dataset)
    with redirect_stdout(io.StringIO()):
        dt_ours, dt_ref = gt.loadRes(copy.deepcopy(results)), gt.loadRes(copy.deepcopy(results))
    ours, ref = brandor.COCOeval(gt, dt_ours, "bbox"), RefCOCOeval(gt, dt_ref, "bbox")
    assert_same_eval(ours, ref, run_eval(ours, None), run_eval(ref, None), "reference COCO objects")


def test_keypoints_pooled_over_one_category_equal_per_category():
    """useCats 0 pools keypoint detections properly (the reference compares none of them: its
    similarity step looks the pooled group up under category -1 and finds nothing, so every
    detection counts as a false positive)."""
    dataset, results = keypoint_case(70)
    dataset["categories"] = dataset["categories"][:1]
    only = dataset["categories"][0]["id"]
    for a in dataset["annotations"]:
        a["category_id"] = only
    for r in results:
        r["category_id"] = only
    with redirect_stdout(io.StringIO()):
        gt = brandor.COCO(dataset)
        runs = []
        for use_cats in (1, 0):
            e = brandor.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "keypoints")
            e.params.useCats = use_cats
            e.evaluate()
            e.accumulate()
            e.summarize()
            runs.append(e)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(runs[0].eval[key], runs[1].eval[key]), key
    assert runs[1].stats[0] > 0


@pytest.mark.parametrize("labels", [["all", "small", "small", "large"], ["all", "small", "medium", "large", "huge"],
                                    ["all", "tiny", "medium", "large"]])
def test_summary_with_unusual_area_labels(labels):
    """Repeated, surplus and missing labels select (or fail) as the reference's NumPy indexing does."""
    dataset, results = box_case(55)
    pair = list(evaluate_both(dataset, results, "bbox")[:2])
    outcomes = []
    for e in pair:
        e.params.areaRngLbl = labels
        buf = io.StringIO()
        try:
            with redirect_stdout(buf):
                e.summarize()
            outcomes.append((buf.getvalue(), e.stats.tolist()))
        except IndexError as exc:
            outcomes.append((buf.getvalue(), type(exc)))
    assert outcomes[0] == outcomes[1]


def test_match_to_ground_truth_id_0_counts_as_true_positive():
    """The reference reads a match to a ground truth whose id is 0 as no match at all and counts
    the detection as a false positive; here it is a true positive."""
    dataset = {
        "images": [{"id": 1, "width": 100, "height": 100}],
        "categories": [{"id": 1, "name": "a", "supercategory": "s"}],
        "annotations": [{"id": 0, "image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 20], "area": 400,
                         "iscrowd": 0}],
    }
    results = [{"image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 20], "score": 0.9}]
    with pytest.warns(UserWarning, match="id 0.*README") as warned:
        ours, ref, _, _ = evaluate_both(dataset, results, "bbox")
    assert len([w for w in warned if "id 0" in str(w.message)]) == 1
    assert ours.stats[0] == pytest.approx(1.0) and ref.stats[0] == 0.0
    # Accumulating from the per-image records, as trainers that merge them do,
    # counts the match too, though the record's dtMatches holds a 0 for it.
    native = ours.eval["precision"].copy()
    ours.evalImgs = list(ours.evalImgs)
    ours._paramsEval = copy.deepcopy(ours.params)
    with redirect_stdout(io.StringIO()):
        ours.accumulate()
    assert np.array_equal(ours.eval["precision"], native)


def test_detection_id_0_takes_its_ground_truth():
    """The reference leaves a ground truth matched by a detection with id 0 free, so a second
    detection matches it too; here the second is a false positive, natively and through the
    per-image methods alike."""
    dataset = {
        "images": [{"id": 1, "width": 100, "height": 100}],
        "categories": [{"id": 1, "name": "a", "supercategory": "s"}],
        "annotations": [{"id": 5, "image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 20], "area": 400,
                         "iscrowd": 0}],
    }
    dets = [{"id": 0, "image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 20], "score": 0.9, "area": 400,
             "iscrowd": 0},
            {"id": 7, "image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 21], "score": 0.8, "area": 420,
             "iscrowd": 0}]
    through_methods = type("ThroughMethods", (brandor.COCOeval,), {"evaluateImg": brandor.COCOeval.evaluateImg})
    precision = []
    for cls in (brandor.COCOeval, through_methods, RefCOCOeval):
        coco = brandor.COCO if cls is not RefCOCOeval else RefCOCO
        gt = coco()
        gt.dataset = copy.deepcopy(dataset)
        dt = coco()
        dt.dataset = {**copy.deepcopy(dataset), "annotations": copy.deepcopy(dets)}
        with redirect_stdout(io.StringIO()), warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            gt.createIndex()
            dt.createIndex()
            E = cls(gt, dt, "bbox")
            E.evaluate()
            E.accumulate()
        if cls is not RefCOCOeval:
            assert len([w for w in warned if "detections hold one with id 0" in str(w.message)]) == 1
        precision.append((E.eval["recall"][0, 0, 0, 2], E.eval["precision"][0, -1, 0, 0, 2]))
    # One match here; two there, so recall 2 and precision 2 / (2 + eps), which rounds to 1.
    assert precision[0] == precision[1] == (1.0, 1 / (1 + np.spacing(1)))
    assert precision[2] == (2.0, 1.0)


def test_no_warning_without_id_0(recwarn):
    evaluate_both(*box_case(56), "bbox")
    assert not [w for w in recwarn if "id 0" in str(w.message)]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_results_from_an_array(dtype):
    """N×7 results: NumPy scalars in boxes, scores and (float32) areas evaluate as the reference's."""
    dataset, results = box_case(62)
    rows = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results], dtype=dtype)
    gt_ref = ref_coco(dataset)
    with redirect_stdout(io.StringIO()):
        gt_ours = brandor.COCO(copy.deepcopy(dataset))
        ours = brandor.COCOeval(gt_ours, gt_ours.loadRes(rows.copy()), "bbox")
        ref = RefCOCOeval(gt_ref, gt_ref.loadRes(rows.copy()), "bbox")
    assert_same_eval(ours, ref, run_eval(ours, None), run_eval(ref, None), f"array {dtype.__name__}")


def test_unique_ids_equal_np_unique():
    # evaluate() sorts and deduplicates the id lists as np.unique does: the
    # same values, dtypes and element types, for every kind of id list.
    from brandor.cocoeval import unique_ids

    rng = np.random.default_rng(5)
    cases = [[], [3], [5, 1, 5, 2, 1], rng.integers(-50, 50, 200).tolist(), list(np.int32([4, 2, 4])),
             np.uint64([2**63 + 5, 7, 7]), [2**62, -1, 2**62], ["b", "a", "b"], [1.5, 0.5, 1.5], [1, 2.5, 1],
             np.array([[2, 1], [1, 3]])]
    for ids in cases:
        ours, ref = unique_ids(ids), list(np.unique(ids))
        assert [(type(v), v) for v in ours] == [(type(v), v) for v in ref], ids


def test_copy_params_is_a_deep_copy():
    # evaluate() keeps copies of its parameters; they equal deep copies in
    # values and types, and share nothing that can change.
    from brandor.cocoeval import copy_params

    for iou_type in ("bbox", "keypoints"):
        p = brandor.cocoeval.Params(iou_type)
        p.imgIds, p.catIds = list(np.arange(5, dtype=np.int64)), [1, "a", 2.5]
        p.extra = {"k": [1, [2]]}
        q, d = copy_params(p), copy.deepcopy(p)
        assert type(q) is type(p) and vars(q).keys() == vars(d).keys()
        for name in vars(d):
            a, b = getattr(q, name), getattr(d, name)
            assert type(a) is type(b) and repr(a) == repr(b), name
            if isinstance(a, (list, dict, np.ndarray)):
                assert a is not getattr(p, name), name
        q.areaRng[0][0] = -1
        q.iouThrs[0] = -1
        q.extra["k"][1].append(3)
        assert p.areaRng[0][0] == 0 and p.iouThrs[0] == 0.5 and p.extra == {"k": [1, [2]]}
