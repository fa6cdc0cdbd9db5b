"""The ways detection frameworks drive COCOeval, run against brandor and pycocotools alike.

Each test reproduces a caller's usage on generated data, once with each
library, and compares what the caller would see: stats, arrays, returned
records and printed lines.
"""

from __future__ import annotations

import copy
import io
from contextlib import redirect_stdout
from typing import Any, Iterator

import numpy as np
import pytest
from pycocotools import mask as ref_mask
from pycocotools.coco import COCO as RefCOCO
from pycocotools.cocoeval import COCOeval as RefCOCOeval

import brandor
from brandor import mask as our_mask
from conftest import assert_same, synth, without_timings

LIBRARIES = {"brandor": (brandor.COCO, brandor.COCOeval, our_mask),
             "pycocotools": (RefCOCO, RefCOCOeval, ref_mask)}


def coco_of(cls: Any, dataset: dict[str, Any]) -> Any:
    coco = cls()
    coco.dataset = copy.deepcopy(dataset)
    with redirect_stdout(io.StringIO()):
        coco.createIndex()
    return coco


def case(iou_type: str, seed: int = 3, n_images: int = 24) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    keypoints = iou_type == "keypoints"
    dataset = synth.make_dataset(n_images, 1 if keypoints else 5, seed=seed, keypoints=keypoints,
                                 crowd_fraction=0.05)
    results = synth.make_results(dataset, 12, seed=seed + 1, kind=iou_type)
    return dataset, results


def loaded(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]], iou_type: str,
           eval_cls: Any = None) -> Any:
    """A COCOeval of `lib` (or `eval_cls`) over the dataset and its loaded results."""
    coco_cls, default_cls, _ = LIBRARIES[lib]
    gt = coco_of(coco_cls, dataset)
    with redirect_stdout(io.StringIO()):
        return (eval_cls or default_cls)(gt, gt.loadRes(copy.deepcopy(results)), iou_type)


def finish(E: Any) -> str:
    out = io.StringIO()
    with redirect_stdout(out):
        E.accumulate()
        E.summarize()
    return without_timings(out.getvalue())


def assert_same_results(ours: Any, ref: Any, printed: tuple[str, str]) -> None:
    assert printed[0] == printed[1]
    for key in ("precision", "recall", "scores"):
        assert_same(ours.eval[key], ref.eval[key], key)
    assert ours.eval["counts"] == ref.eval["counts"]
    assert np.array_equal(ours.stats, ref.stats)


def batches_of(ids: list[int], n: int) -> list[list[int]]:
    return [list(map(int, b)) for b in np.array_split(np.asarray(ids), n)]


def merge_eval_imgs(E: Any, img_ids: list[Any], eval_imgs: list[np.ndarray]) -> None:
    """torchvision's and DETR's merge: concatenate along the image axis, keep each image once."""
    all_ids = np.asarray(img_ids)
    merged = np.concatenate(eval_imgs, 2)
    merged_ids, idx = np.unique(all_ids, return_index=True)
    merged = merged[..., idx]
    E.evalImgs = list(merged.flatten())
    E.params.imgIds = list(merged_ids)
    E._paramsEval = copy.deepcopy(E.params)


def batched_evaluator(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]], iou_type: str,
                      n_batches: int) -> Iterator[Any]:
    """One evaluator, set up for each batch of images in turn with that batch's detections."""
    coco_cls, eval_cls, _ = LIBRARIES[lib]
    gt = coco_of(coco_cls, dataset)
    E = eval_cls(gt, iouType=iou_type)
    for batch in batches_of(sorted(gt.getImgIds()), n_batches):
        batch_set = set(batch)
        dets = [r for r in copy.deepcopy(results) if r["image_id"] in batch_set]
        with redirect_stdout(io.StringIO()):
            E.cocoDt = gt.loadRes(dets) if dets else coco_cls()
        E.params.imgIds = batch
        yield E


