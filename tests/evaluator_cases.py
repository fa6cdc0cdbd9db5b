"""Random small COCO datasets and the two ways of evaluating them.

`reference_eval` runs pycocotools' COCOeval in memory; `evaluator_for` builds
the native Evaluator from the same data with the arguments COCOeval derives
(sorted unique image and category ids, its thresholds, caps and area ranges).
Imported by the evaluator tests and by the child process of the thread-count
test, which is why it lives in a module of its own.
"""

from __future__ import annotations

import contextlib
import copy
import io
import math

import numpy as np

from brandor import _tarnel

COCO_SIGMAS = [
    0.026, 0.025, 0.025, 0.035, 0.035, 0.079, 0.079, 0.072, 0.072,
    0.062, 0.062, 0.107, 0.107, 0.087, 0.087, 0.089, 0.089,
]


def _box(rng, width, height, tiny=False):
    if tiny:
        w, h = rng.uniform(0.5, 8, size=2)
    else:
        w, h = np.exp(rng.uniform(np.log(4), np.log(0.6 * min(width, height)), size=2))
    x = rng.uniform(0, max(1.0, width - w))
    y = rng.uniform(0, max(1.0, height - h))
    # Grid-aligned boxes now and then, so IoU values hit thresholds exactly.
    if rng.random() < 0.3:
        x, y, w, h = (float(round(v / 10) * 10) for v in (x, y, max(w, 10), max(h, 10)))
    return [float(round(x, 2)), float(round(y, 2)), float(round(w, 2)), float(round(h, 2))]


def _jitter(rng, box, scale):
    x, y, w, h = box
    dx, dy = rng.normal(0, scale * w), rng.normal(0, scale * h)
    dw, dh = rng.normal(0, scale * w), rng.normal(0, scale * h)
    return [float(round(x + dx, 2)), float(round(y + dy, 2)),
            float(round(max(0.5, w + dw), 2)), float(round(max(0.5, h + dh), 2))]


def _score(rng, nan_fraction):
    if rng.random() < nan_fraction:
        return float("nan")
    # Coarse scores give plenty of ties, within and across images.
    return float(round(rng.random(), 1 if rng.random() < 0.5 else 3))


def _keypoints_in(rng, box, n=17, visible=0.7):
    x, y, w, h = box
    kps = []
    for _ in range(n):
        v = 0 if rng.random() > visible else int(rng.integers(1, 3))
        kps += [float(round(x + rng.random() * w, 2)), float(round(y + rng.random() * h, 2)), v]
    return kps


def random_dataset(seed, n_images=12, n_cats=4, gts_per_image=3.0, dets_per_gt=1.5, fp_per_image=2.0,
                   crowd=0.08, tiny=0.1, nan_scores=0.02, keypoints=False, empty_images=0.15):
    """A dataset dict and a detection results list (before loadRes)."""
    rng = np.random.default_rng(seed)
    image_ids = sorted(int(i) for i in rng.choice(10 * n_images + 10, size=n_images, replace=False) + 1)
    cat_ids = sorted(int(c) for c in rng.choice(4 * n_cats + 4, size=n_cats, replace=False) + 1)
    images, anns, results = [], [], []
    for img in image_ids:
        width, height = int(rng.integers(64, 640)), int(rng.integers(64, 640))
        images.append({"id": img, "width": width, "height": height, "file_name": f"{img}.jpg"})
        n_gt = 0 if rng.random() < empty_images else int(rng.poisson(gts_per_image))
        for _ in range(n_gt):
            box = _box(rng, width, height, tiny=rng.random() < tiny)
            ann = {
                "id": len(anns) + 1,
                "image_id": img,
                "category_id": int(rng.choice(cat_ids)),
                "bbox": box,
                "area": float(round(box[2] * box[3] * rng.uniform(0.4, 1.0), 2)),
                "iscrowd": int(rng.random() < crowd),
            }
            if keypoints:
                kps = _keypoints_in(rng, box, visible=0.0 if rng.random() < 0.15 else 0.7)
                ann["keypoints"] = kps
                ann["num_keypoints"] = sum(1 for v in kps[2::3] if v > 0)
            anns.append(ann)
            for _ in range(int(rng.poisson(dets_per_gt))):
                cat = ann["category_id"] if rng.random() < 0.85 else int(rng.choice(cat_ids))
                det = {"image_id": img, "category_id": cat, "score": _score(rng, nan_scores)}
                if keypoints:
                    kps = []
                    for j in range(17):
                        kx, ky = ann["keypoints"][3 * j], ann["keypoints"][3 * j + 1]
                        s = 0.05 * math.sqrt(box[2] * box[3]) * rng.uniform(0.1, 2.0)
                        kps += [float(round(kx + rng.normal(0, s), 2)), float(round(ky + rng.normal(0, s), 2)), 1]
                    det["keypoints"] = kps
                else:
                    det["bbox"] = box if rng.random() < 0.1 else _jitter(rng, box, rng.uniform(0.02, 0.3))
                results.append(det)
        for _ in range(int(rng.poisson(fp_per_image))):
            box = _box(rng, width, height)
            det = {"image_id": img, "category_id": int(rng.choice(cat_ids)), "score": _score(rng, nan_scores)}
            if keypoints:
                det["keypoints"] = [v if i % 3 != 2 else 1 for i, v in enumerate(_keypoints_in(rng, box))]
            else:
                det["bbox"] = box
            results.append(det)
    if not results:  # loadRes needs at least one result
        det = {"image_id": image_ids[0], "category_id": cat_ids[0], "score": 0.5}
        if keypoints:
            det["keypoints"] = [1.0, 1.0, 1] * 17
        else:
            det["bbox"] = [0.0, 0.0, 5.0, 5.0]
        results.append(det)
    categories = [{"id": c, "name": f"c{c}", "supercategory": "x"} for c in cat_ids]
    if keypoints:
        for c in categories:
            c["keypoints"] = [f"k{j}" for j in range(17)]
    dataset = {"images": images, "annotations": anns, "categories": categories}
    return dataset, results


