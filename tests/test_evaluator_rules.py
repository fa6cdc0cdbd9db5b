"""Rules of matching, accumulation and the run outputs, on hand-made cases
whose results are known exactly."""

import numpy as np
import pytest

from brandor import _tarnel

EPS_PRECISION = 1.0 / (1.0 + 2.220446049250313e-16)  # one true positive, no false one


def box(x, y, w, h):
    return [float(x), float(y), float(w), float(h)]


def gt(img=1, cat=1, b=(0, 0, 10, 10), **kw):
    a = {"image_id": img, "category_id": cat, "bbox": box(*b), "area": b[2] * b[3]}
    a.update(kw)
    return a


def dt(img=1, cat=1, b=(0, 0, 10, 10), score=0.5, **kw):
    a = {"image_id": img, "category_id": cat, "bbox": box(*b), "score": score}
    a.update(kw)
    return a


def evaluator(gts, dts, img_ids=(1,), cat_ids=(1,), thrs=(0.5,), recs=(0.0, 0.5, 1.0), max_dets=(100,),
              areas=((0.0, 1e10),), use_cats=True, kind="bbox", sigmas=(), **kw):
    return _tarnel.Evaluator(list(gts), list(dts), {}, list(img_ids), list(cat_ids), list(thrs), list(recs),
                             list(max_dets), [list(a) for a in areas], use_cats, kind, list(sigmas), **kw)


def verdicts(ev, t=0, a=0, max_det=100):
    d, g = ev.per_instance(t, a, max_det)
    return d["gt_id"].tolist(), d["ignore"].tolist(), g["matched"].tolist()


# Similarity and matching ------------------------------------------------------

def test_iou_equal_to_the_threshold_matches():
    # IoU of these boxes is exactly 0.5 (50 / 100).
    g = [gt(b=(0, 0, 10, 10), id=7)]
    d = [dt(b=(0, 0, 10, 5))]
    assert verdicts(evaluator(g, d, thrs=[0.5]))[0] == [7]
    assert verdicts(evaluator(g, d, thrs=[np.nextafter(0.5, 1)]))[0] == [-1]


def test_threshold_one_still_matches_a_perfect_overlap():
    ev = evaluator([gt(id=3)], [dt()], thrs=[1.0])
    assert verdicts(ev)[0] == [3]
    assert ev.run()["recall"].ravel().tolist() == [1.0]


@pytest.mark.parametrize(
    "d, g, crowd, iou",
    [
        ((0, 0, 10, 10), (0, 0, 10, 10), 0, 1.0),
        ((0, 0, 10, 10), (10, 0, 10, 10), 0, 0.0),   # touching edges
        ((20, 20, 5, 5), (0, 0, 100, 100), 1, 1.0),  # inside a crowd box
        ((0, 0, 0, 10), (0, 0, 10, 10), 0, 0.0),     # zero width
        ((5, 0, 10, 10), (0, 0, 10, 10), 0, 50 / 150),
        ((5, 0, 10, 10), (0, 0, 10, 10), 1, 0.5),
    ],
)
def test_box_iou(d, g, crowd, iou):
    ev = evaluator([gt(b=g, iscrowd=crowd)], [dt(b=d)], thrs=[0.0])
    dets, _ = ev.per_instance()
    assert dets["iou"].tolist() == ([iou] if iou > 0 else [0.0])


def test_second_detection_on_one_ground_truth_is_a_false_positive():
    g = [gt(id=1)]
    d = [dt(score=0.9, id=10), dt(score=0.8, id=11)]
    gt_ids, ignored, matched = verdicts(evaluator(g, d))
    assert gt_ids == [1, -1] and ignored == [False, False] and matched == [True]
    # Outside the area range the unmatched one is ignored instead.
    d[1]["area"] = 5000.0
    ev = evaluator(g, d, areas=[(0, 1e10), (0, 1024)])
    assert verdicts(ev, a=1)[1] == [False, True]