def torchvision_batches(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]], iou_type: str,
                        n_batches: int) -> tuple[Any, str]:
    """evaluate() once per batch of images, keep evalImgs reshaped, merge, accumulate."""
    img_ids: list[Any] = []
    eval_imgs = []
    for E in batched_evaluator(lib, dataset, results, iou_type, n_batches):
        with redirect_stdout(io.StringIO()):
            E.evaluate()
        img_ids.extend(E.params.imgIds)
        eval_imgs.append(np.asarray(E.evalImgs).reshape(-1, len(E.params.areaRng), len(E.params.imgIds)))
    merge_eval_imgs(E, img_ids, eval_imgs)
    return E, finish(E)


@pytest.mark.parametrize("iou_type", ["bbox", "keypoints"])
@pytest.mark.parametrize("n_batches", [1, 4])
def test_torchvision_batches_merged(iou_type, n_batches):
    dataset, results = case(iou_type)
    ours, out_ours = torchvision_batches("brandor", dataset, results, iou_type, n_batches)
    ref, out_ref = torchvision_batches("pycocotools", dataset, results, iou_type, n_batches)
    assert_same_results(ours, ref, (out_ours, out_ref))
    # The merged result is the whole evaluation, not the last batch's.
    whole, out_whole = torchvision_batches("brandor", dataset, results, iou_type, 1)
    assert np.array_equal(whole.stats, ours.stats)


def detr_evaluate(self: Any) -> tuple[list[Any], np.ndarray]:
    """The DETR family's replacement of COCOeval.evaluate, without its printing."""
    p = self.params
    if p.useSegm is not None:
        p.iouType = "segm" if p.useSegm == 1 else "bbox"
    p.imgIds = list(np.unique(p.imgIds))
    if p.useCats:
        p.catIds = list(np.unique(p.catIds))
    p.maxDets = sorted(p.maxDets)
    self.params = p
    self._prepare()
    cat_ids = p.catIds if p.useCats else [-1]
    compute = self.computeIoU if p.iouType in ("segm", "bbox") else self.computeOks
    self.ious = {(i, c): compute(i, c) for i in p.imgIds for c in cat_ids}
    max_det = p.maxDets[-1]
    eval_imgs = [self.evaluateImg(i, c, a, max_det) for c in cat_ids for a in p.areaRng for i in p.imgIds]
    eval_imgs = np.asarray(eval_imgs).reshape(len(cat_ids), len(p.areaRng), len(p.imgIds))
    self._paramsEval = copy.deepcopy(self.params)
    return p.imgIds, eval_imgs


def detr_run(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]], iou_type: str,
             n_batches: int) -> tuple[Any, str, list[Any]]:
    img_ids: list[Any] = []
    eval_imgs = []
    snapshots = []
    for E in batched_evaluator(lib, dataset, results, iou_type, n_batches):
        ids, records = detr_evaluate(E)
        snapshots.append((copy.deepcopy(dict(E._gts)), copy.deepcopy(dict(E._dts)), E.ious, records))
        img_ids.extend(ids)
        eval_imgs.append(records)
    merge_eval_imgs(E, img_ids, eval_imgs)
    return E, finish(E), snapshots


@pytest.mark.parametrize("iou_type", ["bbox", "segm", "keypoints"])
def test_detr_evaluate_replacement(iou_type):
    """DETR's replaced evaluate(); newer torchvision references use the same function."""
    dataset, results = case(iou_type, n_images=16)
    ours, out_ours, snaps_ours = detr_run("brandor", dataset, results, iou_type, 3)
    ref, out_ref, snaps_ref = detr_run("pycocotools", dataset, results, iou_type, 3)
    assert_same_results(ours, ref, (out_ours, out_ref))
    # What the replaced evaluate saw on the way: prepared annotations, similarities, records.
    for n, (a, b) in enumerate(zip(snaps_ours, snaps_ref)):
        for what, x, y in zip(("_gts", "_dts", "ious", "records"), a, b):
            if what == "records":
                assert x.shape == y.shape
                x, y = list(x.flatten()), list(y.flatten())
            assert_same(x, y, f"batch {n} {what}")