def reference_eval(dataset, results, iou_type, use_cats=True, max_dets=None, iou_thrs=None, area_rng=None):
    """pycocotools' COCOeval after evaluate() and accumulate(), with the
    detection annotations as loadRes prepared them."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = copy.deepcopy(dataset)
        gt.createIndex()
        dt = gt.loadRes(copy.deepcopy(results))
        dt_anns = copy.deepcopy(dt.dataset["annotations"])
        E = COCOeval(gt, dt, iou_type)
        E.params.useCats = int(use_cats)
        if max_dets is not None:
            E.params.maxDets = list(max_dets)
        if iou_thrs is not None:
            E.params.iouThrs = np.asarray(iou_thrs, dtype=float)
        if area_rng is not None:
            E.params.areaRng = [list(r) for r in area_rng]
            E.params.areaRngLbl = [str(i) for i in range(len(area_rng))]
        E.evaluate()
        E.accumulate()
    return E, dt_anns


def evaluator_for(E, dataset, dt_anns, iou_type, **extra):
    """The native Evaluator for what `E` evaluated, prepared as COCOeval prepares it."""
    p = E._paramsEval  # accumulate() replaces params.catIds by [-1] when categories are pooled
    img_sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    return _tarnel.Evaluator(
        copy.deepcopy(dataset["annotations"]),
        copy.deepcopy(dt_anns),
        img_sizes,
        sorted(set(p.imgIds)),
        sorted(set(p.catIds)),
        [float(t) for t in p.iouThrs],
        [float(r) for r in p.recThrs],
        list(p.maxDets),
        [list(map(float, r)) for r in p.areaRng],
        bool(p.useCats),
        iou_type,
        [float(s) for s in p.kpt_oks_sigmas] if iou_type == "keypoints" else [],
        **extra,
    )


def standard_evaluator(seed, iou_type="bbox", **kwargs):
    """Evaluator for random_dataset(seed, **kwargs) with COCOeval's default parameters."""
    dataset, results = random_dataset(seed, keypoints=iou_type == "keypoints", **kwargs)
    E, dt_anns = reference_eval(dataset, results, iou_type)
    return evaluator_for(E, dataset, dt_anns, iou_type)


def native_bbox_evaluator(dataset, results, use_cats=True):
    """An Evaluator with COCOeval's default bbox parameters, prepared without
    pycocotools (results numbered and sized as loadRes does)."""
    dts = []
    for i, r in enumerate(results):
        d = dict(r, id=i + 1, iscrowd=0)
        d["area"] = d["bbox"][2] * d["bbox"][3]
        dts.append(d)
    return _tarnel.Evaluator(
        copy.deepcopy(dataset["annotations"]), dts, {},
        sorted({im["id"] for im in dataset["images"]}), sorted({c["id"] for c in dataset["categories"]}),
        list(np.linspace(0.5, 0.95, 10)), list(np.linspace(0.0, 1.0, 101)), [1, 10, 100],
        [[0.0, 1e10], [0.0, 32.0**2], [32.0**2, 96.0**2], [96.0**2, 1e10]], use_cats, "bbox", [])