def test_crowd_ground_truth_absorbs_every_detection():
    g = [gt(b=(0, 0, 100, 100), iscrowd=1, id=5)]
    d = [dt(b=(0, 0, 10, 10), score=0.9), dt(b=(50, 50, 10, 10), score=0.8)]
    gt_ids, ignored, _ = verdicts(evaluator(g, d))
    assert gt_ids == [5, 5] and ignored == [True, True]


def test_a_real_match_is_not_replaced_by_an_ignored_ground_truth():
    # IoU 2/3 with the real ground truth, 1 with the crowd (ignored) one.
    g = [gt(b=(0, 0, 10, 10), id=1), gt(b=(2, 0, 10, 10), iscrowd=1, id=2)]
    d = [dt(b=(2, 0, 10, 10))]
    gt_ids, ignored, _ = verdicts(evaluator(g, d))
    assert gt_ids == [1] and ignored == [False]


def test_ground_truths_without_detections():
    ev = evaluator([gt(), gt(img=2)], [], img_ids=[1, 2])
    r = ev.run(collect_eval_imgs=True)
    assert np.all(r["recall"] == 0) and np.all(r["precision"] == 0) and np.all(r["scores"] == 0)
    e = r["evalImgs"][0]
    assert e["dtIds"] == [] and e["dtMatches"].shape == (1, 0) and e["gtMatches"].tolist() == [[0.0]]


def test_category_without_ground_truth_stays_minus_one():
    ev = evaluator([gt(cat=1)], [dt(cat=1), dt(cat=2)], cat_ids=[1, 2])
    r = ev.run()
    assert np.all(r["precision"][:, :, 1] == -1) and np.all(r["recall"][:, 1] == -1)
    assert np.all(r["scores"][:, :, 1] == -1)


def test_all_detections_ignored():
    g = [gt(b=(0, 0, 100, 100), iscrowd=1), gt(b=(200, 200, 10, 10))]
    d = [dt(b=(0, 0, 10, 10), score=0.7), dt(b=(5, 5, 10, 10), score=0.6)]
    r = evaluator(g, d, recs=[0.0, 0.5, 1.0]).run()
    assert r["recall"].ravel().tolist() == [0.0]
    assert r["precision"].ravel().tolist() == [0.0, 0.0, 0.0]
    assert r["scores"].ravel().tolist() == [0.7, 0.0, 0.0]


def test_single_match_precision_and_recall_thresholds():
    r = evaluator([gt()], [dt(score=0.8)], recs=[0.0, 0.3, 1.0, 1.01]).run()
    assert r["recall"].ravel().tolist() == [1.0]
    assert r["precision"].ravel().tolist() == [EPS_PRECISION] * 3 + [0.0]
    assert EPS_PRECISION == 0.9999999999999998
    assert r["scores"].ravel().tolist() == [0.8, 0.8, 0.8, 0.0]


def test_unsorted_recall_thresholds_are_each_looked_up():
    g = [gt(b=(0, 0, 10, 10)), gt(b=(50, 50, 10, 10))]
    d = [dt(b=(0, 0, 10, 10), score=0.9), dt(b=(80, 80, 5, 5), score=0.8), dt(b=(50, 50, 10, 10), score=0.7)]
    sorted_r = evaluator(g, d, recs=[0.0, 0.5, 1.0]).run()
    shuffled = evaluator(g, d, recs=[1.0, 0.0, 0.5]).run()
    assert shuffled["precision"].ravel().tolist() == sorted_r["precision"].ravel()[[2, 0, 1]].tolist()
    assert sorted_r["precision"].ravel().tolist() == [EPS_PRECISION, EPS_PRECISION, 2 / 3]


def test_caps_beyond_the_detection_count_agree():
    d = [dt(b=(i, 0, 10, 10), score=0.9 - 0.1 * i) for i in range(3)]
    r = evaluator([gt()], d, max_dets=[1, 10, 100]).run()
    assert np.array_equal(r["precision"][..., 1], r["precision"][..., 2])
    assert np.array_equal(r["recall"][..., 1], r["recall"][..., 2])


