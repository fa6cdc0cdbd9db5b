"""`COCOeval`: pycocotools' evaluation interface over the native `Evaluator`.

`evaluate()` prepares image ids, category ids, thresholds, area ranges,
detection caps and sigmas exactly as pycocotools' `COCOeval` does and hands
them, with the annotation lists, to one `Evaluator`, which computes the
precision, recall and score arrays natively. `accumulate()` and
`summarize()` present them as the reference does, with the same printed
lines.

The reference's internals are here too, with its data shapes: `_prepare`,
`computeIoU`, `computeOks`, `evaluateImg`, `_gts`, `_dts`, `ious` and
`evalImgs`. Code that drives them itself (a replaced `evaluate`, records
merged across batches or processes) gets the reference's numbers, and a
subclass that overrides one of them is evaluated through its methods. After
the native `evaluate()`, `evalImgs`, `ious`, `_gts` and `_dts` are built when
first read, because at COCO scale building them costs more than evaluating.
"""

from __future__ import annotations

import contextlib
import copy
import datetime
import itertools
import time
import warnings
from collections import defaultdict
from typing import Any, Iterator, Sequence

import numpy as np

from . import _tarnel
from .coco import _gc_paused
from . import mask as maskUtils  # imported from here by code written for pycocotools
from .result import IOU_TYPES, format_summary_line, summarize_arrays

ID_0_WARNINGS = (
    ("cocoGt", "the ground truth holds an annotation with id 0: brandor counts a detection matched to it as a "
               "true positive, where pycocotools counts it as a false positive"),
    ("cocoDt", "the detections hold one with id 0: brandor counts the ground truth it matches as taken, where "
               "pycocotools lets further detections match that ground truth too"),
)
README_POINTER = " (see 'Known differences from pycocotools' in brandor's README)"

# The methods through which the reference evaluates; a subclass that
# overrides one of them is evaluated through them instead of natively.
_EVALUATION_METHODS = ("_prepare", "computeIoU", "computeOks", "evaluateImg")


class Params:
    """Evaluation parameters, with pycocotools' fields and defaults."""

    imgIds: list[Any]
    catIds: list[Any]
    iouThrs: np.ndarray
    recThrs: np.ndarray
    maxDets: list[int]
    areaRng: list[list[float]]
    areaRngLbl: list[str]
    useCats: int
    kpt_oks_sigmas: np.ndarray
    iouType: str
    useSegm: Any

    def setDetParams(self) -> None:
        self.imgIds = []
        self.catIds = []
        self.iouThrs = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
        self.recThrs = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)
        self.maxDets = [1, 10, 100]
        self.areaRng = [[0 ** 2, 1e5 ** 2], [0 ** 2, 32 ** 2], [32 ** 2, 96 ** 2], [96 ** 2, 1e5 ** 2]]
        self.areaRngLbl = ["all", "small", "medium", "large"]
        self.useCats = 1

    def setKpParams(self) -> None:
        self.imgIds = []
        self.catIds = []
        self.iouThrs = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
        self.recThrs = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)
        self.maxDets = [20]
        self.areaRng = [[0 ** 2, 1e5 ** 2], [32 ** 2, 96 ** 2], [96 ** 2, 1e5 ** 2]]
        self.areaRngLbl = ["all", "medium", "large"]
        self.useCats = 1
        self.kpt_oks_sigmas = np.array([0.26, 0.25, 0.25, 0.35, 0.35, 0.79, 0.79, 0.72, 0.72, 0.62,
                                        0.62, 1.07, 1.07, 0.87, 0.87, 0.89, 0.89]) / 10.0

    def __init__(self, iouType: str = "segm") -> None:
        if iouType in ("segm", "bbox", "boundary"):
            self.setDetParams()
        elif iouType == "keypoints":
            self.setKpParams()
        else:
            raise Exception("iouType not supported")
        self.iouType = iouType
        # Deprecated: when set, 1 selects segm and anything else bbox.
        self.useSegm = None


