"""LVIS federated evaluation with the interface of the `lvis` package.

`LVIS`, `LVISResults` and `LVISEval` behave as the reference's classes do
(same attributes, getters, printed lines and numbers), so that code written
against `lvis` runs unchanged with `from brandor.lvis import LVIS,
LVISResults, LVISEval`. The evaluation itself runs in the native engine: the
federated rules become ignore and non-exhaustive flags of one `Evaluator`.

The rules, as the reference applies them:

- only detections of categories verified on their image (present in its
  ground truth, or listed in its `neg_category_ids`) take part;
- results keep at most `max_dets` detections per image, highest scores first,
  before any category filter;
- an unmatched detection of a category in the image's
  `not_exhaustive_category_ids` is ignored instead of counted as a false
  positive;
- there are no crowds;
- AP is also reported per frequency group (rare, common, frequent).
"""

from __future__ import annotations

import copy
import datetime
import os
from collections import OrderedDict, defaultdict
from typing import Any, Iterable, Sequence

import numpy as np

from . import _tarnel
from . import mask as mask_utils
from .coco import _compact_or_none
from .cocoeval import unique_ids

__all__ = ["LVIS", "LVISResults", "LVISEval", "Params"]


def _load_json(path: str | os.PathLike[str]) -> Any:
    return _tarnel.load_json(os.fspath(path))


class LVIS:
    """An LVIS dataset with indexes by annotation, image and category id."""

    def __init__(self, annotation_path: str | os.PathLike[str]) -> None:
        self.dataset: dict[str, Any] = _load_json(annotation_path)
        assert type(self.dataset) == dict, "Annotation file format {} not supported.".format(type(self.dataset))
        self._create_index()

    def _create_index(self) -> None:
        self.img_ann_map: defaultdict[Any, list[dict[str, Any]]] = defaultdict(list)
        self.cat_img_map: defaultdict[Any, list[Any]] = defaultdict(list)
        self.anns: dict[Any, dict[str, Any]] = {}
        self.cats: dict[Any, dict[str, Any]] = {}
        self.imgs: dict[Any, dict[str, Any]] = {}
        for ann in self.dataset["annotations"]:
            self.img_ann_map[ann["image_id"]].append(ann)
            self.anns[ann["id"]] = ann
        for img in self.dataset["images"]:
            self.imgs[img["id"]] = img
        for cat in self.dataset["categories"]:
            self.cats[cat["id"]] = cat
        for ann in self.dataset["annotations"]:
            self.cat_img_map[ann["category_id"]].append(ann["image_id"])

    def get_ann_ids(self, img_ids: Iterable[Any] | None = None, cat_ids: Iterable[Any] | None = None,
                    area_rng: Sequence[float] | None = None) -> list[Any]:
        """Ids of the annotations on `img_ids` (all images when None) whose
        category is in `cat_ids` and whose area lies strictly inside
        `area_rng` (0 to infinity when None). With neither `cat_ids` nor
        `area_rng` no annotation is filtered out; an `area_rng` needs `cat_ids`."""
        return [ann["id"] for ann in self._select_anns(img_ids, cat_ids, area_rng)]

    def _select_anns(self, img_ids: Iterable[Any] | None, cat_ids: Iterable[Any] | None,
                     area_rng: Sequence[float] | None) -> list[dict[str, Any]]:
        anns: list[dict[str, Any]] = []
        if img_ids is not None:
            for img_id in img_ids:
                anns.extend(self.img_ann_map[img_id])
        else:
            anns = self.dataset["annotations"]
        if cat_ids is None and area_rng is None:
            return list(anns)
        cats = set(cat_ids)  # type: ignore[arg-type]  # None fails here, as in the reference
        lo, hi = (0, float("inf")) if area_rng is None else (area_rng[0], area_rng[1])
        return [ann for ann in anns if ann["category_id"] in cats and lo < ann["area"] < hi]

    def get_cat_ids(self) -> list[Any]:
        return list(self.cats.keys())

    def get_img_ids(self) -> list[Any]:
        return list(self.imgs.keys())

    def _load_helper(self, table: dict[Any, Any], ids: Any) -> list[Any]:
        if ids is None:
            return list(table.values())
        return [table[i] for i in ids]

    def load_anns(self, ids: Any = None) -> list[dict[str, Any]]:
        return self._load_helper(self.anns, ids)

    def load_cats(self, ids: Any = None) -> list[dict[str, Any]]:
        return self._load_helper(self.cats, ids)

    def load_imgs(self, ids: Any = None) -> list[dict[str, Any]]:
        return self._load_helper(self.imgs, ids)

    def ann_to_rle(self, ann: dict[str, Any]) -> dict[str, Any]:
        """The annotation's mask as a compressed RLE dict."""
        img = self.imgs[ann["image_id"]]
        h, w = img["height"], img["width"]
        segm = ann["segmentation"]
        rle: dict[str, Any]
        if isinstance(segm, list):
            rle = mask_utils.merge(mask_utils.frPyObjects(segm, h, w))
        elif isinstance(segm["counts"], list):
            rle = mask_utils.frPyObjects(segm, h, w)
        else:
            rle = segm
        return rle

    def ann_to_mask(self, ann: dict[str, Any]) -> np.ndarray:
        """The annotation's mask as an h x w uint8 array."""
        return mask_utils.decode(self.ann_to_rle(ann))


