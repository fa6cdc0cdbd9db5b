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

# The reference still uses the alias NumPy 1.24 removed; set it for the
# reference alone, in this test process.
np.float = float  # type: ignore[attr-defined]
ref = pytest.importorskip("lvis")


def _polygon(rng: np.random.Generator, box: list[float]) -> list[list[float]]:
    x, y, w, h = box
    n = int(rng.integers(3, 8))
    ang = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(0.5, 1.0, n)
    pts = np.stack([x + w / 2 + np.cos(ang) * r * w / 2, y + h / 2 + np.sin(ang) * r * h / 2], 1)
    return [[float(round(v, 2)) for v in pts.ravel()]]


def make_case(seed: int, n_images: int = 12, n_cats: int = 9, kind: str = "bbox",
              crowded: bool = False) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """An LVIS-style dataset and results: negative and not-exhaustive
    categories per image, frequency groups, images with nothing verified,
    categories only in the ground truth or only in the results, tied scores,
    zero-area boxes, ground truth marked as crowd, and with `crowded` more than
    300 detections per image."""
    rng = np.random.default_rng(seed)
    freqs = ["r", "c", "f"]
    cats = [{"id": c, "name": f"cat{c}", "frequency": freqs[int(rng.integers(0, 3))], "synset": f"s{c}"}
            for c in range(1, n_cats + 1)]
    images, anns, results = [], [], []
    aid = 0
    for img in range(1, n_images + 1):
        h, w = int(rng.integers(40, 320)), int(rng.integers(40, 320))
        present: set[int] = set()
        boxes = []
        if rng.random() > 0.15:
            for _ in range(int(rng.integers(0, 8))):
                c = int(rng.integers(1, n_cats))  # the last category never has ground truth
                bw, bh = rng.uniform(2, w / 2), rng.uniform(2, h / 2)
                if rng.random() < 0.04:
                    bw = 0.0
                box = [float(round(rng.uniform(0, w - bw), 2)), float(round(rng.uniform(0, h - bh), 2)),
                       float(round(bw, 2)), float(round(bh, 2))]
                aid += 1
                anns.append({"id": aid, "image_id": img, "category_id": c, "bbox": box,
                             "area": float(round(box[2] * box[3], 2)), "segmentation": _polygon(rng, box)})
                if rng.random() < 0.05:
                    anns[-1]["iscrowd"] = 1  # federated evaluation has no crowds
                present.add(c)
                boxes.append((c, box))
        neg = [c for c in range(1, n_cats + 1) if c not in present and rng.random() < 0.35]
        not_exhaustive = [c for c in sorted(present) if rng.random() < 0.3]
        images.append({"id": img, "height": h, "width": w, "neg_category_ids": neg,
                       "not_exhaustive_category_ids": not_exhaustive})
        n_dets = int(rng.integers(0, 20)) + (int(rng.integers(290, 340)) if crowded and img % 3 == 0 else 0)
        for _ in range(n_dets):
            if boxes and rng.random() < 0.5:
                c, (x, y, bw, bh) = boxes[int(rng.integers(0, len(boxes)))]
                box = [x + rng.normal(0, 2), y + rng.normal(0, 2), max(0.5, bw + rng.normal(0, 2)),
                       max(0.5, bh + rng.normal(0, 2))]
            else:
                c = int(rng.integers(1, n_cats + 1))
                bw, bh = rng.uniform(1, w / 2), rng.uniform(1, h / 2)
                box = [rng.uniform(0, w - bw), rng.uniform(0, h - bh), bw, bh]
            if rng.random() < 0.03:
                box[3] = 0.0
            box = [float(round(v, 2)) for v in box]
            score = float(round(rng.random(), 2 if rng.random() < 0.5 else 6))
            det: dict[str, Any] = {"image_id": img, "category_id": c, "score": score}
            if kind == "bbox":
                det["bbox"] = box
            else:
                from brandor import mask
                det["segmentation"] = mask.merge(mask.frPyObjects(_polygon(rng, box), h, w))
                det["segmentation"]["counts"] = det["segmentation"]["counts"].decode()
            results.append(det)
    return {"images": images, "annotations": anns, "categories": cats}, results


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
