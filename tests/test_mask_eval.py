"""Mask (segm) and Boundary IoU evaluation against the reference, and the
reader/rasteriser pipeline that builds the masks during construction."""

from __future__ import annotations

import copy
import subprocess
import sys
from pathlib import Path

import numpy as np
import pycocotools.mask as ref_mask
import pytest

from brandor import _tarnel
from evaluator_cases import evaluator_for, reference_eval

KEYS = ("precision", "recall", "scores")


def _polygon(rng, width, height, border):
    """A random star-shaped ring, sometimes poking out of the image."""
    cx, cy = rng.uniform(0, width), rng.uniform(0, height)
    if border:
        cx, cy = rng.choice([0.0, width]), rng.uniform(0, height)
    r = np.exp(rng.uniform(np.log(2), np.log(0.4 * min(width, height))))
    n = int(rng.integers(3, 12))
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = r * rng.uniform(0.4, 1.0, n)
    xs, ys = cx + radii * np.cos(angles), cy + radii * np.sin(angles)
    return [float(round(v, 2)) for pair in zip(xs, ys) for v in pair]


def _bbox_of(rings):
    xs = [x for ring in rings for x in ring[0::2]]
    ys = [y for ring in rings for y in ring[1::2]]
    return [min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)]


def _uncompressed(mask):
    """Uncompressed RLE counts of a Fortran-ordered 0/1 mask."""
    flat = mask.flatten(order="F")
    counts, prev, run = [], 0, 0
    for v in flat:
        if v != prev:
            counts.append(run)
            run, prev = 0, v
        run += 1
    counts.append(run)
    return {"size": list(mask.shape), "counts": counts}


def segm_dataset(seed, n_images=10, n_cats=3, counts_as="bytes", box_results=False):
    rng = np.random.default_rng(seed)
    images, anns, results = [], [], []
    for img in range(1, n_images + 1):
        width, height = int(rng.integers(20, 120)), int(rng.integers(20, 120))
        images.append({"id": img, "width": width, "height": height})
        for _ in range(int(rng.poisson(3))):
            rings = [_polygon(rng, width, height, rng.random() < 0.2) for _ in range(int(rng.integers(1, 4)))]
            crowd = rng.random() < 0.1
            ann = {"id": len(anns) + 1, "image_id": img, "category_id": int(rng.integers(1, n_cats + 1)),
                   "iscrowd": int(crowd), "bbox": _bbox_of(rings)}
            if crowd:
                m = ref_mask.decode(ref_mask.merge(ref_mask.frPyObjects(rings, height, width)))
                ann["segmentation"] = _uncompressed(m)
            elif rng.random() < 0.2:
                rle = ref_mask.merge(ref_mask.frPyObjects(rings, height, width))
                if rng.random() < 0.5:
                    rle["counts"] = rle["counts"].decode()
                ann["segmentation"] = rle
            else:
                ann["segmentation"] = rings
            ann["area"] = float(ref_mask.area(ref_mask.merge(ref_mask.frPyObjects(rings, height, width))))
            anns.append(ann)
            for _ in range(int(rng.poisson(1.5))):
                jitter = [[v + rng.normal(0, 2) for v in ring] for ring in rings]
                results.append(_result(rng, img, ann["category_id"], jitter, height, width, counts_as, box_results))
        for _ in range(int(rng.poisson(1))):
            rings = [_polygon(rng, width, height, False)]
            results.append(_result(rng, img, int(rng.integers(1, n_cats + 1)), rings, height, width, counts_as,
                                   box_results))
    if not results:
        results.append(_result(rng, 1, 1, [[1, 1, 5, 1, 5, 5]], images[0]["height"], images[0]["width"],
                               counts_as, box_results))
    categories = [{"id": c, "name": str(c)} for c in range(1, n_cats + 1)]
    return {"images": images, "annotations": anns, "categories": categories}, results