class LVISResults(LVIS):
    """Detections in the LVIS format, indexed like the dataset they belong to.

    A results file is read into a compact native store; `dataset`, `anns`,
    `img_ann_map` and the other indexes are built from the file the first
    time any code reads them, and `LVISEval` on untouched results takes only
    the detections it keeps from the store."""

    _LAZY = frozenset({"dataset", "anns", "cats", "imgs", "img_ann_map", "cat_img_map"})

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], results: str | os.PathLike[str] | list[Any],
                 max_dets: int = 300) -> None:
        if isinstance(lvis_gt, LVIS):
            gt_dataset = lvis_gt.dataset
            gt_img_ids = list(lvis_gt.get_img_ids())
        elif isinstance(lvis_gt, (str, os.PathLike)):
            gt_dataset = _load_json(lvis_gt)
            gt_img_ids = [img["id"] for img in gt_dataset["images"]]
        else:
            raise TypeError("Unsupported type {} of lvis_gt.".format(lvis_gt))
        # Everything but the annotations, copied deeply as the reference copies it.
        self._base = {k: _copy_json(v) for k, v in gt_dataset.items() if k != "annotations"}
        self._max_dets = max_dets
        self._path: str | None = None
        self._store: Any = None
        if isinstance(results, (str, os.PathLike)):
            self._path = os.fspath(results)
            loaded = _compact_or_none(self._path, True)
            self._store = loaded[1] if loaded is not None else None
        if self._store is None:
            result_anns: Any = _load_json(self._path) if self._path is not None else results
            self._install(result_anns)
            img_ids_in_result = {ann["image_id"] for ann in result_anns}
            valid = img_ids_in_result == img_ids_in_result & set(gt_img_ids)
        elif self._store.annotation_count == 0:
            raise IndexError("list index out of range")  # as the reference, on an empty list
        else:
            valid = self._store.valid_images(gt_img_ids)
        assert valid, "Results do not correspond to current LVIS set."

    def _install(self, result_anns: Any) -> None:
        assert isinstance(result_anns, list), "results is not a list."
        if self._max_dets >= 0:
            result_anns = _limit_dets_per_image(result_anns, self._max_dets)
        _complete_results(result_anns)
        self.dataset = dict(self._base, annotations=result_anns)
        self._create_index()
        self._store = None

    def __getattr__(self, name: str) -> Any:
        # Only reached for attributes not set yet: the indexes of a results
        # file held in the store are built on first use.
        if name in LVISResults._LAZY and self.__dict__.get("_store") is not None:
            self._install(_load_json(self.__dict__["_path"]))
            return getattr(self, name)
        raise AttributeError("'{}' object has no attribute '{}'".format(type(self).__name__, name))

    def _federated_selection(self, img_ids: list[Any], cat_ids: list[Any],
                             verified: dict[Any, set[Any]]) -> list[dict[str, Any]] | None:
        """The detections LVISEval keeps, straight from the store: capped per
        image, then of a category in `cat_ids` verified on the image, with an
        area strictly between 0 and infinity as the reference's selection
        requires. None once the results have been materialized."""
        if self._store is None or not cat_ids:
            return None
        max_det = self._max_dets if self._max_dets >= 0 else None
        kept = self._store.lvis_annotations([int(i) for i in img_ids], set(cat_ids), verified, max_det)
        if kept is None:
            return None
        return [ann for ann in kept if 0 < ann["area"] < float("inf")]


