"""The evaluation result as data, and the formatters that present it.

`EvalResult` holds what one evaluation produced: its parameters, the
precision, recall and score arrays, the categories with their ground-truth
and detection counts, and the phase timings. Everything else (the summary
statistics, the per-category rows, selections) is derived from those arrays
through the native `summary_values`, and the printed forms (the reference's
twelve summary lines, the per-category table, the comparison of two results)
are plain functions over that data. `COCOeval.summarize()` prints through the
same summary functions, so both give the reference's lines byte for byte.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Iterator, Sequence

import numpy as np

from . import _tarnel

DETECTION_KINDS = ("bbox", "segm", "boundary")
IOU_TYPES = DETECTION_KINDS + ("keypoints",)
_FORMAT_NAME = "brandor.EvalResult"
_FORMAT_VERSION = 1


# ---------------------------------------------------------------- summary

@dataclass(frozen=True)
class SummaryEntry:
    """One summary statistic: what it averages and what it is called."""

    name: str
    ap: bool
    iou_thr: float | None = None
    area: str = "all"
    max_dets: int = 100


def summary_entries(iou_type: str, max_dets: Sequence[int]) -> Iterator[SummaryEntry]:
    """The reference's summary statistics for `iou_type`, in its order.

    A generator on purpose: the reference reads the third detection cap only
    after printing the first line, so with fewer caps it fails at the same
    point.
    """
    if iou_type in DETECTION_KINDS:
        yield SummaryEntry("AP", True)
        md = max_dets
        yield SummaryEntry("AP50", True, 0.5, max_dets=md[2])
        yield SummaryEntry("AP75", True, 0.75, max_dets=md[2])
        yield SummaryEntry("APs", True, area="small", max_dets=md[2])
        yield SummaryEntry("APm", True, area="medium", max_dets=md[2])
        yield SummaryEntry("APl", True, area="large", max_dets=md[2])
        yield SummaryEntry(f"AR{md[0]}", False, max_dets=md[0])
        yield SummaryEntry(f"AR{md[1]}", False, max_dets=md[1])
        yield SummaryEntry(f"AR{md[2]}", False, max_dets=md[2])
        yield SummaryEntry("ARs", False, area="small", max_dets=md[2])
        yield SummaryEntry("ARm", False, area="medium", max_dets=md[2])
        yield SummaryEntry("ARl", False, area="large", max_dets=md[2])
    elif iou_type == "keypoints":
        for ap, prefix in ((True, "AP"), (False, "AR")):
            yield SummaryEntry(prefix, ap, max_dets=20)
            yield SummaryEntry(prefix + "50", ap, 0.5, max_dets=20)
            yield SummaryEntry(prefix + "75", ap, 0.75, max_dets=20)
            yield SummaryEntry(prefix + "m", ap, area="medium", max_dets=20)
            yield SummaryEntry(prefix + "l", ap, area="large", max_dets=20)


def summary_value(precision: np.ndarray, recall: np.ndarray, iou_thrs: Any, area_labels: Sequence[str],
                  max_dets: Sequence[int], entry: SummaryEntry) -> float:
    """The mean of the entries above -1 that `entry` selects, or -1 when there are none.

    Areas and caps are found by label and value, as the reference finds them.
    """
    aind = [i for i, lbl in enumerate(area_labels) if lbl == entry.area]
    mind = [i for i, m in enumerate(max_dets) if m == entry.max_dets]
    array = precision if entry.ap else recall
    if entry.iou_thr is None:
        thresholds: Sequence[int] = range(array.shape[0])
    else:
        # As the reference compares: a list of thresholds equals no number.
        thresholds = np.where(entry.iou_thr == iou_thrs)[0].tolist()
    if len(aind) == 1 and len(mind) == 1 and aind[0] < array.shape[-2] and mind[0] < array.shape[-1]:
        cat_axis = array.ndim - 3
        values = _tarnel.summary_values(array, thresholds, range(array.shape[cat_axis]), aind[0], mind[0])
    else:
        # Several areas or caps carry the same label, or a label has no area
        # range: select as NumPy's paired fancy indexing does, and fail where
        # it fails.
        s = array[list(thresholds)]
        s = s[:, :, :, aind, mind] if array.ndim == 5 else s[:, :, aind, mind]
        values = s[s > -1]
    if len(values) == 0:
        return -1
    return np.mean(values)


def format_summary_line(entry: SummaryEntry, value: float, iou_thrs: Any) -> str:
    """The reference's printed line for one statistic."""
    title = "Average Precision" if entry.ap else "Average Recall"
    kind = "(AP)" if entry.ap else "(AR)"
    if entry.iou_thr is None:
        iou = "{:0.2f}:{:0.2f}".format(iou_thrs[0], iou_thrs[-1])
    else:
        iou = "{:0.2f}".format(entry.iou_thr)
    return " {:<18} {} @[ IoU={:<9} | area={:>6s} | maxDets={:>3d} ] = {:0.3f}".format(
        title, kind, iou, entry.area, entry.max_dets, value)


