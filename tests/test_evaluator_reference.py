"""The Evaluator against pycocotools' COCOeval on random small datasets:
the accumulated arrays, the per-image records and the per-instance verdicts
must be identical, bit for bit."""

import numpy as np
import pytest

from evaluator_cases import evaluator_for, random_dataset, reference_eval

ARRAYS = ("precision", "recall", "scores")


def assert_same_arrays(ours, E, seed):
    for key in ARRAYS:
        assert ours[key].shape == E.eval[key].shape, (key, seed)
        assert np.array_equal(ours[key], E.eval[key], equal_nan=True), f"{key} differs, seed {seed}"


def assert_same_eval_imgs(ours, E, seed):
    theirs = E.evalImgs
    assert len(ours) == len(theirs), seed
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if b is None:
            assert a is None, (seed, i)
            continue
        assert a is not None, (seed, i)
        assert a["image_id"] == b["image_id"] and a["category_id"] == b["category_id"], (seed, i)
        assert E.params.areaRng[a["aRng"]] == b["aRng"] and a["maxDet"] == b["maxDet"], (seed, i)
        assert a["dtIds"] == list(b["dtIds"]) and a["gtIds"] == list(b["gtIds"]), (seed, i)
        assert np.array_equal(a["dtScores"], b["dtScores"], equal_nan=True), (seed, i)
        for key in ("dtMatches", "gtMatches", "gtIgnore", "dtIgnore"):
            ref = np.asarray(b[key], dtype=float)
            assert a[key].dtype == np.float64 and a[key].shape == ref.shape, (seed, i, key)
            assert np.array_equal(a[key], ref), (seed, i, key)


@pytest.mark.parametrize("kind", ["bbox", "keypoints"])
@pytest.mark.parametrize("seed", range(10))
def test_default_parameters(kind, seed):
    dataset, results = random_dataset(seed, keypoints=kind == "keypoints")
    E, dt_anns = reference_eval(dataset, results, kind)
    ours = evaluator_for(E, dataset, dt_anns, kind).run(collect_eval_imgs=True)
    assert ours["counts"] == list(E.eval["counts"])
    assert_same_arrays(ours, E, seed)
    assert_same_eval_imgs(ours["evalImgs"], E, seed)


@pytest.mark.parametrize("seed", range(4))
def test_pooled_categories(seed):
    dataset, results = random_dataset(100 + seed, n_cats=3)
    E, dt_anns = reference_eval(dataset, results, "bbox", use_cats=False)
    ours = evaluator_for(E, dataset, dt_anns, "bbox").run(collect_eval_imgs=True)
    assert ours["counts"][2] == 1
    assert_same_arrays(ours, E, seed)
    assert_same_eval_imgs(ours["evalImgs"], E, seed)
    assert all(e is None or e["category_id"] == -1 for e in ours["evalImgs"])


@pytest.mark.parametrize("seed", range(3))
def test_pooled_keypoints_of_one_category(seed):
    # pycocotools computes no keypoint similarity at all when categories are
    # pooled (every detection becomes a false positive); with a single category
    # pooling changes nothing, so the per-category reference is the yardstick.
    dataset, results = random_dataset(150 + seed, n_cats=1, keypoints=True)
    E, dt_anns = reference_eval(dataset, results, "keypoints")
    E._paramsEval.useCats = 0
    ours = evaluator_for(E, dataset, dt_anns, "keypoints").run()
    assert_same_arrays(ours, E, seed)


# The detection budget (the last cap) is applied per group before ranking. The
# counting-table strategy serves inputs with many detections per (image,
# category) cell; the sparse strategy serves many images and categories with few
# detections each. Small caps, coarse tied scores and NaN scores make the
# dropped detections matter; both regimes must give pycocotools' numbers.
REGIMES = {
    "dense": dict(n_images=6, n_cats=2, gts_per_image=4.0, dets_per_gt=3.0, fp_per_image=6.0, nan_scores=0.1),
    "sparse": dict(n_images=60, n_cats=12, gts_per_image=1.0, dets_per_gt=1.2, fp_per_image=0.6,
                   nan_scores=0.1, empty_images=0.6),
}