def _result(rng, img, cat, rings, height, width, counts_as, box_results):
    score = float(round(rng.random(), 2))
    if box_results:
        return {"image_id": img, "category_id": cat, "score": score, "bbox": _bbox_of(rings)}
    rle = ref_mask.merge(ref_mask.frPyObjects(rings, height, width))
    if counts_as == "str":
        rle["counts"] = rle["counts"].decode()
    return {"image_id": img, "category_id": cat, "score": score, "segmentation": rle}


def assert_same(E, ev, seed):
    r = ev.run()
    for k in KEYS:
        assert np.array_equal(r[k], E.eval[k]), f"seed {seed}: {k} differs"


@pytest.mark.parametrize("seed", range(16))
def test_segm_matches_reference(seed):
    dataset, results = segm_dataset(seed, counts_as="str" if seed % 2 else "bytes")
    E, dt_anns = reference_eval(dataset, results, "segm")
    assert_same(E, evaluator_for(E, dataset, dt_anns, "segm"), seed)


@pytest.mark.parametrize("seed", range(6))
def test_segm_box_only_detections_match_reference(seed):
    # The reference turns box results into the rectangle's polygon; detections
    # without segmentation are rasterised from their box the same way.
    dataset, results = segm_dataset(100 + seed, box_results=True)
    E, dt_anns = reference_eval(dataset, results, "segm")
    for d in dt_anns:
        del d["segmentation"]
    assert_same(E, evaluator_for(E, dataset, dt_anns, "segm"), seed)


@pytest.mark.parametrize("seed", range(4))
def test_segm_variants_match_reference(seed):
    dataset, results = segm_dataset(200 + seed, n_images=25)
    E, dt_anns = reference_eval(dataset, results, "segm", use_cats=bool(seed % 2), max_dets=[1, 3],
                                iou_thrs=[0.3, 0.55, 0.75], area_rng=[[0, 1e10], [0, 200], [200, 1e10]])
    assert_same(E, evaluator_for(E, dataset, dt_anns, "segm"), seed)


def _single_pair_evaluator(dataset, dt_anns, kind, thresholds, dilation=0.02):
    sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    return _tarnel.Evaluator(copy.deepcopy(dataset["annotations"]), copy.deepcopy(dt_anns), sizes,
                             [im["id"] for im in dataset["images"]], [1], thresholds, [0.0, 0.5, 1.0], [10],
                             [[0.0, 1e10]], True, kind, [], boundary_dilation=dilation)


def _one_pair_per_image(seed, n=40):
    """Each image holds one ground truth and one detection of category 1."""
    rng = np.random.default_rng(seed)
    images, anns, dets = [], [], []
    for img in range(1, n + 1):
        width, height = int(rng.integers(8, 90)), int(rng.integers(8, 90))
        images.append({"id": img, "width": width, "height": height})
        rings = [_polygon(rng, width, height, rng.random() < 0.3)]
        crowd = int(rng.random() < 0.25)
        anns.append({"id": img, "image_id": img, "category_id": 1, "iscrowd": crowd, "segmentation": rings,
                     "area": 100.0})
        shifted = [[v + rng.normal(0, 3) for v in ring] for ring in rings]
        dets.append({"id": img, "image_id": img, "category_id": 1, "score": 0.5,
                     "segmentation": ref_mask.merge(ref_mask.frPyObjects(shifted, height, width))})
    return {"images": images, "annotations": anns}, dets


@pytest.mark.parametrize("dilation", [0.02, 0.05, 0.0])
def test_boundary_matrix_equals_python_composition(dilation):
    dataset, dets = _one_pair_per_image(11 + int(dilation * 100))
    # Threshold 0: every pair matches, so per_instance reports every value.
    ev = _single_pair_evaluator(dataset, dets, "boundary", [0.0], dilation)
    det_rows, _ = ev.per_instance(0, 0, 10)
    got = dict(zip(det_rows["image_id"].tolist(), det_rows["iou"].tolist()))
    assert len(got) == len(dets)
    for ann, det, im in zip(dataset["annotations"], dets, dataset["images"]):
        g = _tarnel.merge(_tarnel.frPyObjects(ann["segmentation"], im["height"], im["width"]))
        d = det["segmentation"]
        crowd = [ann["iscrowd"]]
        mask_iou = _tarnel.iou([d], [g], crowd)[0, 0]
        band_iou = _tarnel.iou(_tarnel.toBoundary([d], dilation), _tarnel.toBoundary([g], dilation), crowd)[0, 0]
        want = mask_iou if ann["iscrowd"] else min(mask_iou, band_iou)
        assert got[im["id"]] == want, im["id"]