def summarize_arrays(precision: np.ndarray, recall: np.ndarray, iou_type: str, iou_thrs: Any,
                     area_labels: Sequence[str], max_dets: Sequence[int]) -> Iterator[tuple[SummaryEntry, float]]:
    """Each summary statistic with its value, computed one at a time."""
    for entry in summary_entries(iou_type, max_dets):
        yield entry, summary_value(precision, recall, iou_thrs, area_labels, max_dets, entry)


# ---------------------------------------------------------------- parameters

# Equality is left to identity: the fields hold NumPy arrays.
@dataclass(frozen=True, eq=False)
class EvalParams:
    """The parameters an evaluation ran with, after the reference's normalisation."""

    img_ids: list[Any]
    cat_ids: list[Any]
    iou_thrs: np.ndarray
    rec_thrs: np.ndarray
    max_dets: list[int]
    area_rng: list[list[float]]
    area_labels: list[str]
    use_cats: bool
    kpt_sigmas: list[float] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        return {
            "img_ids": list(self.img_ids),
            "cat_ids": list(self.cat_ids),
            "iou_thrs": [float(t) for t in self.iou_thrs],
            "rec_thrs": [float(r) for r in self.rec_thrs],
            "max_dets": [int(m) for m in self.max_dets],
            "area_rng": [[float(lo), float(hi)] for lo, hi in self.area_rng],
            "area_labels": list(self.area_labels),
            "use_cats": bool(self.use_cats),
            "kpt_sigmas": [float(s) for s in self.kpt_sigmas],
        }

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> "EvalParams":
        return cls(
            img_ids=list(d["img_ids"]),
            cat_ids=list(d["cat_ids"]),
            iou_thrs=np.asarray(d["iou_thrs"], dtype=np.float64),
            rec_thrs=np.asarray(d["rec_thrs"], dtype=np.float64),
            max_dets=[int(m) for m in d["max_dets"]],
            area_rng=[[float(lo), float(hi)] for lo, hi in d["area_rng"]],
            area_labels=list(d["area_labels"]),
            use_cats=bool(d["use_cats"]),
            kpt_sigmas=[float(s) for s in d.get("kpt_sigmas", [])],
        )


# ---------------------------------------------------------------- selection

@dataclass(frozen=True, eq=False)
class Selection:
    """A slice of the result arrays along named axes.

    `precision` and `scores` have axes (IoU threshold, recall threshold,
    category), `recall` (IoU threshold, category); -1 marks entries without
    ground truth. `ap` and `ar` are the means of the entries above -1, as the
    summary computes them (-1 when there are none).
    """

    iou_thrs: np.ndarray
    rec_thrs: np.ndarray
    cat_ids: list[Any]
    precision: np.ndarray
    recall: np.ndarray
    scores: np.ndarray
    ap: float
    ar: float