def test_tied_scores_rank_by_image_order():
    # A false positive in image 1 and a true positive in image 2, same score:
    # the false positive ranks first and lowers the precision of the match.
    g = [gt(img=2)]
    d = [dt(img=1, b=(50, 50, 5, 5), score=0.5), dt(img=2, score=0.5)]
    r = evaluator(g, d, img_ids=[1, 2], recs=[1.0]).run()
    assert r["precision"].ravel().tolist() == [1 / (2 + 2.220446049250313e-16)]
    r = evaluator(g, d, img_ids=[2, 1], recs=[1.0]).run()
    assert r["precision"].ravel().tolist() == [EPS_PRECISION]


# The budget filter counts groups in a table of (largest image index + 1) x K
# cells when that is at most twice the number of detections, and goes through a
# group index otherwise: putting the detections on the last of many images
# selects the second strategy.
STRATEGIES = {"dense": 1, "sparse": 40}


@pytest.mark.parametrize("strategy", sorted(STRATEGIES))
@pytest.mark.parametrize("use_cats", [True, False])
def test_budget_keeps_the_best_scores_with_nan_last(strategy, use_cats):
    img = STRATEGIES[strategy]
    scores = [0.9, float("nan"), 0.9, 0.5, 0.7]
    d = [dt(img=img, score=s, id=i + 1) for i, s in enumerate(scores)]
    ev = evaluator([gt(img=img)], d, img_ids=range(1, img + 1), max_dets=[3], use_cats=use_cats)
    dets, _ = ev.per_instance(0, 0, 100)
    assert dets["dt_id"].tolist() == [1, 3, 5]


@pytest.mark.parametrize("strategy", sorted(STRATEGIES))
def test_budget_ties_across_pooled_categories_prefer_the_lower_category(strategy):
    img = STRATEGIES[strategy]
    d = [dt(img=img, cat=2, score=0.5, id=1), dt(img=img, cat=1, score=0.5, id=2),
         dt(img=img, cat=2, score=0.9, id=3), dt(img=img, cat=1, score=float("nan"), id=4)]
    ev = evaluator([gt(img=img, cat=1)], d, img_ids=range(1, img + 1), cat_ids=[1, 2], use_cats=False,
                   max_dets=[2])
    dets, _ = ev.per_instance(0, 0, 100)
    assert dets["dt_id"].tolist() == [3, 2]
    assert dets["category_id"].tolist() == [-1, -1]


@pytest.mark.parametrize("strategy", sorted(STRATEGIES))
def test_budget_zero_evaluates_no_detection(strategy):
    img = STRATEGIES[strategy]
    ev = evaluator([gt(img=img)], [dt(img=img), dt(img=img, score=0.2)], img_ids=range(1, img + 1), max_dets=[0])
    dets, gts = ev.per_instance(0, 0, 100)
    assert len(dets["dt_id"]) == 0 and gts["matched"].tolist() == [False]
    assert ev.run()["recall"].ravel().tolist() == [0.0]


def test_empty_caps_give_empty_arrays():
    r = evaluator([gt()], [dt()], max_dets=[]).run(collect_eval_imgs=True)
    assert r["counts"] == [1, 3, 1, 1, 0]
    assert r["precision"].shape == (1, 3, 1, 1, 0) and r["recall"].shape == (1, 1, 1, 0)
    e = r["evalImgs"][0]
    assert e["maxDet"] == 0 and e["dtIds"] == [] and e["gtIds"] == [1]


# Keypoint similarity -----------------------------------------------------------

def kp_gt(kps, b=(0, 0, 10, 10), area=100.0, **kw):
    a = {"image_id": 1, "category_id": 1, "bbox": box(*b), "area": area, "keypoints": kps,
         "num_keypoints": sum(1 for v in kps[2::3] if v > 0)}
    a.update(kw)
    return a


def kp_dt(kps, score=0.5):
    return {"image_id": 1, "category_id": 1, "keypoints": kps, "score": score}


