"""`evaluate()`: from ground truth and results to an `EvalResult` in one call, without printing.

Inputs go through brandor's public `COCO` and `COCOeval` (so a result equals
what the drop-in computes), with the reference's progress lines swallowed.
The loaders check what the reference would trip over with an assertion or a
bare KeyError (a file of the wrong kind, results on images that are not in the
ground truth) and raise `InputError` with one clear sentence instead.
"""

from __future__ import annotations

import contextlib
import io
import os
import time
from typing import Any, Iterator, Sequence

import numpy as np

from . import _tarnel
from .coco import COCO
from .cocoeval import COCOeval
from .result import DETECTION_KINDS, IOU_TYPES, EvalParams, EvalResult

PathLike = str | os.PathLike[str]


class InputError(ValueError):
    """Input that cannot be evaluated: wrong kind of file, unknown images, missing fields."""


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Swallow the reference's progress lines that COCO and COCOeval print."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield


def _is_coco(obj: Any) -> bool:
    return hasattr(obj, "dataset") and hasattr(obj, "getImgIds")


def _read_json(path: PathLike) -> Any:
    try:
        return _tarnel.load_json(os.fspath(path))
    except ValueError as exc:
        # The parser's message ends with the line and column of the fault.
        raise InputError(f"{os.fspath(path)}: {exc}") from None


def load_ground_truth(source: PathLike | dict[str, Any] | Any) -> Any:
    """A `COCO` dataset from a path or a dataset dict; a `COCO` object is returned as it is."""
    if _is_coco(source):
        return source
    where = "ground truth"
    if isinstance(source, (str, os.PathLike)):
        return _ground_truth_file(source)
    if not isinstance(source, dict):
        raise InputError(f"{where}: ground truth must be a JSON object with images, annotations and "
                         f"categories, not {_kind_of(source)}")
    missing = [key for key in ("images", "annotations", "categories") if key not in source]
    if missing:
        raise InputError(f"{where}: ground truth has no {', '.join(repr(m) for m in missing)}")
    with _quiet():
        return COCO(source)


def _ground_truth_file(path: PathLike) -> Any:
    """`COCO(path)`, which keeps the annotations in its compact store, with
    the loaders' messages for a file that is not a dataset."""
    where = os.fspath(path)
    try:
        with _quiet():
            gt = COCO(path)
    except ValueError as exc:
        raise InputError(f"{where}: {exc}") from None
    except AssertionError:
        # COCO's assertion on a document that is not an object: name its kind.
        raise InputError(f"{where}: ground truth must be a JSON object with images, annotations and "
                         f"categories, not {_kind_of(_read_json(path))}") from None
    missing = [key for key in ("images", "annotations", "categories") if not gt._has_member(key)]
    if missing:
        raise InputError(f"{where}: ground truth has no {', '.join(repr(m) for m in missing)}")
    return gt


def load_results(gt: Any, source: PathLike | list[dict[str, Any]] | np.ndarray | Any,
                 iou_type: str = "bbox") -> Any:
    """A result set on `gt`'s images from a path, a list of dicts or an N×7 array (via `gt.loadRes`).

    A `COCO` object is returned as it is. An empty list gives an empty
    result set (the reference fails on it). Result dicts are completed in
    place, as `loadRes` does.
    """
    if _is_coco(source):
        return source
    where = "results"
    if isinstance(source, (str, os.PathLike)):
        where = os.fspath(source)
        source = _read_json(source)
    if isinstance(source, np.ndarray):
        if source.ndim != 2 or source.shape[1] != 7:
            raise InputError(f"{where}: a results array must have 7 columns "
                             f"[image_id, x, y, w, h, score, category_id], not shape {source.shape}")
        if iou_type not in ("bbox", "segm", "boundary"):
            raise InputError(f"{where}: a results array holds boxes, which {iou_type} evaluation cannot use")
        image_ids = {int(i) for i in source[:, 0]}
    elif isinstance(source, list):
        _check_detections(where, source, iou_type)
        image_ids = {det["image_id"] for det in source}
    else:
        raise InputError(f"{where}: results must be a JSON array of detections, not {_kind_of(source)}")
    unknown = image_ids - set(gt.getImgIds())
    if unknown:
        first = sorted(unknown, key=repr)[0]
        raise InputError(f"{where}: results on {len(unknown)} image(s) that are not in the ground truth "
                         f"(image_id {first!r})")
    if len(source) == 0:
        return _empty_results(gt)
    with _quiet():
        return gt.loadRes(source)