def test_boundary_is_never_above_segm_and_equals_it_for_crowds():
    dataset, dets = _one_pair_per_image(5, n=60)
    seg, _ = _single_pair_evaluator(dataset, dets, "segm", [0.0]).per_instance(0, 0, 10)
    bnd, _ = _single_pair_evaluator(dataset, dets, "boundary", [0.0]).per_instance(0, 0, 10)
    crowd = np.array([a["iscrowd"] for a in dataset["annotations"]], dtype=bool)
    assert np.all(bnd["iou"] <= seg["iou"])
    assert np.array_equal(bnd["iou"][crowd], seg["iou"][crowd])


def test_pruning_never_changes_matches():
    dataset, dets = _one_pair_per_image(3, n=60)
    full = _single_pair_evaluator(dataset, dets, "segm", [0.0]).per_instance(0, 0, 10)[0]
    pruned = _single_pair_evaluator(dataset, dets, "segm", [0.5, 0.75]).per_instance(0, 0, 10)[0]
    matched = pruned["gt_id"] != -1
    assert np.array_equal(matched, full["iou"] >= 0.5)
    assert np.array_equal(pruned["iou"][matched], full["iou"][matched])


def _many(n, image=1, size=(16, 16), **extra):
    return [dict({"image_id": image, "category_id": 1, "segmentation": [[1, 1, 9, 1, 9, 9]], "area": 40.0},
                 **extra) for _ in range(n)]


@pytest.mark.parametrize("n_gt, n_dt", [(4096, 0), (4097, 3), (10000, 0), (2048, 2048), (0, 4096)])
def test_pipeline_batch_edges(n_gt, n_dt):
    gts, dts = _many(n_gt), _many(n_dt, score=0.5)
    ev = _tarnel.Evaluator(gts, dts, {1: (16, 16)}, [1], [1], [0.5], [0.0, 1.0], [100], [[0, 1e10]], True,
                           "segm", [])
    d, g = ev.per_instance(0, 0, 100)
    assert len(g["gt_id"]) == n_gt
    assert len(d["dt_id"]) == min(n_dt, 100)
    if n_gt and n_dt:
        assert d["iou"].tolist() == [1.0] * min(n_dt, 100)
    t = ev.timings()
    assert t["rasterise"] > 0.0 and t["read_blocked"] >= 0.0


def test_reading_error_stops_before_the_detections():
    gts = _many(6000)
    gts[4999] = dict(gts[4999], segmentation={"size": [16, 16]})  # no counts
    never_read = ["not a dict"]
    with pytest.raises(ValueError, match="^RLE segmentation is missing 'counts'$"):
        _tarnel.Evaluator(gts, never_read, {1: (16, 16)}, [1], [1], [0.5], [0.0], [1], [[0, 1e10]], True,
                          "segm", [])


def test_missing_image_size_is_a_key_error():
    with pytest.raises(KeyError) as info:
        _tarnel.Evaluator(_many(3, image=7), [], {1: (16, 16)}, [1], [1], [0.5], [0.0], [1], [[0, 1e10]], True,
                          "segm", [])
    assert info.value.args == ("no image entry for image_id 7",)


def test_reading_error_is_reported_after_the_masks_of_a_huge_image():
    # Masks of a 10^5 x 10^5 image rasterise and get their bands over the
    # pixels they hold (no whole-image buffer); the reading error that comes
    # later is what construction reports.
    big = 100_000
    gts = _many(6000, image=2)
    gts[0] = dict(gts[0], image_id=1)
    gts[5000] = "not a dict"
    with pytest.raises(ValueError, match="^annotations must be dicts$"):
        _tarnel.Evaluator(gts, [], {1: (big, big), 2: (16, 16)}, [1, 2], [1], [0.5], [0.0], [1], [[0, 1e10]],
                          True, "boundary", [])