_SCALARS = (int, float, str, bool, type(None))


def _copy_json(value: Any) -> Any:
    """A deep copy of JSON-shaped data, much faster than copy.deepcopy on the
    long lists of ids that LVIS images carry; other objects go to deepcopy."""
    kind = type(value)
    if kind is dict:
        return {k: _copy_json(v) for k, v in value.items()}
    if kind is list:
        if all(type(v) in _SCALARS for v in value):
            return value.copy()
        return [_copy_json(v) for v in value]
    if kind in _SCALARS:
        return value
    return copy.deepcopy(value)


def _limit_dets_per_image(anns: list[dict[str, Any]], max_dets: int) -> list[dict[str, Any]]:
    """At most `max_dets` detections per image, images in order of first
    appearance; an image over the cap keeps its highest scores (ties in file
    order), the others keep file order."""
    by_image: defaultdict[Any, list[dict[str, Any]]] = defaultdict(list)
    for ann in anns:
        by_image[ann["image_id"]].append(ann)
    kept: list[dict[str, Any]] = []
    for group in by_image.values():
        if len(group) > max_dets:
            group = sorted(group, key=lambda ann: ann["score"], reverse=True)[:max_dets]
        kept.extend(group)
    return kept


def _complete_results(anns: list[dict[str, Any]]) -> None:
    """Fills area, id and the missing geometry of each result in place: boxes
    get a four-corner polygon, masks their box."""
    if "bbox" in anns[0]:
        for i, ann in enumerate(anns):
            x1, y1, w, h = ann["bbox"]
            x2, y2 = x1 + w, y1 + h
            if "segmentation" not in ann:
                ann["segmentation"] = [[x1, y1, x1, y2, x2, y2, x2, y1]]
            ann["area"] = w * h
            ann["id"] = i + 1
    elif "segmentation" in anns[0]:
        for i, ann in enumerate(anns):
            ann["area"] = mask_utils.area(ann["segmentation"])
            if "bbox" not in ann:
                ann["bbox"] = mask_utils.toBbox(ann["segmentation"])
            ann["id"] = i + 1


class Params:
    """LVIS evaluation parameters, with the reference's fields and defaults."""

    def __init__(self, iou_type: str) -> None:
        self.img_ids: list[Any] = []
        self.cat_ids: list[Any] = []
        self.iou_thrs = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
        self.rec_thrs = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)
        self.max_dets = 300
        self.area_rng: list[list[float]] = [[0 ** 2, 1e5 ** 2], [0 ** 2, 32 ** 2], [32 ** 2, 96 ** 2], [96 ** 2, 1e5 ** 2]]
        self.area_rng_lbl = ["all", "small", "medium", "large"]
        self.use_cats = 1
        # Frequency groups: rare, common, frequent.
        self.img_count_lbl = ["r", "c", "f"]
        self.iou_type = iou_type