def oks(ev):
    return ev.per_instance()[0]["iou"].tolist()


def numpy_oks(exponents):
    """The similarity as the reference forms it: one np.exp over the array of
    terms and np.sum, so both sides use the same NumPy kernel."""
    e = np.array(exponents, dtype=np.float64)
    return [float(np.sum(np.exp(e)) / e.shape[0])]


def test_oks_of_visible_keypoints():
    sigma = 0.1
    g = kp_gt([0.0, 0.0, 2, 10.0, 10.0, 0])
    d = kp_dt([3.0, 4.0, 1, 99.0, 99.0, 1])
    ev = evaluator([g], [d], kind="keypoints", sigmas=[sigma, sigma], thrs=[0.0])
    e = 25.0 / ((sigma + sigma) ** 2) / (100.0 + 2.220446049250313e-16) * -0.5
    assert oks(ev) == numpy_oks([e])


def test_oks_without_visible_keypoints_uses_the_enlarged_box():
    g = kp_gt([5.0, 5.0, 0, 5.0, 5.0, 0], b=(10, 10, 10, 10), iscrowd=0)
    inside = kp_dt([0.0, 0.0, 1, 29.0, 29.0, 1])
    ev = evaluator([g], [inside], kind="keypoints", sigmas=[0.1, 0.1], thrs=[0.0])
    assert oks(ev) == [1.0]
    outside = kp_dt([-2.0, 0.0, 1, 29.0, 33.0, 1])
    ev = evaluator([g], [outside], kind="keypoints", sigmas=[0.1, 0.1], thrs=[0.0])
    assert oks(ev) == numpy_oks([4.0 / 0.04 / (100.0 + 2.220446049250313e-16) * -0.5,
                                 9.0 / 0.04 / (100.0 + 2.220446049250313e-16) * -0.5])


def test_use_area_false_takes_the_scale_from_the_box():
    g = kp_gt([0.0, 0.0, 2], b=(0, 0, 10, 10), area=1.0)
    d = kp_dt([1.0, 0.0, 1])
    with_area = evaluator([g], [d], kind="keypoints", sigmas=[0.5], thrs=[0.0])
    with_box = evaluator([g], [d], kind="keypoints", sigmas=[0.5], thrs=[0.0], use_area=False)
    assert oks(with_area) == numpy_oks([1.0 / 1.0 / (1.0 + 2.220446049250313e-16) * -0.5])
    assert oks(with_box) == numpy_oks([1.0 / 1.0 / (53.0 + 2.220446049250313e-16) * -0.5])


# Run outputs ---------------------------------------------------------------------

def test_run_keys_shapes_and_eval_imgs_layout():
    g = [gt(img=1, cat=1), gt(img=2, cat=2)]
    d = [dt(img=1, cat=1), dt(img=3, cat=2)]
    ev = evaluator(g, d, img_ids=[1, 2, 3], cat_ids=[1, 2], thrs=[0.5, 0.75], areas=[(0, 1e10), (0, 50)],
                   max_dets=[1, 10])
    r = ev.run()
    assert list(r) == ["counts", "precision", "recall", "scores"]
    assert r["counts"] == [2, 3, 2, 2, 2]
    assert r["precision"].shape == r["scores"].shape == (2, 3, 2, 2, 2) and r["recall"].shape == (2, 2, 2, 2)
    assert all(r[k].dtype == np.float64 and r[k].flags.c_contiguous for k in ("precision", "recall", "scores"))
    imgs = ev.run(collect_eval_imgs=True)["evalImgs"]
    assert len(imgs) == 2 * 2 * 3
    present = [(e["category_id"], e["aRng"], e["image_id"]) if e else None for e in imgs]
    assert present == [(1, 0, 1), None, None, (1, 1, 1), None, None,
                       None, (2, 0, 2), (2, 0, 3), None, (2, 1, 2), (2, 1, 3)]
    e = imgs[0]
    assert list(e) == ["image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds", "dtScores", "dtMatches",
                       "gtMatches", "gtIgnore", "dtIgnore"]
    assert e["maxDet"] == 10 and e["dtMatches"].shape == (2, 1) and e["gtIgnore"].shape == (1,)