class COCOeval:
    """Drop-in replacement of pycocotools' `COCOeval` for segm, bbox and keypoints.

    `iouType="boundary"` evaluates Boundary IoU: the smaller of the mask IoU
    and the IoU of the masks' boundary bands, whose width is `dilation_ratio`
    times the image diagonal. `cocoGt` and `cocoDt` may be pycocotools or
    brandor `COCO` objects (or anything with `dataset`, `imgs`, `anns`,
    `getImgIds()`, `getCatIds()`, `getAnnIds()` and `loadAnns()`).
    """

    # Built on first read after the native evaluate(); None until then.
    _eval_imgs: Any
    _gts_: Any
    _dts_: Any
    _ious: Any

    def __init__(self, cocoGt: Any = None, cocoDt: Any = None, iouType: str = "segm",
                 dilation_ratio: float = 0.02) -> None:
        if not iouType:
            print("iouType not specified. use default iouType segm")
        self.cocoGt = cocoGt
        self.cocoDt = cocoDt
        self.evalImgs = defaultdict(list)
        self.eval: dict[str, Any] = {}
        self._gts = defaultdict(list)
        self._dts = defaultdict(list)
        self.params = Params(iouType=iouType)
        self.dilation_ratio = float(dilation_ratio)
        self._paramsEval: Any = {}
        self.stats: Any = []
        self.ious = {}
        # The native run behind the lazy attributes: its evaluator (dropped
        # when pickled, rebuilt on demand), its arrays and its parameters.
        self._evaluator: Any = None
        self._run: dict[str, Any] | None = None
        self._run_params: Params | None = None
        if cocoGt is not None:
            self.params.imgIds = sorted(cocoGt.getImgIds())
            self.params.catIds = sorted(cocoGt.getCatIds())

    # --- attributes built on first read after the native evaluate() ---------

    @property
    def evalImgs(self) -> Any:
        if self._eval_imgs is None:
            self._eval_imgs = self._collect_eval_imgs()
        return self._eval_imgs

    @evalImgs.setter
    def evalImgs(self, value: Any) -> None:
        self._eval_imgs = value

    @property
    def _gts(self) -> Any:
        if self._gts_ is None:
            self._fill_groups()
        return self._gts_

    @_gts.setter
    def _gts(self, value: Any) -> None:
        self._gts_ = value

    @property
    def _dts(self) -> Any:
        if self._dts_ is None:
            self._fill_groups()
        return self._dts_

    @_dts.setter
    def _dts(self, value: Any) -> None:
        self._dts_ = value

    @property
    def ious(self) -> Any:
        if self._ious is None:
            with self._evaluated_params() as p:
                compute = self.computeOks if p.iouType == "keypoints" else self.computeIoU
                cat_ids = p.catIds if p.useCats else [-1]
                self._ious = {(i, c): compute(i, c) for i in p.imgIds for c in cat_ids}
        return self._ious

    @ious.setter
    def ious(self, value: Any) -> None:
        self._ious = value

    def _fill_groups(self) -> None:
        with self._evaluated_params() as p:
            self._gts_, self._dts_ = self._grouped_annotations()
        # The reference's similarity and per-image loops look every (image,
        # category) pair up in these defaultdicts, which adds the missing ones
        # as empty lists, in the loops' order.
        cat_ids = p.catIds if p.useCats else [-1]

        def look_up(pairs: Iterator[tuple[Any, Any]], pool: bool) -> None:
            for i, c in pairs:
                for key in [(i, c2) for c2 in p.catIds] if pool else [(i, c)]:
                    self._gts_[key]
                    self._dts_[key]

        # Similarities (pooled over the categories, except keypoints), then records.
        look_up(((i, c) for i in p.imgIds for c in cat_ids), not p.useCats and p.iouType != "keypoints")
        if p.areaRng:
            look_up(((i, c) for c in cat_ids for i in p.imgIds), not p.useCats)
        # The reference's evaluateImg leaves each evaluated ground truth
        # flagged for the last area range.
        if not p.areaRng:
            return
        lo, hi = p.areaRng[-1]
        cats = set(p.catIds)
        for (_, cat), gts in self._gts_.items():
            if cat in cats:
                for g in gts:
                    g["_ignore"] = 1 if g["ignore"] or (g["area"] < lo or g["area"] > hi) else 0

    @contextlib.contextmanager
    def _evaluated_params(self) -> Iterator[Params]:
        """`params` as the native evaluate() had them, while the attributes it
        leaves unbuilt are built (accumulate() may have changed them since)."""
        current = self.params
        if self._run_params is not None:
            self.params = self._run_params
        try:
            yield self.params
        finally:
            self.params = current

    def __getstate__(self) -> dict[str, Any]:
        # The native evaluator cannot be pickled; it is rebuilt when needed.
        state = self.__dict__.copy()
        state["_evaluator"] = None
        return state

    # --- the reference's evaluation steps -----------------------------------

    def _prepare(self) -> None:
        """Group the annotations to evaluate by (image, category), as the reference does.

        Ground truths get their `ignore` flag and, for segm, both sides'
        segmentations become compressed RLEs, in place.
        """
        self._gts, self._dts = self._grouped_annotations()
        self.evalImgs = defaultdict(list)
        self.eval = {}

    def _grouped_annotations(self) -> tuple[defaultdict[Any, list[Any]], defaultdict[Any, list[Any]]]:
        p = self.params
        gts, dts = self._selected_annotations(p)
        if p.iouType == "segm":
            for anns, coco in ((gts, self.cocoGt), (dts, self.cocoDt)):
                for ann in anns:
                    ann["segmentation"] = coco.annToRLE(ann)
        for gt in gts:
            gt["ignore"] = gt["ignore"] if "ignore" in gt else 0
            gt["ignore"] = "iscrowd" in gt and gt["iscrowd"]
            if p.iouType == "keypoints":
                gt["ignore"] = (gt["num_keypoints"] == 0) or gt["ignore"]
        grouped_gts: defaultdict[Any, list[Any]] = defaultdict(list)
        grouped_dts: defaultdict[Any, list[Any]] = defaultdict(list)
        for gt in gts:
            grouped_gts[gt["image_id"], gt["category_id"]].append(gt)
        for dt in dts:
            grouped_dts[dt["image_id"], dt["category_id"]].append(dt)
        return grouped_gts, grouped_dts

    def _selected_annotations(self, p: Params) -> tuple[list[Any], list[Any]]:
        """The annotations of the evaluated images (and categories), in the reference's order."""
        cats = {"catIds": p.catIds} if p.useCats else {}
        gts = self.cocoGt.loadAnns(self.cocoGt.getAnnIds(imgIds=p.imgIds, **cats))
        dts = self.cocoDt.loadAnns(self.cocoDt.getAnnIds(imgIds=p.imgIds, **cats))
        return gts, dts

    def _pair(self, imgId: Any, catId: Any) -> tuple[list[Any], list[Any]]:
        p = self.params
        if p.useCats:
            return self._gts[imgId, catId], self._dts[imgId, catId]
        return ([g for c in p.catIds for g in self._gts[imgId, c]],
                [d for c in p.catIds for d in self._dts[imgId, c]])

    def computeIoU(self, imgId: Any, catId: Any) -> Any:
        """IoU of the image's detections (by score, at most maxDets[-1]) with its ground truths: D x G, or []."""
        p = self.params
        gt, dt = self._pair(imgId, catId)
        if len(gt) == 0 and len(dt) == 0:
            return []
        inds = np.argsort([-d["score"] for d in dt], kind="mergesort")
        dt = [dt[i] for i in inds]
        if len(dt) > p.maxDets[-1]:
            dt = dt[0:p.maxDets[-1]]
        if p.iouType == "segm":
            g = [g["segmentation"] for g in gt]
            d = [d["segmentation"] for d in dt]
        elif p.iouType == "bbox":
            g = [g["bbox"] for g in gt]
            d = [d["bbox"] for d in dt]
        else:
            raise Exception("unknown iouType for iou computation")
        iscrowd = [int(o["iscrowd"]) for o in gt]
        return maskUtils.iou(d, g, iscrowd)

    def computeOks(self, imgId: Any, catId: Any) -> Any:
        """Object keypoint similarity of the image's detections with its ground truths: D x G, or []."""
        p = self.params
        gts = self._gts[imgId, catId]
        dts = self._dts[imgId, catId]
        inds = np.argsort([-d["score"] for d in dts], kind="mergesort")
        dts = [dts[i] for i in inds]
        if len(dts) > p.maxDets[-1]:
            dts = dts[0:p.maxDets[-1]]
        if len(gts) == 0 or len(dts) == 0:
            return []
        ious = np.zeros((len(dts), len(gts)))
        sigmas = p.kpt_oks_sigmas
        variances = (sigmas * 2) ** 2
        k = len(sigmas)
        for j, gt in enumerate(gts):
            g = np.array(gt["keypoints"])
            xg, yg, vg = g[0::3], g[1::3], g[2::3]
            k1 = np.count_nonzero(vg > 0)
            bb = gt["bbox"]
            x0, x1 = bb[0] - bb[2], bb[0] + bb[2] * 2
            y0, y1 = bb[1] - bb[3], bb[1] + bb[3] * 2
            for i, dt in enumerate(dts):
                d = np.array(dt["keypoints"])
                xd, yd = d[0::3], d[1::3]
                if k1 > 0:
                    dx = xd - xg
                    dy = yd - yg
                else:
                    z = np.zeros((k))
                    dx = np.max((z, x0 - xd), axis=0) + np.max((z, xd - x1), axis=0)
                    dy = np.max((z, y0 - yd), axis=0) + np.max((z, yd - y1), axis=0)
                e = (dx ** 2 + dy ** 2) / variances / (gt["area"] + np.spacing(1)) / 2
                if k1 > 0:
                    e = e[vg > 0]
                ious[i, j] = np.sum(np.exp(-e)) / e.shape[0]
        return ious

    def evaluateImg(self, imgId: Any, catId: Any, aRng: Any, maxDet: int) -> dict[str, Any] | None:
        """The reference's per-image record for one category and area range, or None.

        Ground truths get their `_ignore` flag for the area range, in place. A
        detection matched to a ground truth whose id is 0 is a match (its
        `dtMatches` entry is 0 all the same), and a ground truth matched to a
        detection whose id is 0 is taken; the reference treats the first as
        unmatched and the second as still free.
        """
        p = self.params
        gt, dt = self._pair(imgId, catId)
        if len(gt) == 0 and len(dt) == 0:
            return None
        for g in gt:
            g["_ignore"] = 1 if g["ignore"] or (g["area"] < aRng[0] or g["area"] > aRng[1]) else 0
        gtind = np.argsort([g["_ignore"] for g in gt], kind="mergesort")
        gt = [gt[i] for i in gtind]
        dtind = np.argsort([-d["score"] for d in dt], kind="mergesort")
        dt = [dt[i] for i in dtind[0:maxDet]]
        iscrowd = [int(o["iscrowd"]) for o in gt]
        ious = self.ious[imgId, catId][:, gtind] if len(self.ious[imgId, catId]) > 0 else self.ious[imgId, catId]
        T, G, D = len(p.iouThrs), len(gt), len(dt)
        gtm = np.zeros((T, G))
        dtm = np.zeros((T, D))
        matched = np.zeros((T, D), dtype=bool)
        gtIg = np.array([g["_ignore"] for g in gt])
        dtIg = np.zeros((T, D))
        if not len(ious) == 0:
            if len(ious) < D:
                raise IndexError("index {} is out of bounds for axis 0 with size {}".format(len(ious), len(ious)))
            # The engine's matching; a ground truth matched by a detection with
            # id 0 is taken all the same.
            taken = _tarnel.match_greedy(ious[:D], gtIg, iscrowd, [float(t) for t in p.iouThrs])
            matched = taken >= 0
            position = np.where(matched, taken, 0)
            dtm[matched] = np.array([g["id"] for g in gt], dtype=np.float64)[position[matched]]
            dtIg[matched] = gtIg[position[matched]]
            for t, d in zip(*np.nonzero(matched)):
                gtm[t, taken[t, d]] = dt[d]["id"]
        a = np.array([d["area"] < aRng[0] or d["area"] > aRng[1] for d in dt]).reshape((1, len(dt)))
        dtIg = np.logical_or(dtIg, np.logical_and(np.logical_not(matched), np.repeat(a, T, 0)))
        return {
            "image_id": imgId,
            "category_id": catId,
            "aRng": aRng,
            "maxDet": maxDet,
            "dtIds": [d["id"] for d in dt],
            "gtIds": [g["id"] for g in gt],
            "dtMatches": dtm,
            "gtMatches": gtm,
            "dtScores": [d["score"] for d in dt],
            "gtIgnore": gtIg,
            "dtIgnore": dtIg,
        }

    def evaluate(self) -> None:
        """Evaluate every image and category; the results are ready for `accumulate()`."""
        tic = time.time()
        print("Running per image evaluation...")
        p = self.params
        if p.useSegm is not None:
            p.iouType = "segm" if p.useSegm == 1 else "bbox"
            print("useSegm (deprecated) is not None. Running {} evaluation".format(p.iouType))
        print("Evaluate annotation type *{}*".format(p.iouType))
        self._normalize_params()
        self._warn_about_id_0()
        self._evaluator = None
        self._run = None
        self._run_params = None
        if self._uses_own_methods():
            self._evaluate_through_methods(p)
        else:
            self.evalImgs = defaultdict(list)
            self.eval = {}
            self._evaluator = self._build_evaluator(p)
            self._run = self._evaluator.run()
            self._run_params = copy_params(p)
            self._eval_imgs = self._gts_ = self._dts_ = self._ious = None
        self._paramsEval = copy_params(self.params)
        print("DONE (t={:0.2f}s).".format(time.time() - tic))

    def _normalize_params(self) -> None:
        """Images and categories sorted and unique, detection caps sorted, as the reference evaluates."""
        p = self.params
        p.imgIds = unique_ids(p.imgIds)
        if p.useCats:
            p.catIds = unique_ids(p.catIds)
        p.maxDets = sorted(p.maxDets)

    def _partial(self, meta: bytes) -> bytes:
        """The native partial result of these images, carrying the bytes `meta` (see `brandor.shards`)."""
        if self._uses_own_methods():
            raise TypeError("a partial result comes from the native evaluation; this COCOeval overrides "
                            + ", ".join(n for n in _EVALUATION_METHODS if getattr(type(self), n) is not
                                        getattr(COCOeval, n) or n in self.__dict__))
        self._normalize_params()
        p = self.params
        if not _all_ints(p.imgIds):
            raise ValueError("sharded evaluation needs integer image ids")
        self._warn_about_id_0()
        result: bytes = self._build_evaluator(p).partial(meta)
        return result

    def _uses_own_methods(self) -> bool:
        cls = type(self)
        return any(getattr(cls, name) is not getattr(COCOeval, name) or name in self.__dict__
                   for name in _EVALUATION_METHODS)

    def _evaluate_through_methods(self, p: Params) -> None:
        """The reference's loop over the (possibly overridden) per-image methods."""
        self._prepare()
        cat_ids = p.catIds if p.useCats else [-1]
        if p.iouType in ("segm", "bbox"):
            compute = self.computeIoU
        elif p.iouType == "keypoints":
            compute = self.computeOks
        else:
            raise Exception("unknown iouType for iou computation")
        self.ious = {(i, c): compute(i, c) for i in p.imgIds for c in cat_ids}
        evaluate_img = self.evaluateImg
        max_det = p.maxDets[-1]
        self.evalImgs = [evaluate_img(i, c, a, max_det) for c in cat_ids for a in p.areaRng for i in p.imgIds]

    def _warn_about_id_0(self) -> None:
        for side, message in ID_0_WARNINGS:
            coco = getattr(self, side)
            store = _untouched_store(coco)
            if store is not None:
                has_id_0 = _store_has_id_0(coco, store, self.params)
            elif _untouched_annotations(coco) is not None:
                has_id_0 = False  # results numbered from 1, not read since
            else:
                anns = getattr(coco, "anns", None)
                has_id_0 = 0 in anns if isinstance(anns, dict) else any(
                    a.get("id") == 0 for a in getattr(coco, "dataset", {}).get("annotations", []))
            if has_id_0:
                warnings.warn(message + README_POINTER, UserWarning, stacklevel=3)

    def _native_evaluator(self) -> Any:
        if self._evaluator is None:
            assert self._run_params is not None
            self._evaluator = self._build_evaluator(self._run_params)
        return self._evaluator

    def _build_evaluator(self, p: Params) -> Any:
        img_ids = list(p.imgIds)
        cat_ids = list(p.catIds)
        mask_kind = p.iouType in ("segm", "boundary")
        stores = self._stores(p)
        if stores is not None:
            # Untouched brandor COCO objects: the engine reads their compact
            # stores itself, and no annotation object is ever built.
            return _tarnel.Evaluator(stores[0], stores[1], self._all_image_sizes() if mask_kind else {},
                                     **self._engine_args(p, img_ids, cat_ids))
        gts, dts = _annotation_list(self.cocoGt), _annotation_list(self.cocoDt)
        if mask_kind:
            # Only the masks the reference rasterises are rasterised, so only
            # their images need a size.
            gts, dts = _evaluated(gts, p), _evaluated(dts, p)
        img_sizes = self._image_sizes(gts, dts) if mask_kind else {}
        # The engine takes integer ids. Other ids (strings, say), and a pooled
        # category list with repeats, go in as positions in the id lists.
        image_positions = None if _all_ints(img_ids) else {i: n for n, i in enumerate(img_ids)}
        category_slots = None
        if not _all_ints(cat_ids) or (not p.useCats and len(set(cat_ids)) != len(cat_ids)):
            # Pooled over a category list with repeats, the reference takes the
            # annotations of a repeated category once per occurrence.
            category_slots = defaultdict(list)
            for n, c in enumerate(cat_ids):
                category_slots[c].append(n)
            cat_ids = list(range(len(cat_ids)))
        if image_positions is not None or category_slots is not None:
            gts = _renumbered(gts, image_positions, category_slots)
            dts = _renumbered(dts, image_positions, category_slots)
        if image_positions is not None:
            img_sizes = {image_positions[i]: size for i, size in img_sizes.items() if i in image_positions}
            img_ids = list(range(len(img_ids)))
        return _tarnel.Evaluator(gts, dts, img_sizes, **self._engine_args(p, img_ids, cat_ids))

    def _engine_args(self, p: Params, img_ids: list[Any], cat_ids: list[Any]) -> dict[str, Any]:
        args: dict[str, Any] = dict(
            img_ids=[int(i) for i in img_ids],
            cat_ids=[int(c) for c in cat_ids],
            iou_thrs=[float(t) for t in p.iouThrs],
            rec_thrs=[float(r) for r in p.recThrs],
            max_dets=[int(m) for m in p.maxDets],
            area_rng=[[float(lo), float(hi)] for lo, hi in p.areaRng],
            use_cats=bool(p.useCats),
            iou_type=p.iouType,
            kpt_sigmas=[float(s) for s in getattr(p, "kpt_oks_sigmas", [])] if p.iouType == "keypoints" else [],
        )
        if p.iouType == "boundary":
            args["boundary_dilation"] = self.dilation_ratio
        return args

    def _stores(self, p: Params) -> tuple[Any, Any] | None:
        """The sides as the engine takes them when at least one is an untouched
        compact store (the other as its annotation list), or None. Stores are
        used only where nothing must be renumbered (integer ids, no repeated
        pooled category) and, for masks, where every image has its size."""
        gt_store, dt_store = _untouched_store(self.cocoGt), _untouched_store(self.cocoDt)
        if gt_store is None and dt_store is None:
            return None
        cat_ids = list(p.catIds)
        if not (_all_ints(p.imgIds) and _all_ints(cat_ids)) or (not p.useCats and len(set(cat_ids)) != len(cat_ids)):
            return None
        if p.iouType in ("segm", "boundary") and not all(
                "height" in img and "width" in img for img in self.cocoGt.imgs.values()):
            return None
        gts = gt_store if gt_store is not None else _annotation_list(self.cocoGt)
        dts = dt_store if dt_store is not None else _annotation_list(self.cocoDt)
        return gts, dts

    def _all_image_sizes(self) -> dict[int, tuple[int, int]]:
        return {int(i): (int(img["height"]), int(img["width"])) for i, img in self.cocoGt.imgs.items()}

    def _image_sizes(self, gts: list[Any], dts: list[Any]) -> dict[Any, tuple[int, int]]:
        """(height, width) of every image a mask is rasterised on: from the ground truth's
        image entry where the image has ground-truth masks, else from the detections'.

        A missing image or size raises the reference's KeyError.
        """
        sizes: dict[Any, tuple[int, int]] = {}
        for anns, coco in ((gts, self.cocoGt), (dts, self.cocoDt)):
            imgs = coco.imgs
            for ann in anns:
                i = ann["image_id"]
                if i not in sizes:
                    img = imgs[i]
                    sizes[i] = (int(img["height"]), int(img["width"]))
        return sizes

    def _collect_eval_imgs(self) -> list[dict[str, Any] | None]:
        """The reference's per-image records, in its order: category, area range, image."""
        records = self._native_evaluator().run(collect_eval_imgs=True)["evalImgs"]
        with _gc_paused():
            return self._reference_records(records)

    def _reference_records(self, records: list[dict[str, Any] | None]) -> list[dict[str, Any] | None]:
        """The engine's records with the reference's ids, area ranges, key order and flag dtypes."""
        p = self._run_params
        assert p is not None
        cat_ids = p.catIds if p.useCats else [-1]
        # Integer flags as the reference keeps them; its empty array is float
        # (and cannot be written to, so one serves every record).
        no_gt_flags = np.array([])

        def reference_record(rec: dict[str, Any], cat: Any, area: Any, img: Any) -> dict[str, Any]:
            gt_ignore = rec["gtIgnore"]
            return {
                "image_id": img,
                "category_id": cat,
                "aRng": area,
                "maxDet": rec["maxDet"],
                "dtIds": rec["dtIds"],
                "gtIds": rec["gtIds"],
                "dtMatches": rec["dtMatches"],
                "gtMatches": rec["gtMatches"],
                "dtScores": rec["dtScores"],
                "gtIgnore": gt_ignore.astype(np.int64) if len(gt_ignore) else no_gt_flags,
                "dtIgnore": rec["dtIgnore"].astype(bool),
            }

        return [None if rec is None else reference_record(rec, *where)
                for rec, where in zip(records, itertools.product(cat_ids, p.areaRng, p.imgIds))]

    def accumulate(self, p: Params | None = None) -> None:
        """Store the precision, recall and score arrays in `eval`.

        They come from the native run when `evalImgs` and `_paramsEval` are
        what the last `evaluate()` left; otherwise from the records in
        `evalImgs`, read as the reference reads them.
        """
        print("Accumulating evaluation results...")
        tic = time.time()
        fresh_run = self._eval_imgs is None and self._run is not None
        if not fresh_run and not self.evalImgs:
            print("Please run evaluate() first")
        if p is None:
            p = self.params
        p.catIds = p.catIds if p.useCats == 1 else [-1]
        pe = self._paramsEval
        if fresh_run and _same_selection(p, pe) and _same_selection(p, self._run_params):
            assert self._run is not None
            precision, recall, scores = self._run["precision"], self._run["recall"], self._run["scores"]
        else:
            precision, recall, scores = self._accumulate_records(p, pe)
        T, R, A, M = len(p.iouThrs), len(p.recThrs), len(p.areaRng), len(p.maxDets)
        K = len(p.catIds) if p.useCats else 1
        self.eval = {
            "params": p,
            "counts": [T, R, K, A, M],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": precision,
            "recall": recall,
            "scores": scores,
        }
        print("DONE (t={:0.2f}s).".format(time.time() - tic))

    def _accumulate_records(self, p: Params, pe: Params) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The arrays from the records in `evalImgs`, laid out by `pe` and selected by `p`.

        As in the reference, the categories, area ranges, detection caps and
        images of `p` that `pe` lists are filled, positions in `p`'s lists
        address `pe`'s blocks of records, and the IoU thresholds are the
        records' rows.
        """
        T, R, A, M = len(p.iouThrs), len(p.recThrs), len(p.areaRng), len(p.maxDets)
        K = len(p.catIds) if p.useCats else 1
        precision = -np.ones((T, R, K, A, M))
        recall = -np.ones((T, K, A, M))
        scores = -np.ones((T, R, K, A, M))
        pe_cats = pe.catIds if pe.useCats else [-1]
        set_k, set_m, set_i = set(pe_cats), set(pe.maxDets), set(pe.imgIds)
        set_a = {tuple(a) for a in pe.areaRng}
        k_list = [n for n, k in enumerate(p.catIds) if k in set_k]
        m_list = [m for m in p.maxDets if m in set_m]
        a_list = [n for n, a in enumerate(p.areaRng) if tuple(a) in set_a]
        i_list = [n for n, i in enumerate(p.imgIds) if i in set_i]
        if not (k_list and m_list and a_list and i_list):
            return precision, recall, scores
        n_img, n_area = len(pe.imgIds), len(pe.areaRng)
        starts = [k0 * n_area * n_img + a0 * n_img for k0 in k_list for a0 in a_list]
        records = self.evalImgs
        if not isinstance(records, list):
            records = list(records)
        out = _tarnel.accumulate_eval_imgs(records, starts, i_list, len(a_list),
                                           [float(r) for r in p.recThrs], [int(m) for m in m_list])
        rows = out["recall"].shape[0]
        if rows > T and (out["recall"][T:] != -1).any():
            raise IndexError("index {} is out of bounds for axis 0 with size {}".format(T, T))
        rows = min(rows, T)
        nk, na, nm = len(k_list), len(a_list), len(m_list)
        precision[:rows, :, :nk, :na, :nm] = out["precision"][:rows]
        scores[:rows, :, :nk, :na, :nm] = out["scores"][:rows]
        recall[:rows, :nk, :na, :nm] = out["recall"][:rows]
        return precision, recall, scores

    def summarize(self) -> None:
        """Print the standard summary lines and fill `stats`."""
        if not self.eval:
            raise Exception("Please run accumulate() first")
        p = self.params
        if p.iouType not in IOU_TYPES:
            return
        stats = []
        # One line at a time, as the reference prints them.
        for entry, value in summarize_arrays(self.eval["precision"], self.eval["recall"], p.iouType,
                                             p.iouThrs, p.areaRngLbl, p.maxDets):
            print(format_summary_line(entry, value, p.iouThrs))
            stats.append(value)
        self.stats = np.array(stats, dtype=np.float64)

    def __str__(self) -> str:
        self.summarize()
        return ""


def _same_selection(p: Any, pe: Any) -> bool:
    """Whether accumulating with `p` reads exactly the blocks `evaluate()` produced."""
    if not isinstance(pe, Params):
        return False
    pe_cats = pe.catIds if pe.useCats else [-1]
    return (bool(p.useCats) == bool(pe.useCats)
            and _equal_lists(p.catIds, pe_cats)
            and _equal_lists(p.imgIds, pe.imgIds)
            and _equal_lists(p.maxDets, pe.maxDets)
            and [tuple(a) for a in p.areaRng] == [tuple(a) for a in pe.areaRng]
            and np.array_equal(np.asarray(p.iouThrs), np.asarray(pe.iouThrs))
            and np.array_equal(np.asarray(p.recThrs), np.asarray(pe.recThrs)))


def _equal_lists(a: Any, b: Any) -> bool:
    return len(a) == len(b) and all(x == y for x, y in zip(a, b))


def _store_has_id_0(coco: Any, store: Any, p: Params) -> bool:
    """Whether a store holds an annotation with id 0 on the evaluated images
    and categories, without building its annotations: results number theirs
    from 1; a dataset's ids come out of a box evaluation with no detections,
    which lists every ground truth it placed."""
    if not coco._store_keeps_file_ids():
        return False
    img_ids, cat_ids = [int(i) for i in p.imgIds], [int(c) for c in coco.cats]
    probe = _tarnel.Evaluator(store, [], {}, img_ids, cat_ids, [0.5], [0.0], [1], [[0.0, float("inf")]], True,
                              "bbox", [])
    return bool((probe.per_instance(0, 0, 1)[1]["gt_id"] == 0).any())


def _untouched_store(coco: Any) -> Any:
    """The compact store of a brandor `COCO` whose annotations no code has
    read yet, which the engine reads natively; None otherwise."""
    untouched = getattr(coco, "_untouched_store", None)
    return untouched() if callable(untouched) else None


def _untouched_annotations(coco: Any) -> list[dict[str, Any]] | None:
    """The result dicts a brandor `COCO` made itself and no code has read yet; None otherwise."""
    pending = getattr(coco, "_untouched_annotations", None)
    return pending() if callable(pending) else None


def _annotation_list(coco: Any) -> list[dict[str, Any]]:
    """The annotations the reference evaluates, in their order.

    The reference looks annotations up by id, so of several annotations that
    share an id it evaluates the last one, once per occurrence of the id.
    """
    own = _untouched_annotations(coco)
    if own is not None:
        return own  # results numbered 1, 2, ...: one per id
    anns: list[dict[str, Any]] = coco.dataset.get("annotations", [])
    index = getattr(coco, "anns", None)
    if index is not None and len(index) != len(anns):
        anns = [index[a["id"]] for a in anns]
    return anns


def _evaluated(anns: list[dict[str, Any]], p: Params) -> list[dict[str, Any]]:
    """The annotations of the evaluated images (and categories, unless pooled): those the
    reference prepares, in list order rather than its image order, which keeps each
    (image, category) group's order."""
    images = set(p.imgIds)
    if not p.useCats:
        return [a for a in anns if a["image_id"] in images]
    cats = set(p.catIds)
    return [a for a in anns if a["image_id"] in images and a["category_id"] in cats]