class LVISEval:
    """Federated evaluation of `lvis_dt` against `lvis_gt`, for bbox or segm."""

    def __init__(self, lvis_gt: LVIS | str | os.PathLike[str], lvis_dt: Any = None, iou_type: str = "segm") -> None:
        if iou_type not in ["bbox", "segm"]:
            raise ValueError("iou_type: {} is not supported.".format(iou_type))
        if isinstance(lvis_gt, LVIS):
            self.lvis_gt = lvis_gt
        elif isinstance(lvis_gt, (str, os.PathLike)):
            self.lvis_gt = LVIS(lvis_gt)
        else:
            raise TypeError("Unsupported type {} of lvis_gt.".format(lvis_gt))
        if isinstance(lvis_dt, LVISResults):
            self.lvis_dt = lvis_dt
        elif isinstance(lvis_dt, (str, os.PathLike, list)):
            self.lvis_dt = LVISResults(self.lvis_gt, lvis_dt)
        else:
            raise TypeError("Unsupported type {} of lvis_dt.".format(lvis_dt))
        self.eval: dict[str, Any] = {}
        self.params = Params(iou_type=iou_type)
        self.results: OrderedDict[str, Any] = OrderedDict()
        self.freq_groups: list[list[int]] = []
        self.img_nel: dict[Any, list[Any]] = {}
        self.params.img_ids = sorted(self.lvis_gt.get_img_ids())
        self.params.cat_ids = sorted(self.lvis_gt.get_cat_ids())
        self._run: dict[str, Any] | None = None

    def _prepare_freq_group(self) -> list[list[int]]:
        groups: list[list[int]] = [[] for _ in self.params.img_count_lbl]
        for idx, cat in enumerate(self.lvis_gt.load_cats(self.params.cat_ids)):
            groups[self.params.img_count_lbl.index(cat["frequency"])].append(idx)
        return groups

    def _federated_inputs(self) -> tuple[list[dict[str, Any]], list[dict[str, Any]], list[tuple[int, int]]]:
        """The ground truths and the verified detections that take part, and
        the (image, category) pairs that are not exhaustively annotated."""
        p = self.params
        cat_ids = p.cat_ids if p.cat_ids else None
        gts = self.lvis_gt._select_anns(p.img_ids, cat_ids, None)
        img_data = self.lvis_gt.load_imgs(ids=p.img_ids)
        verified: dict[Any, set[Any]] = {img["id"]: set(img["neg_category_ids"]) for img in img_data}
        for ann in gts:
            verified[ann["image_id"]].add(ann["category_id"])
        self.img_nel = {img["id"]: img["not_exhaustive_category_ids"] for img in img_data}
        kept = None
        if isinstance(self.lvis_dt, LVISResults):
            kept = self.lvis_dt._federated_selection(p.img_ids, p.cat_ids, verified)
        if kept is None:
            dts = self.lvis_dt._select_anns(p.img_ids, cat_ids, None)
            kept = [dt for dt in dts if dt["category_id"] in verified[dt["image_id"]]]
        non_exhaustive = [(int(img_id), int(cat_id)) for img_id, cats in self.img_nel.items() for cat_id in cats]
        return gts, kept, non_exhaustive

    def evaluate(self) -> None:
        """Match detections to ground truth in every image and category."""
        p = self.params
        p.img_ids = unique_ids(p.img_ids)
        if p.use_cats:
            p.cat_ids = unique_ids(p.cat_ids)
        gts, dts, non_exhaustive = self._federated_inputs()
        img_sizes: dict[int, tuple[int, int]] = {}
        if p.iou_type == "segm":
            img_sizes = {int(i): (int(img["height"]), int(img["width"])) for i, img in self.lvis_gt.imgs.items()
                         if "height" in img and "width" in img}
        evaluator = _tarnel.Evaluator(
            gts, dts, img_sizes, [int(i) for i in p.img_ids], [int(c) for c in p.cat_ids],
            [float(t) for t in p.iou_thrs], [float(r) for r in p.rec_thrs], [int(p.max_dets)],
            [[float(r[0]), float(r[1])] for r in p.area_rng], bool(p.use_cats), p.iou_type, [])
        evaluator.configure_lvis([False] * len(gts), non_exhaustive)
        self._run = dict(evaluator.run())
        self.freq_groups = self._prepare_freq_group()

    def accumulate(self) -> None:
        """Store the precision and recall arrays in `eval`."""
        if self._run is None:
            raise RuntimeError("Please run evaluate first.")
        p = self.params
        T, R, K, A = len(p.iou_thrs), len(p.rec_thrs), len(p.cat_ids) if p.use_cats else 1, len(p.area_rng)
        self.eval = {
            "params": p,
            "counts": [T, R, K, A],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": np.ascontiguousarray(self._run["precision"][..., 0]),
            "recall": np.ascontiguousarray(self._run["recall"][..., 0]),
        }

    def _summarize(self, summary_type: str, iou_thr: float | None = None, area_rng: str = "all",
                   freq_group_idx: int | None = None) -> Any:
        aidx = [idx for idx, lbl in enumerate(self.params.area_rng_lbl) if lbl == area_rng]
        if summary_type == "ap":
            s = self.eval["precision"]
            if iou_thr is not None:
                s = s[np.where(iou_thr == self.params.iou_thrs)[0]]  # type: ignore[call-overload]
            if freq_group_idx is not None:
                s = s[:, :, self.freq_groups[freq_group_idx], aidx]
            else:
                s = s[:, :, :, aidx]
        else:
            s = self.eval["recall"]
            if iou_thr is not None:
                s = s[np.where(iou_thr == self.params.iou_thrs)[0]]  # type: ignore[call-overload]
            s = s[:, :, aidx]
        if len(s[s > -1]) == 0:
            return -1
        return np.mean(s[s > -1])

    def summarize(self) -> None:
        """Fill `results` with AP, AP50, AP75, APs/m/l, APr/c/f and AR@max_dets."""
        if not self.eval:
            raise RuntimeError("Please run accumulate() first.")
        max_dets = self.params.max_dets
        r = self.results
        r["AP"] = self._summarize("ap")
        r["AP50"] = self._summarize("ap", iou_thr=0.50)
        r["AP75"] = self._summarize("ap", iou_thr=0.75)
        r["APs"] = self._summarize("ap", area_rng="small")
        r["APm"] = self._summarize("ap", area_rng="medium")
        r["APl"] = self._summarize("ap", area_rng="large")
        r["APr"] = self._summarize("ap", freq_group_idx=0)
        r["APc"] = self._summarize("ap", freq_group_idx=1)
        r["APf"] = self._summarize("ap", freq_group_idx=2)
        r["AR@{}".format(max_dets)] = self._summarize("ar")
        for area_rng in ["small", "medium", "large"]:
            r["AR{}@{}".format(area_rng[0], max_dets)] = self._summarize("ar", area_rng=area_rng)

    def run(self) -> None:
        """evaluate(), accumulate() and summarize()."""
        self.evaluate()
        self.accumulate()
        self.summarize()

    def print_results(self) -> None:
        template = " {:<18} {} @[ IoU={:<9} | area={:>6s} | maxDets={:>3d} catIds={:>3s}] = {:0.3f}"
        for key, value in self.results.items():
            max_dets = self.params.max_dets
            if "AP" in key:
                title, kind = "Average Precision", "(AP)"
            else:
                title, kind = "Average Recall", "(AR)"
            if len(key) > 2 and key[2].isdigit():
                iou = "{:0.2f}".format(float(key[2:]) / 100)
            else:
                iou = "{:0.2f}:{:0.2f}".format(self.params.iou_thrs[0], self.params.iou_thrs[-1])
            cat_group = key[2] if len(key) > 2 and key[2] in "rcf" else "all"
            area = key[2] if len(key) > 2 and key[2] in "sml" else "all"
            print(template.format(title, kind, iou, area, max_dets, cat_group, value))

    def get_results(self) -> OrderedDict[str, Any]:
        return self.results