@pytest.mark.parametrize("iou_type", ["bbox", "segm", "keypoints"])
@pytest.mark.parametrize("use_cats", [1, 0])
def test_internals_after_native_evaluate(iou_type, use_cats):
    """After the native evaluate() (and accumulate(), which rewrites params.catIds when
    categories are pooled), ious, _gts, _dts and evalImgs hold what the reference's do."""
    dataset, results = case(iou_type, seed=5, n_images=12)
    pair = []
    for lib in ("brandor", "pycocotools"):
        E = loaded(lib, dataset, results, iou_type)
        E.params.useCats = use_cats
        with redirect_stdout(io.StringIO()):
            E.evaluate()
            E.accumulate()
        pair.append(E)
    ours, ref = pair
    assert_same(ours.ious, ref.ious, "ious")
    assert_same(dict(ours._gts), dict(ref._gts), "_gts")
    assert_same(dict(ours._dts), dict(ref._dts), "_dts")
    for n, (a, b) in enumerate(zip(ours.evalImgs, ref.evalImgs)):
        if iou_type != "keypoints" or b is None:
            assert_same(a, b, f"evalImgs[{n}]")


def wider_box_iou(self: Any, img_id: Any, cat_id: Any) -> Any:
    """An overriding similarity, as detectron2's RotatedCOCOeval has one: boxes grown by 2 pixels."""
    p = self.params
    gt, dt = self._gts[img_id, cat_id], self._dts[img_id, cat_id]
    if len(gt) == 0 and len(dt) == 0:
        return []
    order = np.argsort([-d["score"] for d in dt], kind="mergesort")
    dt = [dt[i] for i in order][: p.maxDets[-1]]
    self.calls += 1

    def grow(b: list[float]) -> list[float]:
        return [b[0] - 2, b[1] - 2, b[2] + 4, b[3] + 4]

    return type(self).mask_api.iou([grow(d["bbox"]) for d in dt], [grow(g["bbox"]) for g in gt],
                                   [int(g["iscrowd"]) for g in gt])


@pytest.mark.parametrize("method", ["computeIoU", "evaluateImg"])
def test_subclass_overrides_are_honoured(method):
    dataset, results = case("bbox", seed=7)
    runs = []
    for lib in ("brandor", "pycocotools"):
        _, eval_cls, mask_api = LIBRARIES[lib]
        if method == "computeIoU":
            body = {"computeIoU": wider_box_iou}
        else:
            def evaluate_img(self, img_id, cat_id, a_rng, max_det, base=eval_cls.evaluateImg):
                self.calls += 1
                record = base(self, img_id, cat_id, a_rng, max_det)
                if record is not None and record["dtScores"]:
                    record["dtScores"] = [s * 0.5 + 0.25 for s in record["dtScores"]]
                return record
            body = {"evaluateImg": evaluate_img}
        sub = type("Sub", (eval_cls,), {"calls": 0, "mask_api": mask_api, **body})
        E = loaded(lib, dataset, results, "bbox", sub)
        out = io.StringIO()
        with redirect_stdout(out):
            E.evaluate()
            E.accumulate()
            E.summarize()
        runs.append((E, without_timings(out.getvalue())))
    (ours, out_ours), (ref, out_ref) = runs
    assert ours.calls == ref.calls > 0
    assert_same_results(ours, ref, (out_ours, out_ref))


def test_mask_utils_importable_from_cocoeval():
    from brandor.cocoeval import maskUtils

    assert maskUtils.iou is brandor.mask.iou


def torchmetrics_format(mask_api: Any, items: list[list[tuple[Any, ...]]], with_scores: bool,
                        n_classes: int) -> dict[str, Any]:
    """torchmetrics' COCO dicts: bool masks encoded one by one, an image's size only when it has masks."""
    images, annotations = [], []
    for image_id, objects in enumerate(items):
        images.append({"id": image_id})
        rles = [mask_api.encode(np.asfortranarray(obj[0])) for obj in objects]
        if rles:
            images[-1]["height"], images[-1]["width"] = rles[0]["size"][0], rles[0]["size"][1]
        for rle, obj in zip(rles, objects):
            ann = {"id": len(annotations) + 1, "image_id": image_id, "bbox": mask_api.toBbox(rle).tolist(),
                   "area": mask_api.area(rle), "category_id": obj[1], "iscrowd": 0,
                   "segmentation": {"size": rle["size"], "counts": rle["counts"]}}
            if with_scores:
                ann["score"] = obj[2]
            annotations.append(ann)
    return {"images": images, "annotations": annotations,
            "categories": [{"id": c, "name": str(c)} for c in range(n_classes)]}