def _check_detections(where: str, dets: list[Any], iou_type: str) -> None:
    """Every detection is an object with an image, a category and a score; boxes have four values.

    The reference fails on these later with a bare KeyError or IndexError
    (the engine alone would take a missing score as 0). As in `loadRes`, the
    first detection decides what kind of results the list holds.
    """
    box_results = False
    if dets and isinstance(dets[0], dict):
        needed = _needed_field(iou_type, dets[0])
        if needed:
            raise InputError(f"{where}: detections have no {needed}, which {iou_type} evaluation needs")
        box_results = "bbox" in dets[0] and dets[0]["bbox"] != []
    try:
        # The common case, all well-formed, at the cost of one pass.
        if all(type(d) is dict and "image_id" in d and "category_id" in d and "score" in d
               and (not box_results or (type(d["bbox"]) is list and len(d["bbox"]) == 4)) for d in dets):
            return
    except (KeyError, TypeError):
        pass
    for pos, det in enumerate(dets):
        if not isinstance(det, dict):
            raise InputError(f"{where}: detection {pos} is {_kind_of(det)}, not an object")
        for key in ("image_id", "category_id", "score"):
            if key not in det:
                raise InputError(f"{where}: detection {pos} has no {key!r}")
        if box_results:
            box = det.get("bbox")
            if not isinstance(box, (list, tuple)) or len(box) != 4:
                raise InputError(f"{where}: detection {pos} has a 'bbox' that is not four numbers")


def _needed_field(iou_type: str, first: dict[str, Any]) -> str | None:
    """The field the first detection lacks for this kind (loadRes decides the kind by the first detection)."""
    if iou_type == "bbox" and "bbox" not in first:
        return "'bbox'"
    if iou_type in ("segm", "boundary") and "segmentation" not in first and "bbox" not in first:
        return "'segmentation' or 'bbox'"
    if iou_type == "keypoints" and "keypoints" not in first:
        return "'keypoints'"
    return None


def _empty_results(gt: Any) -> Any:
    res = COCO()
    res.dataset = {"images": list(gt.dataset["images"]), "annotations": [],
                   "categories": list(gt.dataset.get("categories", []))}
    with _quiet():
        res.createIndex()
    return res


def _kind_of(obj: Any) -> str:
    names = {dict: "an object", list: "an array", str: "a string", int: "a number", float: "a number",
             bool: "a boolean", type(None): "null"}
    return names.get(type(obj), type(obj).__name__)


def evaluate(gt: PathLike | dict[str, Any] | Any, results: PathLike | list[dict[str, Any]] | np.ndarray | Any,
             iou_type: str = "bbox", *, img_ids: Sequence[Any] | None = None,
             cat_ids: Sequence[Any] | None = None, iou_thrs: Sequence[float] | None = None,
             rec_thrs: Sequence[float] | None = None, max_dets: Sequence[int] | None = None,
             area_rng: Sequence[Sequence[float]] | None = None, area_labels: Sequence[str] | None = None,
             use_cats: bool = True, kpt_sigmas: Sequence[float] | None = None,
             dilation_ratio: float = 0.02) -> EvalResult:
    """Evaluate `results` against `gt` and return the result; prints nothing.

    `gt` is a path, a dataset dict or a `COCO`; `results` a path, a list of
    result dicts, an N×7 array or a `COCO` from `loadRes`. The keyword
    parameters override `COCOeval.params` (None keeps the default); area
    ranges other than the four default ones need their labels. The progress
    lines of COCO and COCOeval are swallowed by redirecting stdout during the
    call, which other threads printing meanwhile would notice.
    """
    timings: dict[str, Any] = {}
    E, gt, dt = prepare_evaluation(gt, results, iou_type, timings, img_ids=img_ids, cat_ids=cat_ids,
                                   iou_thrs=iou_thrs, rec_thrs=rec_thrs, max_dets=max_dets, area_rng=area_rng,
                                   area_labels=area_labels, use_cats=use_cats, kpt_sigmas=kpt_sigmas,
                                   dilation_ratio=dilation_ratio)
    tic = time.perf_counter()
    with _quiet():
        E.evaluate()
    timings["evaluate"] = time.perf_counter() - tic
    # Counted before accumulate(), which replaces a pooled run's categories by [-1].
    params, categories = result_params(E, gt, iou_type)
    num_gt, num_dt = count_instances(gt, dt, E.params, params.cat_ids, iou_type)
    tic = time.perf_counter()
    with _quiet():
        E.accumulate()
    timings["accumulate"] = time.perf_counter() - tic
    engine = _engine_timings(E)
    if engine:
        timings["engine"] = engine

    return EvalResult(iou_type=iou_type, params=params, precision=E.eval["precision"],
                      recall=E.eval["recall"], scores=E.eval["scores"], categories=categories,
                      num_gt=num_gt, num_dt=num_dt, timings=timings)