def mean_curve(precision: np.ndarray) -> np.ndarray:
    """Precision per recall threshold averaged over the last axis (categories), skipping -1 entries.

    A recall threshold where no category has a value gives NaN (a gap when plotted).
    """
    valid = precision > -1
    n = valid.sum(axis=-1)
    total = np.where(valid, precision, 0.0).sum(axis=-1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(n > 0, total / np.maximum(n, 1), np.nan)


def _mean_above_minus_one(values: np.ndarray) -> float:
    return float(np.mean(values)) if len(values) else -1.0


# ---------------------------------------------------------------- the result

@dataclass(eq=False)
class EvalResult:
    """The outcome of one evaluation: parameters, arrays, categories, counts and timings.

    `precision` and `scores` have axes (T, R, K, A, M) and `recall` (T, K, A, M):
    IoU thresholds, recall thresholds, categories, area ranges, detection caps.
    `categories` holds one dict (id, name, supercategory) per category slot;
    with `use_cats` off there is one pooled slot with id -1. `num_gt` counts the
    ground truths per slot that take part in recall (not crowds; for keypoints
    only those with labelled keypoints), `num_dt` the detections per slot, on
    the evaluated images.
    """

    iou_type: str
    params: EvalParams
    precision: np.ndarray
    recall: np.ndarray
    scores: np.ndarray
    categories: list[dict[str, Any]]
    num_gt: list[int]
    num_dt: list[int]
    timings: dict[str, Any] = field(default_factory=dict)

    # -- derived values

    def summary(self) -> list[tuple[SummaryEntry, float]]:
        p = self.params
        return list(summarize_arrays(self.precision, self.recall, self.iou_type, p.iou_thrs,
                                     p.area_labels, p.max_dets))

    @cached_property
    def stats(self) -> dict[str, float]:
        """The summary statistics by name, in the reference's order (AP, AP50, ... ARl)."""
        return {entry.name: float(value) for entry, value in self.summary()}

    def summary_lines(self) -> list[str]:
        """The reference's printed summary lines."""
        return [format_summary_line(entry, value, self.params.iou_thrs) for entry, value in self.summary()]

    def select(self, iou: float | None = None, area: str = "all", max_dets: int | None = None,
               category: Any = None) -> Selection:
        """The arrays at one area range and detection cap, for one IoU threshold or all, one category or all.

        `iou` is a threshold value (None: all thresholds), `area` an area
        label, `max_dets` a cap value (None: the largest, 100 by default and
        20 for keypoints), `category` a category id (None: all categories).
        """
        p = self.params
        if iou is None:
            t_pos = list(range(len(p.iou_thrs)))
        else:
            t_pos = np.nonzero(np.asarray(p.iou_thrs) == iou)[0].tolist()
            if not t_pos:
                raise ValueError(f"no IoU threshold {iou} among {[float(t) for t in p.iou_thrs]}")
        if area not in p.area_labels:
            raise ValueError(f"no area range labelled {area!r} among {p.area_labels}")
        a_pos = p.area_labels.index(area)
        if max_dets is None:
            m_pos = len(p.max_dets) - 1
        elif max_dets in p.max_dets:
            m_pos = p.max_dets.index(max_dets)
        else:
            raise ValueError(f"no detection cap {max_dets} among {p.max_dets}")
        slot_ids = [c["id"] for c in self.categories]
        if category is None:
            k_pos = list(range(len(slot_ids)))
        elif category in slot_ids:
            k_pos = [slot_ids.index(category)]
        else:
            raise ValueError(f"no category {category!r} among the evaluated categories")
        return self._select(t_pos, a_pos, m_pos, k_pos)

    def _select(self, t_pos: list[int], a_pos: int, m_pos: int, k_pos: list[int]) -> Selection:
        ix = np.ix_(t_pos, range(self.precision.shape[1]), k_pos)
        return Selection(
            iou_thrs=self.params.iou_thrs[t_pos],
            rec_thrs=self.params.rec_thrs,
            cat_ids=[self.categories[k]["id"] for k in k_pos],
            precision=self.precision[..., a_pos, m_pos][ix],
            recall=self.recall[..., a_pos, m_pos][np.ix_(t_pos, k_pos)],
            scores=self.scores[..., a_pos, m_pos][ix],
            ap=_mean_above_minus_one(_tarnel.summary_values(self.precision, t_pos, k_pos, a_pos, m_pos)),
            ar=_mean_above_minus_one(_tarnel.summary_values(self.recall, t_pos, k_pos, a_pos, m_pos)),
        )

    def per_category(self) -> list[dict[str, Any]]:
        """One row per category: id, name, AP, AP50, AP75, AP per area, AR, ground truths, detections.

        AP averages the entries above -1 over all thresholds and recall
        points at the first area range and the largest detection cap, as the
        usual framework code does with `precision[:, :, k, 0, -1]`; AP50 and
        AP75 keep one threshold, APs/APm/APl use the small/medium/large area
        ranges where the parameters have them. The AR column is named after
        the largest cap (AR100 by default). -1 means no ground truth.
        """
        p = self.params
        m_pos = len(p.max_dets) - 1
        all_t = list(range(len(p.iou_thrs)))
        columns: list[tuple[str, list[int], int]] = [("AP", all_t, 0)]
        for name, thr in (("AP50", 0.5), ("AP75", 0.75)):
            columns.append((name, np.nonzero(np.asarray(p.iou_thrs) == thr)[0].tolist(), 0))
        for name, label in (("APs", "small"), ("APm", "medium"), ("APl", "large")):
            if label in p.area_labels:
                columns.append((name, all_t, p.area_labels.index(label)))
        rows = []
        for k, cat in enumerate(self.categories):
            row: dict[str, Any] = {"category_id": cat["id"], "name": cat["name"]}
            for name, t_pos, a_pos in columns:
                values = _tarnel.summary_values(self.precision, t_pos, [k], a_pos, m_pos)
                row[name] = _mean_above_minus_one(values)
            row[f"AR{p.max_dets[-1]}"] = _mean_above_minus_one(
                _tarnel.summary_values(self.recall, all_t, [k], 0, m_pos))
            row["num_gt"] = self.num_gt[k]
            row["num_dt"] = self.num_dt[k]
            rows.append(row)
        return rows

    # -- serialisation

    def to_dict(self, arrays: bool = True) -> dict[str, Any]:
        """A JSON-ready document; with `arrays`, complete enough for `from_dict`."""
        doc: dict[str, Any] = {
            "format": _FORMAT_NAME,
            "version": _FORMAT_VERSION,
            "iou_type": self.iou_type,
            "params": self.params.to_dict(),
            "stats": dict(self.stats),
            "per_category": self.per_category(),
            "categories": [dict(c) for c in self.categories],
            "num_gt": list(self.num_gt),
            "num_dt": list(self.num_dt),
            "timings": dict(self.timings),
        }
        if arrays:
            doc["precision"] = self.precision.tolist()
            doc["recall"] = self.recall.tolist()
            doc["scores"] = self.scores.tolist()
        return doc

    def to_json(self, arrays: bool = True, indent: int | None = None) -> str:
        return json.dumps(self.to_dict(arrays), indent=indent)

    @classmethod
    def from_dict(cls, doc: dict[str, Any]) -> "EvalResult":
        if doc.get("format") != _FORMAT_NAME:
            raise ValueError(f"not a {_FORMAT_NAME} document")
        if "precision" not in doc:
            raise ValueError("the document was written without its arrays")
        params = EvalParams.from_dict(doc["params"])
        return cls(
            iou_type=doc["iou_type"],
            params=params,
            precision=_array(doc["precision"], 5),
            recall=_array(doc["recall"], 4),
            scores=_array(doc["scores"], 5),
            categories=[dict(c) for c in doc["categories"]],
            num_gt=[int(n) for n in doc["num_gt"]],
            num_dt=[int(n) for n in doc["num_dt"]],
            timings=dict(doc.get("timings", {})),
        )

    @classmethod
    def from_json(cls, text: str) -> "EvalResult":
        return cls.from_dict(json.loads(text))

    # -- presentation

    def plot_pr(self, out: Any = None, **kwargs: Any) -> Any:
        """PR curves (see `brandor.plot.plot_pr`); needs the `plot` extra."""
        from .plot import plot_pr
        return plot_pr(self, out, **kwargs)


def _array(nested: Any, ndim: int) -> np.ndarray:
    a = np.array(nested, dtype=np.float64)
    if a.ndim != ndim:
        # An axis of length zero flattens the nested lists; nothing to restore then.
        raise ValueError(f"array with {ndim} axes expected, got {a.ndim}")
    return a


# ---------------------------------------------------------------- tables

def _fmt_value(v: Any) -> str:
    if isinstance(v, float):
        return "-" if v < 0 or math.isnan(v) else f"{v:.3f}"
    return str(v)


def format_table(header: Sequence[str], rows: Sequence[Sequence[Any]], left: int = 2) -> str:
    """Rows as aligned columns: the first `left` columns flush left, the rest flush right."""
    cells = [[str(h) for h in header]] + [[_fmt_value(v) for v in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    lines = []
    for r in cells:
        parts = [c.ljust(w) if i < left else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def format_per_category(result: EvalResult) -> str:
    """The per-category table: one aligned row per category; '-' where a category has no ground truth."""
    rows = result.per_category()
    if not rows:
        return "(no categories)"
    header = list(rows[0].keys())
    labels = {"category_id": "id", "num_gt": "GT", "num_dt": "dets"}
    return format_table([labels.get(h, h) for h in header], [list(r.values()) for r in rows])


def format_comparison(a: EvalResult, b: EvalResult, name_a: str = "A", name_b: str = "B") -> str:
    """Two results on the same ground truth side by side: the statistics, then the categories by AP difference.

    Categories are sorted by delta = AP(B) - AP(A), largest loss first; a
    category without ground truth has no delta and comes last.
    """
    stat_rows = []
    for name, va in a.stats.items():
        vb = b.stats.get(name, -1.0)
        stat_rows.append([name, va, vb, _signed(_delta(va, vb))])
    out = [format_table(["stat", name_a, name_b, "delta"], stat_rows, left=1)]
    rows_a = {r["category_id"]: r for r in a.per_category()}
    rows_b = {r["category_id"]: r for r in b.per_category()}
    cat_rows = []
    for cid, ra in rows_a.items():
        rb = rows_b.get(cid)
        if rb is None:
            continue
        cat_rows.append([cid, ra["name"], ra["AP"], rb["AP"], _delta(ra["AP"], rb["AP"])])
    # Stable sort: equal deltas keep the category order.
    cat_rows.sort(key=lambda r: (r[4] is None, r[4] or 0.0))
    out.append(format_table(["id", "name", f"AP {name_a}", f"AP {name_b}", "delta"],
                            [r[:4] + [_signed(r[4])] for r in cat_rows]))
    return "\n\n".join(out)


def _delta(va: float, vb: float) -> float | None:
    """B - A, or None when either side has no value (-1)."""
    if va < 0 or vb < 0:
        return None
    return float(vb) - float(va)


def _signed(delta: float | None) -> str:
    return "-" if delta is None else f"{delta:+.3f}"