_IMMUTABLE_SCALARS = (int, float, str, bytes, np.number, np.bool_)


def copy_params(p: Any) -> Any:
    """A deep copy of parameters. Lists of plain scalars (the image and category
    ids, thousands of NumPy integers after evaluate()) are copied as new lists
    of the same scalars, which cannot change; everything else is deep-copied."""
    attrs = getattr(p, "__dict__", None)
    if attrs is None:
        return copy.deepcopy(p)
    q = copy.copy(p)
    for name, value in attrs.items():
        if type(value) is list and all(isinstance(v, _IMMUTABLE_SCALARS) for v in value):
            setattr(q, name, list(value))
        else:
            setattr(q, name, copy.deepcopy(value))
    return q


def unique_ids(ids: Any) -> list[Any]:
    """`list(np.unique(ids))`: the sorted distinct ids as NumPy scalars.

    A one-dimensional integer array is sorted and deduplicated here, which
    gives np.unique's values and types without the import of numpy.ma that
    np.unique costs on its first call; anything else goes to np.unique."""
    arr = np.asarray(ids)
    if arr.ndim != 1 or arr.dtype.kind not in "iu":
        return list(np.unique(arr))
    arr = np.sort(arr)
    keep = np.empty(arr.shape, dtype=bool)
    keep[:1] = True
    np.not_equal(arr[1:], arr[:-1], out=keep[1:])
    return list(arr[keep])


def _all_ints(ids: Sequence[Any]) -> bool:
    return all(isinstance(i, (int, np.integer)) for i in ids)


def _renumbered(anns: list[dict[str, Any]], image_positions: dict[Any, int] | None,
                category_slots: dict[Any, list[int]] | None) -> list[dict[str, Any]]:
    """Copies of the annotations with image ids replaced by their positions and
    category ids by their slots, one copy per slot; other categories are left out."""
    out = []
    for ann in anns:
        renumbered = dict(ann)
        if image_positions is not None:
            renumbered["image_id"] = image_positions.get(ann["image_id"], -1)
        if category_slots is None:
            out.append(renumbered)
            continue
        for slot in category_slots.get(ann.get("category_id"), ()):
            occurrence = dict(renumbered)
            occurrence["category_id"] = slot
            out.append(occurrence)
    return out