def random_masks(rng: np.random.Generator, n_images: int, n_classes: int) -> tuple[list[Any], list[Any]]:
    targets, preds = [], []
    for i in range(n_images):
        h, w = int(rng.integers(20, 60)), int(rng.integers(20, 60))
        objs, dets = [], []
        for _ in range(0 if i == 1 else int(rng.integers(1, 4))):  # image 1: no ground truth
            m = np.zeros((h, w), bool)
            y, x = int(rng.integers(0, h - 8)), int(rng.integers(0, w - 8))
            m[y:y + int(rng.integers(4, h - y)), x:x + int(rng.integers(4, w - x))] = True
            objs.append((m, int(rng.integers(0, n_classes))))
            for _ in range(int(rng.integers(0, 3))):
                d = np.roll(m, (int(rng.integers(-3, 4)), int(rng.integers(-3, 4))), (0, 1))
                dets.append((d, objs[-1][1], float(rng.random())))
        if i == 1:
            dets.append((np.ones((h, w), bool), 0, 0.5))
        targets.append(objs)
        preds.append(dets)
    return targets, preds


def torchmetrics_run(lib: str, targets: Any, preds: Any, n_classes: int) -> tuple[list[Any], str, Any]:
    coco_cls, eval_cls, mask_api = LIBRARIES[lib]
    gt, dt = coco_cls(), coco_cls()
    gt.dataset = torchmetrics_format(mask_api, targets, False, n_classes)
    dt.dataset = torchmetrics_format(mask_api, preds, True, n_classes)
    out = io.StringIO()
    with redirect_stdout(out):
        gt.createIndex()
        dt.createIndex()
        E = eval_cls(gt, dt, iouType="segm")
        E.evaluate()
        E.accumulate()
        E.summarize()
        stats = [E.stats.copy()]
        ious = E.ious  # read by torchmetrics' extended summary
        for class_id in range(n_classes):  # its per-class loop
            E.params.catIds = [class_id]
            E.evaluate()
            E.accumulate()
            E.summarize()
            stats.append(E.stats.copy())
    return stats, without_timings(out.getvalue()), ious


@pytest.mark.parametrize("seed", [0, 1])
def test_torchmetrics_bool_masks_and_images_without_ground_truth(seed):
    targets, preds = random_masks(np.random.default_rng(seed), 6, 3)
    ours = torchmetrics_run("brandor", targets, preds, 3)
    ref = torchmetrics_run("pycocotools", targets, preds, 3)
    assert ours[1] == ref[1]
    assert_same(ours[0], ref[0], "stats")
    assert_same(ours[2], ref[2], "ious")


def odd_segm_case() -> tuple[dict[str, Any], list[dict[str, Any]]]:
    dataset, results = case("segm", seed=9, n_images=10)
    images = dataset["images"]
    # An image without a size and without annotations, and one without ground truth.
    images.append({"id": 777, "file_name": "no_size.jpg"})
    images.append({"id": 778, "file_name": "no_gt.jpg", "height": 50, "width": 60})
    results.append({"image_id": 778, "category_id": dataset["categories"][0]["id"], "score": 0.7,
                    "segmentation": ref_mask.frPyObjects([[1, 1, 30, 1, 30, 30]], 50, 60)[0]})
    # A ground truth on an image the images list lacks.
    stray = dict(dataset["annotations"][0], id=10 ** 6, image_id=999)
    dataset["annotations"].append(stray)
    return dataset, results


def odd_run(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]], setup: Any = None) -> Any:
    coco_cls, eval_cls, _ = LIBRARIES[lib]
    gt = coco_of(coco_cls, dataset)
    with redirect_stdout(io.StringIO()):
        dt = gt.loadRes(copy.deepcopy(results))
        # A detection on an image neither list has, added as callers that build
        # the detection COCO themselves can.
        stray = dict(dt.dataset["annotations"][0], id=10 ** 6, image_id=999)
        dt.dataset["annotations"].append(stray)
        dt.createIndex()
    E = eval_cls(gt, dt, "segm")
    if setup:
        setup(E.params)
    return E, finish_evaluate(E)