def test_boundary_of_a_huge_image_is_computed_over_the_mask():
    big = 100_000
    anns = _many(1, size=(big, big))
    dets = _many(1, score=0.5)
    ev = _tarnel.Evaluator(anns, dets, {1: (big, big)}, [1], [1], [0.5], [0.0, 1.0], [10], [[0, 1e10]], True,
                           "boundary", [])
    d, _ = ev.per_instance(0, 0, 10)
    assert d["iou"].tolist() == [1.0]
    poly = anns[0]["segmentation"]
    small = _tarnel.toBoundary(_tarnel.frPyObjects(poly, 16, 16))[0]
    huge = _tarnel.toBoundary(_tarnel.frPyObjects(poly, big, big), 0.02 * 16 * 2**0.5 / (big * 2**0.5))[0]
    assert _tarnel.area([small]).tolist() == _tarnel.area([huge]).tolist()


@pytest.mark.parametrize("kind", ["bbox", "keypoints"])
def test_box_and_keypoint_kinds_rasterise_nothing(kind):
    anns = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 4, 4], "num_keypoints": 1,
             "keypoints": [1, 1, 2], "segmentation": "never read"}]
    ev = _tarnel.Evaluator(anns, copy.deepcopy(anns), {}, [1], [1], [0.5], [0.0], [1], [[0, 1e10]], True, kind,
                           [0.1])
    t = ev.timings()
    assert t["rasterise"] == 0.0 and t["read_blocked"] == 0.0


CHILD = r"""
import os, pickle, sys
if sys.argv[2] == "one":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path.insert(0, sys.argv[1])
from test_mask_eval import segm_dataset
from evaluator_cases import evaluator_for, reference_eval
dataset, results = segm_dataset(42, n_images=120)
E, dt_anns = reference_eval(dataset, results, "segm")
ev = evaluator_for(E, dataset, dt_anns, sys.argv[3])
r = ev.run()
sys.stdout.buffer.write(pickle.dumps({k: r[k] for k in ("precision", "recall", "scores")}))
"""


@pytest.mark.parametrize("kind", ["segm", "boundary"])
def test_one_processor_gives_identical_arrays(kind):
    import pickle

    here = str(Path(__file__).resolve().parent)
    runs = [subprocess.run([sys.executable, "-c", CHILD, here, cpus, kind], capture_output=True, check=True)
            for cpus in ("one", "all")]
    one, all_ = (pickle.loads(r.stdout) for r in runs)
    for k in KEYS:
        assert np.array_equal(one[k], all_[k]), k


@pytest.mark.parametrize("dilation", [0.02, 0.1])
def test_cocoeval_boundary_runs_the_engine_with_its_dilation(case_files, dilation):
    import contextlib
    import io

    import brandor

    gt_path, res_path = case_files(80, n_images=20, kind="segm")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        gt = brandor.COCO(gt_path)
        dt = gt.loadRes(res_path)
        E = brandor.COCOeval(gt, dt, "boundary", dilation_ratio=dilation)
        E.evaluate()
        E.accumulate()
        E.summarize()
    assert "Evaluate annotation type *boundary*" in out.getvalue()
    assert len(E.stats) == 12 and E.eval["precision"].shape[0] == 10
    p = E.params
    sizes = {i: (im["height"], im["width"]) for i, im in gt.imgs.items()}
    direct = _tarnel.Evaluator(gt.dataset["annotations"], dt.dataset["annotations"], sizes, p.imgIds, p.catIds,
                               list(p.iouThrs), list(p.recThrs), p.maxDets, p.areaRng, True, "boundary", [],
                               boundary_dilation=dilation).run()
    for k in KEYS:
        assert np.array_equal(direct[k], E.eval[k]), k
