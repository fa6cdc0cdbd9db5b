"""The COCO error analysis: how AP grows as each kind of error is forgiven in turn.

For every category the detections are evaluated seven times, each step
forgiving more than the one before: C75 and C50 (plain evaluation at IoU .75
and .5), Loc (IoU .1, so poor localisation is forgiven but duplicates are not),
Sim (also forgiving confusions with a category of the same supercategory), Oth
(also forgiving confusions with any other category), BG (also removing the
detections on background) and FN (every error removed: precision 1). The exact
rule of each step is written down in docs/analysis.md. The results are then
averaged over all categories and over each supercategory, per area range.

Every step is one or more runs of the native `Evaluator`. A confusion is
forgiven by giving the category a copy of the other object that is ignored
(through the engine's ignore flags, keeping crowd semantics where they were):
a detection matched to an ignored object counts neither way.
"""

from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

from . import _tarnel
from .coco import _gc_paused
from .cocoeval import Params
from .result import format_table, mean_curve

STEPS = ["C75", "C50", "Loc", "Sim", "Oth", "BG", "FN"]
LOOSE_IOU = 0.1


@dataclass(eq=False)
class AnalysisGroup:
    """The analysis averaged over a set of categories: `aps` (step, area) and `curves` (step, recall, area)."""

    name: str
    cat_ids: list[Any]
    aps: np.ndarray
    curves: np.ndarray


@dataclass(eq=False)
class ErrorAnalysis:
    """Per-category precision of every step, (step, recall threshold, category, area), and its group averages."""

    iou_type: str
    steps: list[str]
    rec_thrs: np.ndarray
    area_labels: list[str]
    categories: list[dict[str, Any]]
    precision: np.ndarray
    groups: list[AnalysisGroup]

    def to_dict(self) -> dict[str, Any]:
        return {
            "iou_type": self.iou_type,
            "steps": list(self.steps),
            "rec_thrs": self.rec_thrs.tolist(),
            "area_labels": list(self.area_labels),
            "categories": [dict(c) for c in self.categories],
            "groups": [{"name": g.name, "cat_ids": list(g.cat_ids),
                        "ap": {area: dict(zip(self.steps, g.aps[:, a].tolist()))
                               for a, area in enumerate(self.area_labels)},
                        "curves": {area: dict(zip(self.steps, g.curves[:, :, a].tolist()))
                                   for a, area in enumerate(self.area_labels)}}
                       for g in self.groups],
        }


class _Runner:
    """Builds and runs Evaluators on one dataset with the standard parameters and one detection cap."""

    def __init__(self, gt: Any, iou_type: str, max_dets: int) -> None:
        p = Params(iou_type)
        self.iou_type = iou_type
        self.max_dets = max_dets
        self.img_ids = sorted(set(gt.getImgIds()))
        self.cat_ids = sorted(set(gt.getCatIds()))
        self.rec_thrs = np.asarray(p.recThrs, dtype=np.float64)
        self.area_rng = [[float(lo), float(hi)] for lo, hi in p.areaRng]
        self.area_labels = list(p.areaRngLbl)
        self.img_sizes = {}
        if iou_type == "segm":
            self.img_sizes = {int(i): (int(img["height"]), int(img["width"])) for i, img in gt.imgs.items()}

    def evaluator(self, gts: list[dict[str, Any]], dts: list[dict[str, Any]], iou_thrs: list[float],
                  ignored_copies: int | None = None, budget: int | None = None) -> Any:
        """An Evaluator with the cap first; with `ignored_copies`, the last that many ground truths are ignored.

        A `budget` above the cap makes the engine match that many detections
        per image and category (for `per_instance`); the cap's results stay
        those of matching only the first `max_dets`, as matching is greedy in
        rank order.
        """
        caps = [self.max_dets] + ([budget] if budget is not None and budget > self.max_dets else [])
        ev = _tarnel.Evaluator(
            gts, dts, self.img_sizes, img_ids=self.img_ids, cat_ids=self.cat_ids, iou_thrs=iou_thrs,
            rec_thrs=self.rec_thrs.tolist(), max_dets=caps, area_rng=self.area_rng, use_cats=True,
            iou_type=self.iou_type, kpt_sigmas=[])
        if ignored_copies is not None:
            n = len(gts) - ignored_copies
            flags = [bool(ann.get("iscrowd")) for ann in gts[:n]] + [True] * ignored_copies
            # Crowds keep their semantics; only the ignore flags change.
            ev.configure_lvis(flags, [], preserve_crowds=True)
        return ev

    def precision(self, ev: Any) -> np.ndarray:
        """Precision at the cap: (T, R, K, A)."""
        precision: np.ndarray = ev.run()["precision"][..., 0]
        return precision