def finish_evaluate(E: Any) -> str:
    out = io.StringIO()
    with redirect_stdout(out):
        E.evaluate()
    return without_timings(out.getvalue()) + finish(E)


def test_odd_datasets_evaluate_where_the_reference_does():
    dataset, results = odd_segm_case()
    ours, out_ours = odd_run("brandor", dataset, results)
    ref, out_ref = odd_run("pycocotools", dataset, results)
    assert_same_results(ours, ref, (out_ours, out_ref))
    assert_same_eval_records(ours, ref)


def assert_same_eval_records(ours: Any, ref: Any) -> None:
    assert len(ours.evalImgs) == len(ref.evalImgs)
    for n, (a, b) in enumerate(zip(ours.evalImgs, ref.evalImgs)):
        assert_same(a, b, f"evalImgs[{n}]")


@pytest.mark.parametrize("missing", ["height", "image"])
def test_a_size_needed_but_missing_raises_the_reference_error(missing):
    dataset, results = odd_segm_case()
    img = dataset["images"][0]
    if missing == "height":
        del img["height"]
    errors = []
    for lib in ("brandor", "pycocotools"):
        def evaluate_image(p: Any, img_id: Any = img["id"]) -> None:
            if missing == "image":
                p.imgIds = p.imgIds + [999]  # evaluated, but not in the images list
        with pytest.raises(KeyError) as info:
            odd_run(lib, dataset, results, evaluate_image)
        errors.append(info.value.args)
    assert errors[0] == errors[1]


def with_string_ids(dataset: dict[str, Any], results: list[dict[str, Any]]) -> tuple[Any, Any]:
    dataset, results = copy.deepcopy(dataset), copy.deepcopy(results)
    for img in dataset["images"]:
        img["id"] = f"img-{img['id']:05d}"
    for cat in dataset["categories"]:
        cat["id"] = f"cat-{cat['id']}"
    for ann in dataset["annotations"] + results:
        ann["image_id"] = f"img-{ann['image_id']:05d}"
        ann["category_id"] = f"cat-{ann['category_id']}"
    return dataset, results


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
@pytest.mark.parametrize("use_cats", [1, 0])
def test_string_ids(iou_type, use_cats):
    dataset, results = with_string_ids(*case(iou_type, seed=11, n_images=14))
    runs = []
    for lib in ("brandor", "pycocotools"):
        E = loaded(lib, dataset, results, iou_type)
        E.params.useCats = use_cats
        runs.append((E, finish_evaluate(E)))
    (ours, out_ours), (ref, out_ref) = runs
    assert_same_results(ours, ref, (out_ours, out_ref))
    assert_same_eval_records(ours, ref)


STAGES = ["constructed", "evaluated", "accumulated", "summarized"]


def run_from(E: Any, stage: str) -> str:
    out = io.StringIO()
    with redirect_stdout(out):
        for step, method in zip(STAGES[1:], ("evaluate", "accumulate", "summarize")):
            if STAGES.index(step) > STAGES.index(stage):
                getattr(E, method)()
    return without_timings(out.getvalue())


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_pickling_and_copies_at_every_stage(stage, how):
    import pickle

    dataset, results = case("bbox", seed=13, n_images=12)
    runs = []
    for lib in ("brandor", "pycocotools"):
        E = loaded(lib, dataset, results, "bbox")
        first = run_from(E, "constructed") if stage == "summarized" else ""
        if stage not in ("constructed", "summarized"):
            with redirect_stdout(io.StringIO()):
                E.evaluate()
                if stage == "accumulated":
                    E.accumulate()
        E = pickle.loads(pickle.dumps(E)) if how == "pickle" else copy.deepcopy(E)
        runs.append((E, first + run_from(E, stage)))
    (ours, out_ours), (ref, out_ref) = runs
    assert_same_results(ours, ref, (out_ours, out_ref))
    assert_same_eval_records(ours, ref)
