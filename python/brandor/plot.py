"""Plots with matplotlib (the `plot` extra), imported only when drawing: PR curves and the
error-analysis charts of evaluation results, and `COCO.showAnns`' drawing of annotations.

Figures are drawn on matplotlib's Agg canvas without pyplot, so plotting
neither changes nor depends on the caller's pyplot state and backend. Every
figure is 8 × 6 inches at 100 dpi: written out, an 800 × 600 PNG.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np

from . import mask as maskUtils
from .result import EvalResult, mean_curve

FIGSIZE = (8.0, 6.0)
DPI = 100
INSTALL_HINT = "plotting needs matplotlib: pip install 'brandor[plot]'"


class PlotExtraMissing(ImportError):
    """matplotlib cannot be imported; the message names the `plot` extra."""


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise PlotExtraMissing(INSTALL_HINT) from None


def _figure() -> Any:
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=FIGSIZE, dpi=DPI)
    FigureCanvasAgg(fig)
    return fig


def _save(fig: Any, out: Any) -> None:
    if out is not None:
        fig.savefig(os.fspath(out) if isinstance(out, (str, os.PathLike)) else out, dpi=DPI, format="png")


def plot_pr(result: EvalResult, out: Any = None, *, iou: float | None = None, area: str = "all",
            max_dets: int | None = None, category: Any = None, title: str | None = None) -> Any:
    """PR curves, one per IoU threshold (or only `iou`), at one area range and cap, for all categories or one.

    With all categories, a curve is the mean precision over the categories
    that have ground truth. The legend gives each curve's AP. Returns the
    matplotlib Figure; with `out` (a path or file) also writes it as PNG.
    """
    fig = _figure()
    ax = fig.add_subplot(1, 1, 1)
    sel = result.select(iou=iou, area=area, max_dets=max_dets, category=category)
    p = result.params
    cap = max_dets if max_dets is not None else p.max_dets[-1]
    colors = _colors(len(sel.iou_thrs))
    for i, thr in enumerate(sel.iou_thrs):
        one = result.select(iou=float(thr), area=area, max_dets=max_dets, category=category)
        ax.plot(sel.rec_thrs, mean_curve(sel.precision[i]), color=colors[i], linewidth=1.5,
                label=f"IoU={thr:.2f}  [AP {max(one.ap, 0.0):.3f}]")
    if category is None:
        which = "all categories" if p.use_cats else "categories pooled"
    else:
        which = next(c["name"] for c in result.categories if c["id"] == category)
    ax.set_title(title or f"{result.iou_type} PR curves: {which}, area {area}, maxDets {cap}  (AP {max(sel.ap, 0.0):.3f})")
    _pr_axes(ax)
    ax.legend(loc="upper right", fontsize=8)
    _save(fig, out)
    return fig


def _pr_axes(ax: Any) -> None:
    ax.set_xlabel("recall")
    ax.set_ylabel("precision")
    ax.set_xlim(0.0, 1.0)
    ax.set_ylim(0.0, 1.01)
    ax.grid(True, linewidth=0.4, alpha=0.5)


def _colors(n: int) -> list[Any]:
    from matplotlib import colormaps
    cmap = colormaps["viridis"]
    return [cmap(x) for x in np.linspace(0.0, 0.9, max(n, 1))]


# Fill colours of the analysis steps, from the strictest (C75) to FN.
_STEP_COLORS = ["#e8e8e8", "#34495e", "#3498db", "#2ecc71", "#f1c40f", "#e67e22", "#e74c3c"]


def plot_analysis_curves(steps: list[str], rec_thrs: np.ndarray, curves: np.ndarray, aps: list[float],
                         title: str, out: Any = None) -> Any:
    """The stacked-area chart of the error analysis: each step's PR curve, filled down to the previous one.

    `curves` has one row of precision per recall threshold for each step, in
    the order of `steps`; the legend gives each step's AP.
    """
    fig = _figure()
    ax = fig.add_subplot(1, 1, 1)
    below = np.zeros(len(rec_thrs))
    handles = []
    for i, (name, curve, ap) in enumerate(zip(steps, curves, aps)):
        y = np.nan_to_num(curve, nan=0.0)
        handles.append(ax.fill_between(rec_thrs, below, y, where=y >= below, interpolate=True,
                                       facecolor=_STEP_COLORS[i % len(_STEP_COLORS)], edgecolor="black",
                                       linewidth=0.4, label=f"[{max(ap, 0.0):.3f}] {name}"))
        below = np.maximum(below, y)
    ax.set_title(title)
    _pr_axes(ax)
    # The legend lists the steps top down, as the areas are stacked.
    ax.legend(handles[::-1], [h.get_label() for h in handles[::-1]], loc="lower left", fontsize=9)
    _save(fig, out)
    return fig


def plot_analysis(analysis: Any, out_dir: str | os.PathLike[str]) -> list[Path]:
    """One stacked-area chart per group (all categories, each supercategory) and area range, as PNG files."""
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    paths = []
    for group in analysis.groups:
        for a, area in enumerate(analysis.area_labels):
            path = out / f"{_file_name(group.name)}-{area}.png"
            curves = group.curves[:, :, a]
            title = f"{analysis.iou_type} error analysis: {group.name}, area {area}"
            plot_analysis_curves(analysis.steps, analysis.rec_thrs, curves, list(group.aps[:, a]), title, path)
            paths.append(path)
    return paths


def _file_name(name: str) -> str:
    keep = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
    return keep or "_"


def _pyplot() -> Any:
    # showAnns draws on pyplot's current axes, as the reference's does.
    try:
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError as exc:
        raise PlotExtraMissing("COCO.showAnns needs matplotlib, which is not installed: "
                               "pip install 'brandor[plot]'") from exc
    return plt


def show_instances(coco: Any, anns: list[dict[str, Any]], draw_bbox: bool) -> None:
    """Draw segmentations, keypoints and (optionally) boxes on the current axes, as pycocotools does.

    Polygons and boxes become translucent filled patches, masks translucent
    coloured images (crowds in one fixed colour), keypoints dots joined by
    their category's skeleton. Colours are random.
    """
    plt = _pyplot()
    from matplotlib.collections import PatchCollection  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.patches import Polygon  # type: ignore[import-not-found, unused-ignore]

    ax = plt.gca()
    ax.set_autoscale_on(False)
    polygons: list[Any] = []
    colors: list[Any] = []
    for ann in anns:
        c = (np.random.random((1, 3)) * 0.6 + 0.4).tolist()[0]
        if "segmentation" in ann:
            seg = ann["segmentation"]
            if type(seg) == list:
                for ring in seg:
                    polygons.append(Polygon(np.array(ring).reshape((int(len(ring) / 2), 2))))
                    colors.append(c)
            else:
                ax.imshow(_mask_image(coco, ann))
        if "keypoints" in ann and type(ann["keypoints"]) == list:
            _draw_keypoints(plt, coco, ann, c)
        if draw_bbox:
            x, y, w, h = ann["bbox"]
            corners = [[x, y], [x, y + h], [x + w, y + h], [x + w, y]]
            polygons.append(Polygon(np.array(corners).reshape((4, 2))))
            colors.append(c)
    ax.add_collection(PatchCollection(polygons, facecolor=colors, linewidths=0, alpha=0.4))
    ax.add_collection(PatchCollection(polygons, facecolor="none", edgecolors=colors, linewidths=2))


def _mask_image(coco: Any, ann: dict[str, Any]) -> np.ndarray:
    """An RGBA image of the annotation's mask: its colour, half opaque where set."""
    seg = ann["segmentation"]
    img_info = coco.imgs[ann["image_id"]]
    if type(seg["counts"]) == list:
        rles = maskUtils.frPyObjects([seg], img_info["height"], img_info["width"])
    else:
        rles = [seg]
    m = maskUtils.decode(rles)
    img = np.ones((m.shape[0], m.shape[1], 3))
    if ann["iscrowd"] == 1:
        color_mask = np.array([2.0, 166.0, 101.0]) / 255
    if ann["iscrowd"] == 0:
        color_mask = np.random.random((1, 3)).tolist()[0]
    for i in range(3):
        img[:, :, i] = color_mask[i]
    return np.dstack((img, m * 0.5))


def _draw_keypoints(plt: Any, coco: Any, ann: dict[str, Any], c: list[float]) -> None:
    bones = np.array(coco.loadCats(ann["category_id"])[0]["skeleton"]) - 1  # one-based in the dataset
    kp = np.array(ann["keypoints"])
    x, y, v = kp[0::3], kp[1::3], kp[2::3]
    for bone in bones:
        if np.all(v[bone] > 0):
            plt.plot(x[bone], y[bone], linewidth=3, color=c)
    plt.plot(x[v > 0], y[v > 0], "o", markersize=8, markerfacecolor=c, markeredgecolor="k", markeredgewidth=2)
    plt.plot(x[v > 1], y[v > 1], "o", markersize=8, markerfacecolor=c, markeredgecolor=c, markeredgewidth=2)