def test_per_instance_columns():
    g = [gt(id=1), gt(b=(50, 50, 10, 10), id=2, iscrowd=1)]
    d = [dt(score=0.9, id=4), dt(b=(80, 80, 5, 5), score=0.8, id=5), dt(b=(52, 52, 5, 5), score=0.1, id=6)]
    dets, gts = evaluator(g, d).per_instance(0, 0, 100)
    assert list(dets) == ["image_id", "category_id", "dt_id", "gt_id", "score", "iou", "ignore"]
    assert list(gts) == ["image_id", "category_id", "gt_id", "ignore", "matched"]
    assert [dets[k].dtype for k in dets] == [np.int64] * 4 + [np.float64] * 2 + [np.bool_]
    assert [gts[k].dtype for k in gts] == [np.int64] * 3 + [np.bool_] * 2
    assert dets["dt_id"].tolist() == [4, 5, 6]
    assert dets["gt_id"].tolist() == [1, -1, 2]
    assert dets["iou"].tolist() == [1.0, 0.0, 1.0]  # inside the crowd box
    assert dets["ignore"].tolist() == [False, False, True]
    assert gts["gt_id"].tolist() == [1, 2] and gts["ignore"].tolist() == [False, True]
    assert gts["matched"].tolist() == [True, True]
    short, short_gts = evaluator(g, d).per_instance(0, 0, 1)
    assert short["dt_id"].tolist() == [4] and short_gts["matched"].tolist() == [True, False]
    none, none_gts = evaluator(g, d).per_instance(max_det=0)
    assert len(none["dt_id"]) == 0 and none_gts["matched"].tolist() == [False, False]


def test_per_instance_rejects_indexes_outside_the_parameters():
    ev = evaluator([gt()], [dt()])
    for args in [(1, 0), (0, 1)]:
        with pytest.raises(BaseException) as info:
            ev.per_instance(*args)
        assert "index out of range" in str(info.value)
        assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    with pytest.raises(OverflowError):
        ev.per_instance(-1)


def test_timings():
    ev = evaluator([gt()], [dt()])
    t = ev.timings()
    assert list(t) == ["gt_read", "dt_read", "read_blocked", "rasterise", "group_index", "iou_cpu", "match_cpu",
                       "accumulate_cpu"]
    assert all(type(v) is float for v in t.values())
    assert t["iou_cpu"] == t["match_cpu"] == t["accumulate_cpu"] == 0.0
    assert t["read_blocked"] == t["rasterise"] == 0.0 and t["group_index"] > 0.0
    ev.per_instance()
    assert ev.timings() == t
    ev.run()
    after = ev.timings()
    assert after["match_cpu"] > 0.0 and after["accumulate_cpu"] > 0.0 and after["iou_cpu"] > 0.0
    ev.run()
    again = ev.timings()
    assert all(again[k] >= after[k] for k in t) and again["accumulate_cpu"] > after["accumulate_cpu"]


def test_repeated_runs_are_identical_and_fresh():
    ev = evaluator([gt(), gt(b=(20, 20, 10, 10))], [dt(score=0.3), dt(b=(21, 20, 10, 10), score=0.6)])
    a, b = ev.run(), ev.run()
    assert a["precision"] is not b["precision"]
    for k in ("precision", "recall", "scores"):
        assert np.array_equal(a[k], b[k])
    a["precision"][:] = 7.0  # the caller owns the arrays
    assert np.array_equal(ev.run()["recall"], b["recall"])


@pytest.mark.parametrize("enabled", [True, False])
def test_collecting_records_leaves_the_garbage_collector_as_it_was(enabled):
    import gc

    ev = evaluator([gt()], [dt()])
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        assert ev.run(collect_eval_imgs=True)["evalImgs"][0]["dtIds"] == [1]
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