@pytest.mark.parametrize("regime", sorted(REGIMES))
@pytest.mark.parametrize("use_cats", [True, False])
@pytest.mark.parametrize("max_dets", [[1, 2, 3], [3, 1], [2], [0]])
@pytest.mark.parametrize("seed", range(3))
def test_detection_budget(regime, use_cats, max_dets, seed):
    dataset, results = random_dataset(200 + seed, **REGIMES[regime])
    E, dt_anns = reference_eval(dataset, results, "bbox", use_cats=use_cats, max_dets=max_dets)
    ours = evaluator_for(E, dataset, dt_anns, "bbox").run(collect_eval_imgs=True)
    assert_same_arrays(ours, E, seed)
    assert_same_eval_imgs(ours["evalImgs"], E, seed)


@pytest.mark.parametrize("seed", range(4))
def test_unusual_thresholds_and_ranges(seed):
    dataset, results = random_dataset(300 + seed)
    thrs = [0.0, 0.3, 0.5, 1.0, 0.95]
    ranges = [[0, 1e10], [500, 100], [0, 0], [100.0, 20000.0]]
    E, dt_anns = reference_eval(dataset, results, "bbox", iou_thrs=thrs, area_rng=ranges)
    ours = evaluator_for(E, dataset, dt_anns, "bbox").run(collect_eval_imgs=True)
    assert_same_arrays(ours, E, seed)
    assert_same_eval_imgs(ours["evalImgs"], E, seed)


@pytest.mark.parametrize("kind", ["bbox", "keypoints"])
@pytest.mark.parametrize("seed", range(3))
def test_per_instance_matches_the_reference_records(kind, seed):
    dataset, results = random_dataset(400 + seed, keypoints=kind == "keypoints")
    E, dt_anns = reference_eval(dataset, results, kind)
    ev = evaluator_for(E, dataset, dt_anns, kind)
    T, A = len(E.params.iouThrs), len(E.params.areaRng)
    I = len(E.params.imgIds)
    for t_idx, a_idx in [(0, 0), (T - 1, A - 1), (T // 2, 1)]:
        dets, gts = ev.per_instance(t_idx, a_idx, 100)
        expected_d, expected_g = [], []
        for k in range(len(E.params.catIds)):
            for i in range(I):
                e = E.evalImgs[k * A * I + a_idx * I + i]
                if e is None:
                    continue
                for d, dt_id in enumerate(e["dtIds"]):
                    gt_id = int(e["dtMatches"][t_idx, d])
                    key = (e["image_id"], e["category_id"])
                    iou = 0.0
                    if gt_id:
                        ious = E.ious[key]
                        gt_ids = [g["id"] for g in E._gts[key]]
                        iou = ious[d, gt_ids.index(gt_id)]
                    expected_d.append((e["image_id"], e["category_id"], dt_id, gt_id or -1, e["dtScores"][d],
                                       iou, bool(e["dtIgnore"][t_idx, d])))
                for j, gt_id in enumerate(e["gtIds"]):
                    expected_g.append((e["image_id"], e["category_id"], gt_id, bool(e["gtIgnore"][j]),
                                       bool(e["gtMatches"][t_idx, j])))
        got_d = list(zip(*(dets[c].tolist() for c in ("image_id", "category_id", "dt_id", "gt_id", "score", "iou",
                                                        "ignore"))))
        got_g = list(zip(*(gts[c].tolist() for c in ("image_id", "category_id", "gt_id", "ignore", "matched"))))
        assert _nan_free(got_d) == _nan_free(expected_d), (seed, t_idx, a_idx)
        assert got_g == expected_g, (seed, t_idx, a_idx)


def _nan_free(rows):
    """Rows with NaN scores replaced by a marker, so equal rows compare equal."""
    return [tuple("nan" if isinstance(v, float) and v != v else v for v in row) for row in rows]


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["bbox", "keypoints"])
@pytest.mark.parametrize("seed", range(3))
def test_larger_datasets(kind, seed):
    dataset, results = random_dataset(500 + seed, n_images=200, n_cats=10, gts_per_image=5.0, fp_per_image=8.0,
                                      keypoints=kind == "keypoints")
    E, dt_anns = reference_eval(dataset, results, kind)
    ours = evaluator_for(E, dataset, dt_anns, kind).run(collect_eval_imgs=True)
    assert_same_arrays(ours, E, seed)
    assert_same_eval_imgs(ours["evalImgs"], E, seed)