def _confusion_copies(gts: list[dict[str, Any]], dts: list[dict[str, Any]], cat_ids: list[Any],
                      forgiven: Callable[[Any, Any], bool], boxes_bound_overlap: bool) -> list[dict[str, Any]]:
    """For each category c, copies relabelled c of the other objects whose confusion with c is forgiven.

    An ignored object that no detection of c can reach at IoU .1 changes
    nothing for c, so copies are made only on images where c has detections
    and, when the boxes bound the overlap (`bbox`), only of objects whose box
    overlaps the box of one of them. Copies get fresh ids.
    """
    position = {c: k for k, c in enumerate(cat_ids)}
    dets_by_image: dict[Any, list[dict[str, Any]]] = defaultdict(list)
    for det in dts:
        if det["category_id"] in position:
            dets_by_image[det["image_id"]].append(det)
    gts_by_image: dict[Any, list[dict[str, Any]]] = defaultdict(list)
    for ann in gts:
        gts_by_image[ann["image_id"]].append(ann)
    next_id = max((ann["id"] for ann in gts if isinstance(ann["id"], int)), default=0) + 1
    copies = []
    for img, img_dets in dets_by_image.items():
        objects = gts_by_image.get(img)
        if not objects:
            continue
        det_pos = np.array([position[d["category_id"]] for d in img_dets], dtype=np.intp)
        if boxes_bound_overlap:
            reach = _boxes_overlap(np.array([d["bbox"] for d in img_dets], dtype=np.float64).reshape(-1, 4),
                                   np.array([o["bbox"] for o in objects], dtype=np.float64).reshape(-1, 4))
        else:
            reach = np.ones((len(img_dets), len(objects)), dtype=bool)
        # Category position by object: reached by a detection of that category.
        reached = np.zeros((len(cat_ids), len(objects)), dtype=bool)
        np.logical_or.at(reached, det_pos, reach)
        for k, j in np.argwhere(reached).tolist():
            c, ann = cat_ids[k], objects[j]
            other = ann["category_id"]
            if other != c and forgiven(c, other):
                copies.append({**ann, "id": next_id, "category_id": c})
                next_id += 1
    return copies