def prepare_evaluation(gt: PathLike | dict[str, Any] | Any,
                       results: PathLike | list[dict[str, Any]] | np.ndarray | Any, iou_type: str,
                       timings: dict[str, Any], *, img_ids: Sequence[Any] | None,
                       cat_ids: Sequence[Any] | None, iou_thrs: Sequence[float] | None,
                       rec_thrs: Sequence[float] | None, max_dets: Sequence[int] | None,
                       area_rng: Sequence[Sequence[float]] | None, area_labels: Sequence[str] | None,
                       use_cats: bool, kpt_sigmas: Sequence[float] | None,
                       dilation_ratio: float) -> tuple[COCOeval, Any, Any]:
    """The loaded sides and a `COCOeval` over them with `evaluate()`'s parameters set,
    not run yet; loading times go into `timings`."""
    if iou_type not in IOU_TYPES:
        raise ValueError(f"iou_type must be one of {', '.join(IOU_TYPES)}; got {iou_type!r}")
    tic = time.perf_counter()
    gt_was_loaded = not _is_coco(gt)
    gt = load_ground_truth(gt)
    if gt_was_loaded:
        timings["load_gt"] = time.perf_counter() - tic
    tic = time.perf_counter()
    res_was_loaded = not _is_coco(results)
    dt = load_results(gt, results, iou_type)
    if res_was_loaded:
        timings["load_results"] = time.perf_counter() - tic

    with _quiet():
        E = COCOeval(gt, dt, iou_type, dilation_ratio=dilation_ratio)
    p = E.params
    if img_ids is not None:
        p.imgIds = list(img_ids)
    if cat_ids is not None:
        p.catIds = list(cat_ids)
    if iou_thrs is not None:
        p.iouThrs = np.asarray(iou_thrs, dtype=np.float64)
    if rec_thrs is not None:
        p.recThrs = np.asarray(rec_thrs, dtype=np.float64)
    if max_dets is not None:
        p.maxDets = [int(m) for m in max_dets]
    if area_rng is not None:
        if area_labels is None and len(area_rng) != len(p.areaRngLbl):
            raise ValueError(f"{len(area_rng)} area ranges need their labels (area_labels)")
        p.areaRng = [[float(lo), float(hi)] for lo, hi in area_rng]
    if area_labels is not None:
        if len(area_labels) != len(p.areaRng):
            raise ValueError(f"{len(area_labels)} area labels for {len(p.areaRng)} area ranges")
        p.areaRngLbl = list(area_labels)
    if kpt_sigmas is not None:
        p.kpt_oks_sigmas = np.asarray(kpt_sigmas, dtype=np.float64)
    p.useCats = 1 if use_cats else 0
    if iou_type in DETECTION_KINDS and len(p.maxDets) < 3:
        raise ValueError(f"the {iou_type} summary needs three detection caps; got {p.maxDets}")
    return E, gt, dt


def result_params(E: COCOeval, gt: Any, iou_type: str) -> tuple[EvalParams, list[dict[str, Any]]]:
    """The parameters an evaluated `COCOeval` ran with, and its category slots' descriptions."""
    p = E.params
    cat_slots = [int(c) if isinstance(c, np.integer) else c for c in p.catIds] if p.useCats else [-1]
    categories = [_category(gt, c) for c in cat_slots] if p.useCats else [
        {"id": -1, "name": "(all categories)", "supercategory": ""}]
    params = EvalParams(
        img_ids=[int(i) if isinstance(i, np.integer) else i for i in p.imgIds],
        cat_ids=cat_slots,
        iou_thrs=np.array(p.iouThrs, dtype=np.float64),
        rec_thrs=np.array(p.recThrs, dtype=np.float64),
        max_dets=[int(m) for m in p.maxDets],
        area_rng=[[float(lo), float(hi)] for lo, hi in p.areaRng],
        area_labels=list(p.areaRngLbl),
        use_cats=bool(p.useCats),
        kpt_sigmas=[float(s) for s in getattr(p, "kpt_oks_sigmas", [])] if iou_type == "keypoints" else [],
    )
    return params, categories


def _engine_timings(E: COCOeval) -> dict[str, float]:
    """The native engine's phase counters, when the evaluator exposes its engine."""
    engine = getattr(E, "_evaluator", None)
    timings = getattr(engine, "timings", None)
    return dict(timings()) if callable(timings) else {}


def _category(gt: Any, cat_id: Any) -> dict[str, Any]:
    cat = gt.cats.get(cat_id, {})
    return {"id": cat_id, "name": str(cat.get("name", cat_id)), "supercategory": str(cat.get("supercategory", ""))}


def count_instances(gt: Any, dt: Any, p: Any, cat_slots: list[Any], iou_type: str) -> tuple[list[int], list[int]]:
    """Per category slot: ground truths that count towards recall, and detections, on the evaluated images."""
    images = set(p.imgIds)
    # Pooled evaluation takes every category of the parameters into its one slot.
    slot = {c: 0 for c in p.catIds} if not p.useCats else {c: k for k, c in enumerate(cat_slots)}
    n = len(cat_slots)
    gt_counts = [0] * n
    for ann in gt.dataset.get("annotations", []):
        if ann.get("image_id") not in images or ann.get("iscrowd"):
            continue
        if iou_type == "keypoints" and not ann.get("num_keypoints"):
            continue
        k = slot.get(ann.get("category_id"))
        if k is not None:
            gt_counts[k] += 1
    dt_counts = [0] * n
    if images.issuperset(dt.getImgIds()):
        # Every image is evaluated: the category index already holds one
        # entry per detection.
        for c, k in slot.items():
            dt_counts[k] += len(dt.catToImgs.get(c, ()))
    else:
        for ann in dt.dataset.get("annotations", []):
            if ann.get("image_id") in images:
                k = slot.get(ann.get("category_id"))
                if k is not None:
                    dt_counts[k] += 1
    return gt_counts, dt_counts
