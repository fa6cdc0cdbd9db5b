"""`COCOeval`: pycocotools' evaluation interface over the native `Evaluator`.

`evaluate()` prepares image ids, category ids, thresholds, area ranges,
detection caps and sigmas exactly as pycocotools' `COCOeval` does and hands
them, with the annotation lists, to one `Evaluator`, which computes the
precision, recall and score arrays natively. `accumulate()` and
`summarize()` present them as the reference does, with the same printed
lines. Per-image records (`evalImgs`) are built only when read.
"""

from __future__ import annotations

import copy
import datetime
import time
from collections import defaultdict
from typing import Any

import numpy as np

from . import _tarnel
from .result import IOU_TYPES, format_summary_line, summarize_arrays

_EVAL_IMG_KEYS = ("image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds",
                  "dtMatches", "gtMatches", "dtScores", "gtIgnore", "dtIgnore")


class Params:
    """Evaluation parameters, with pycocotools' fields and defaults."""

    def setDetParams(self) -> None:
        self.imgIds: list[Any] = []
        self.catIds: list[Any] = []
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
    brandor `COCO` objects (or anything with `dataset`, `imgs`, `getImgIds()`
    and `getCatIds()`). Similarities are not kept: `ious` stays empty.
    """

    def __init__(self, cocoGt: Any = None, cocoDt: Any = None, iouType: str = "segm",
                 dilation_ratio: float = 0.02) -> None:
        if not iouType:
            print("iouType not specified. use default iouType segm")
        self.cocoGt = cocoGt
        self.cocoDt = cocoDt
        self._eval_imgs: Any = defaultdict(list)
        self.eval: dict[str, Any] = {}
        self._gts: defaultdict[Any, list[Any]] = defaultdict(list)
        self._dts: defaultdict[Any, list[Any]] = defaultdict(list)
        self.params = Params(iouType=iouType)
        self.dilation_ratio = float(dilation_ratio)
        self._paramsEval: Any = {}
        self.stats: Any = []
        self.ious: dict[Any, Any] = {}
        self._evaluator: Any = None
        self._run: dict[str, Any] | None = None
        if cocoGt is not None:
            self.params.imgIds = sorted(cocoGt.getImgIds())
            self.params.catIds = sorted(cocoGt.getCatIds())

    # Per-image records are expensive at scale, so the fast path does not
    # build them; the first read runs the evaluator once more to collect them.
    @property
    def evalImgs(self) -> Any:
        if self._eval_imgs is None:
            self._eval_imgs = self._collect_eval_imgs()
        return self._eval_imgs

    @evalImgs.setter
    def evalImgs(self, value: Any) -> None:
        self._eval_imgs = value

    def evaluate(self) -> None:
        """Evaluate every image and category; the arrays are ready for `accumulate()`."""
        tic = time.time()
        print("Running per image evaluation...")
        p = self.params
        if p.useSegm is not None:
            p.iouType = "segm" if p.useSegm == 1 else "bbox"
            print("useSegm (deprecated) is not None. Running {} evaluation".format(p.iouType))
        print("Evaluate annotation type *{}*".format(p.iouType))
        p.imgIds = list(np.unique(p.imgIds))
        if p.useCats:
            p.catIds = list(np.unique(p.catIds))
        p.maxDets = sorted(p.maxDets)
        self.params = p
        self._evaluator = None
        self._run = None
        self._eval_imgs = defaultdict(list)
        self.eval = {}
        self._evaluator = self._build_evaluator(p)
        self._run = self._evaluator.run()
        self._eval_imgs = None
        self._paramsEval = copy.deepcopy(self.params)
        print("DONE (t={:0.2f}s).".format(time.time() - tic))

    def _build_evaluator(self, p: Params, **overrides: Any) -> Any:
        cat_ids = [int(c) for c in p.catIds]
        repeats = not p.useCats and len(set(cat_ids)) != len(cat_ids)
        gts = _annotation_source(self.cocoGt, lists_only=repeats)
        dts = _annotation_source(self.cocoDt, lists_only=repeats)
        if repeats:
            # Pooled over a category list with repeats: the reference takes the
            # annotations of a repeated category once per occurrence, in list
            # order. Give each occurrence its own position.
            gts = _expand_repeated_categories(gts, cat_ids)
            dts = _expand_repeated_categories(dts, cat_ids)
            cat_ids = list(range(len(cat_ids)))
        args: dict[str, Any] = dict(
            img_ids=[int(i) for i in p.imgIds],
            cat_ids=cat_ids,
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
        args.update(overrides)
        img_sizes: dict[int, tuple[int, int]] = {}
        if args["iou_type"] in ("segm", "boundary"):
            img_sizes = {int(i): (int(img["height"]), int(img["width"])) for i, img in self.cocoGt.imgs.items()}
        return _tarnel.Evaluator(gts, dts, img_sizes, **args)

    def _collect_eval_imgs(self) -> list[dict[str, Any] | None]:
        """The reference's per-image records, in its order: category, area range, image."""
        assert self._evaluator is not None
        records = self._evaluator.run(collect_eval_imgs=True)["evalImgs"]
        p = self._paramsEval
        cat_ids = p.catIds if p.useCats else [-1]
        n_img, n_area = len(p.imgIds), len(p.areaRng)
        out: list[dict[str, Any] | None] = []
        for pos, rec in enumerate(records):
            if rec is None:
                out.append(None)
                continue
            k, rest = divmod(pos, n_area * n_img)
            a, i = divmod(rest, n_img)
            gt_ignore = rec["gtIgnore"]
            out.append({
                "image_id": p.imgIds[i],
                "category_id": cat_ids[k],
                "aRng": p.areaRng[a],
                "maxDet": rec["maxDet"],
                "dtIds": rec["dtIds"],
                "gtIds": rec["gtIds"],
                "dtMatches": rec["dtMatches"],
                "gtMatches": rec["gtMatches"],
                "dtScores": rec["dtScores"],
                # Integer flags as the reference keeps them; its empty array is float.
                "gtIgnore": gt_ignore.astype(np.int64) if len(gt_ignore) else np.array([]),
                "dtIgnore": rec["dtIgnore"].astype(bool),
            })
        return out

    def accumulate(self, p: Params | None = None) -> None:
        """Store the precision, recall and score arrays in `eval`."""
        print("Accumulating evaluation results...")
        tic = time.time()
        if not self._run:
            print("Please run evaluate() first")
        if p is None:
            p = self.params
        p.catIds = p.catIds if p.useCats == 1 else [-1]
        pe = self._paramsEval
        if _same_selection(p, pe):
            assert self._run is not None
            precision, recall, scores = self._run["precision"], self._run["recall"], self._run["scores"]
        else:
            precision, recall, scores = self._accumulate_other(p, pe)
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

    def _accumulate_other(self, p: Params, pe: Params) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Accumulate with parameters that differ from those of `evaluate()`.

        As in the reference, only the categories, area ranges, detection caps
        and images of `p` that were evaluated are filled, positions in `p`'s
        lists address the evaluated blocks, the evaluated IoU thresholds are
        kept and `p`'s recall thresholds are applied.
        """
        T, R, A, M = len(p.iouThrs), len(p.recThrs), len(p.areaRng), len(p.maxDets)
        K = len(p.catIds) if p.useCats else 1
        precision = -np.ones((T, R, K, A, M))
        recall = -np.ones((T, K, A, M))
        scores = -np.ones((T, R, K, A, M))
        pe_cats = pe.catIds if pe.useCats else [-1]
        set_k, set_m, set_i = set(pe_cats), set(pe.maxDets), set(pe.imgIds)
        set_a = set(map(tuple, pe.areaRng))
        k_list = [n for n, k in enumerate(p.catIds) if k in set_k]
        m_list = [m for m in p.maxDets if m in set_m]
        a_list = [n for n, a in enumerate(map(tuple, p.areaRng)) if a in set_a]
        i_list = [n for n, i in enumerate(p.imgIds) if i in set_i]
        if not (k_list and m_list and a_list and i_list):
            return precision, recall, scores
        if max(k_list) >= len(pe_cats) or max(a_list) >= len(pe.areaRng) or max(i_list) >= len(pe.imgIds):
            raise IndexError("list index out of range")
        if len(set(i_list)) != len(i_list) or len(set(k_list)) != len(k_list):
            raise ValueError("accumulate() with repeated image or category ids is not supported")
        T0 = len(pe.iouThrs)
        if T0 > T:
            raise IndexError("index {} is out of bounds for axis 0 with size {}".format(T, T))
        overrides: dict[str, Any] = dict(
            img_ids=[int(pe.imgIds[n]) for n in i_list],
            rec_thrs=[float(r) for r in p.recThrs],
            # The evaluated budget goes last: it bounds the ranked detections.
            max_dets=[int(m) for m in m_list] + [int(pe.maxDets[-1])],
            area_rng=[[float(lo), float(hi)] for lo, hi in (pe.areaRng[n] for n in a_list)],
        )
        if pe.useCats:
            overrides["cat_ids"] = [int(pe.catIds[n]) for n in k_list]
        out = self._build_evaluator(pe, **overrides).run()
        nk, na, nm = len(k_list), len(a_list), len(m_list)
        precision[:T0, :, :nk, :na, :nm] = out["precision"][..., :nm]
        scores[:T0, :, :nk, :na, :nm] = out["scores"][..., :nm]
        recall[:T0, :nk, :na, :nm] = out["recall"][..., :nm]
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


def _annotation_source(coco: Any, lists_only: bool = False) -> Any:
    """The compact store of a brandor `COCO` whose annotations no code has
    read yet, which the engine reads natively; otherwise the annotation list."""
    untouched = getattr(coco, "_untouched_store", None)
    store = untouched() if callable(untouched) and not lists_only else None
    return store if store is not None else _annotation_list(coco)


def _annotation_list(coco: Any) -> list[dict[str, Any]]:
    """The annotations the reference evaluates, in their order.

    The reference looks annotations up by id, so of several annotations that
    share an id it evaluates the last one, once per occurrence of the id.
    """
    anns = coco.dataset.get("annotations", [])
    index = getattr(coco, "anns", None)
    if index is not None and len(index) != len(anns):
        anns = [index[a["id"]] for a in anns]
    return anns


def _expand_repeated_categories(anns: list[dict[str, Any]], cat_ids: list[int]) -> list[dict[str, Any]]:
    """Copies of each annotation, one per occurrence of its category, with the occurrence as category."""
    where: dict[int, list[int]] = defaultdict(list)
    for pos, c in enumerate(cat_ids):
        where[c].append(pos)
    out = []
    for ann in anns:
        for pos in where.get(ann.get("category_id"), ()):
            copy_ = dict(ann)
            copy_["category_id"] = pos
            out.append(copy_)
    return out