def _boxes_overlap(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Whether each box of `a` ([x, y, w, h] rows) shares a positive area with each box of `b`."""
    w = np.minimum(a[:, None, 0] + a[:, None, 2], b[None, :, 0] + b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
    h = np.minimum(a[:, None, 1] + a[:, None, 3], b[None, :, 1] + b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
    overlaps: np.ndarray = (w > 0) & (h > 0)
    return overlaps


def analyze(gt: Any, dt: Any, iou_type: str = "bbox", max_dets: int = 100) -> ErrorAnalysis:
    """The error analysis of `dt` on `gt` (brandor or pycocotools `COCO` objects; `dt` from `loadRes`)."""
    if iou_type not in ("bbox", "segm"):
        raise ValueError(f"the error analysis covers bbox and segm, not {iou_type}")
    # The confusion copies are many small acyclic dicts: collecting while they
    # are built would only walk them again and again.
    with _gc_paused():
        return _analyze(gt, dt, iou_type, max_dets)


def _analyze(gt: Any, dt: Any, iou_type: str, max_dets: int) -> ErrorAnalysis:
    run = _Runner(gt, iou_type, max_dets)
    gts = list(gt.dataset.get("annotations", []))
    dts = list(dt.dataset.get("annotations", []))
    cats = [gt.cats[c] for c in run.cat_ids]
    supercategory = {c["id"]: c.get("supercategory") for c in cats}

    strict = run.precision(run.evaluator(gts, dts, [0.75, 0.5, LOOSE_IOU]))
    steps = [strict[0], strict[1], strict[2]]

    boxes = iou_type == "bbox"
    sim = _confusion_copies(gts, dts, run.cat_ids, lambda c, o: supercategory.get(c) is not None
                            and supercategory.get(c) == supercategory.get(o), boxes)
    steps.append(run.precision(run.evaluator(gts + sim, dts, [LOOSE_IOU], len(sim)))[0])

    oth = _confusion_copies(gts, dts, run.cat_ids, lambda c, o: True, boxes)
    gts_oth = gts + oth
    # Matching every detection (no cap) lets the same evaluator find the background false positives.
    oth_ev = run.evaluator(gts_oth, dts, [LOOSE_IOU], len(oth), budget=len(dts))
    steps.append(run.precision(oth_ev)[0])
    steps.append(_background_removed(run, oth_ev, gts_oth, len(oth), dts))
    # FN: every error forgiven, precision 1 wherever the category has ground truth.
    steps.append(np.where(strict[0] > -1, 1.0, -1.0))

    precision = np.stack(steps)
    categories = [{"id": c["id"], "name": str(c.get("name", c["id"])),
                   "supercategory": c.get("supercategory")} for c in cats]
    return ErrorAnalysis(iou_type=iou_type, steps=list(STEPS), rec_thrs=run.rec_thrs, area_labels=run.area_labels,
                         categories=categories, precision=precision, groups=_groups(precision, categories))


def _background_removed(run: _Runner, oth_ev: Any, gts: list[dict[str, Any]], n_copies: int,
                        dts: list[dict[str, Any]]) -> np.ndarray:
    """BG: per area range, drop the detections that stay false positives under Oth's rules, and evaluate again.

    The false positives are found among all detections (`oth_ev` matches
    them all), so detections below the cap that move up take part as they
    would with the background detections gone.
    """
    budget = max(len(dts), 1)
    out = np.empty((len(run.rec_thrs), len(run.cat_ids), len(run.area_rng)))
    done: dict[frozenset[Any], np.ndarray] = {}
    for a in range(len(run.area_rng)):
        det, _ = oth_ev.per_instance(0, a, budget)
        background = frozenset(det["dt_id"][(det["gt_id"] == -1) & ~det["ignore"]].tolist())
        if background not in done:
            kept = [d for d in dts if d["id"] not in background]
            done[background] = run.precision(run.evaluator(gts, kept, [LOOSE_IOU], n_copies))[0]
        out[:, :, a] = done[background][:, :, a]
    return out


def _groups(precision: np.ndarray, categories: list[dict[str, Any]]) -> list[AnalysisGroup]:
    """All categories, then each supercategory in order of first appearance."""
    members: dict[str, list[int]] = {}
    for k, cat in enumerate(categories):
        name = cat["supercategory"] if cat["supercategory"] is not None else "(no supercategory)"
        members.setdefault(str(name), []).append(k)
    groups = [("all", list(range(len(categories))))] + list(members.items())
    # Steps in the place of thresholds and one cap, as summary_values reads them.
    p5 = precision[..., None]
    out = []
    for name, ks in groups:
        n_steps, _, _, n_areas = precision.shape
        aps = np.empty((n_steps, n_areas))
        for s in range(n_steps):
            for a in range(n_areas):
                values = _tarnel.summary_values(p5, [s], ks, a, 0)
                aps[s, a] = np.mean(values) if len(values) else -1.0
        curves = mean_curve(np.moveaxis(precision[:, :, ks, :], 2, -1))
        out.append(AnalysisGroup(name=name, cat_ids=[categories[k]["id"] for k in ks], aps=aps, curves=curves))
    return out


def format_analysis(analysis: ErrorAnalysis) -> str:
    """AP of every step, one row per group and area range."""
    rows = [[g.name, area, *g.aps[:, a].tolist()] for g in analysis.groups
            for a, area in enumerate(analysis.area_labels)]
    return format_table(["group", "area", *analysis.steps], rows)
