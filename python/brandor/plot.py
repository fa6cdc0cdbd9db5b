"""Plots of evaluation results: PR curves and the error-analysis charts (matplotlib, the `plot` extra).

Figures are drawn on matplotlib's Agg canvas without pyplot, so plotting
neither changes nor depends on the caller's pyplot state and backend. Every
figure is 8 × 6 inches at 100 dpi: written out, an 800 × 600 PNG.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np

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
