"""The `brandor` command: evaluate, compare and analyse result files without writing Python.

Results go to stdout; progress and messages go to stderr. Input that cannot
be evaluated (a missing or malformed file, a file of the wrong kind, results
on images that are not in the ground truth) ends the command with exit code 2
and one line saying what is wrong.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from typing import Any, Iterator, Sequence

from . import plot
from .api import InputError, evaluate, load_ground_truth, load_results
from .result import IOU_TYPES, EvalResult, format_comparison, format_per_category

EXIT_INPUT = 2


class _Progress:
    """Progress lines on stderr, only when stderr is a terminal.

    A step announces itself at once and erases the line again if it was done
    within a second; a longer step's line stays, with its duration. Announcing
    up front (rather than from a timer) works for steps that hold the
    interpreter lock for their whole duration, such as JSON loading.
    """

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled and sys.stderr.isatty()

    @contextlib.contextmanager
    def step(self, label: str) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        sys.stderr.write(f"{label}...")
        sys.stderr.flush()
        tic = time.perf_counter()
        try:
            yield
        finally:
            elapsed = time.perf_counter() - tic
            if elapsed >= 1.0:
                sys.stderr.write(f" {elapsed:.1f} s\n")
            else:
                sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def _int_list(text: str) -> list[int]:
    try:
        values = [int(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected integers separated by commas, got {text!r}") from None
    if not values or any(v < 0 for v in values):
        raise argparse.ArgumentTypeError(f"expected non-negative integers separated by commas, got {text!r}")
    return values


def _float_list(text: str) -> list[float]:
    try:
        values = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers separated by commas, got {text!r}") from None
    if not values:
        raise argparse.ArgumentTypeError("expected at least one number")
    return values


def _area_ranges(text: str) -> list[tuple[str, float, float]]:
    """LABEL=LO:HI entries separated by commas, e.g. all=0:1e10,small=0:1024."""
    out = []
    for item in text.split(","):
        label, sep, bounds = item.partition("=")
        lo, sep2, hi = bounds.partition(":")
        try:
            if not (sep and sep2 and label):
                raise ValueError
            out.append((label.strip(), float(lo), float(hi)))
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected LABEL=LO:HI entries separated by commas, got {item!r}") from None
    return out


def _add_kind(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--iou-type", choices=IOU_TYPES, default="bbox",
                        help="what is compared: boxes, masks, keypoints or mask boundaries (default bbox)")


def _add_params(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-dets", type=_int_list, metavar="1,10,100", help="detection caps per image")
    parser.add_argument("--iou-thrs", type=_float_list, metavar="T1,T2,...", help="IoU thresholds")
    parser.add_argument("--area-rng", type=_area_ranges, metavar="LABEL=LO:HI,...",
                        help="area ranges with their labels (default all, small, medium, large)")
    parser.add_argument("--no-cats", action="store_true", help="pool all categories into one")


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="brandor", description="COCO-protocol evaluation with pycocotools' numbers.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ev = sub.add_parser("eval", help="evaluate a results file against a ground-truth file")
    ev.add_argument("gt", metavar="GT", help="COCO ground-truth JSON file")
    ev.add_argument("results", metavar="RESULTS", help="COCO results JSON file (an array of detections)")
    _add_kind(ev)
    _add_params(ev)
    ev.add_argument("--per-class", action="store_true", help="print a per-category table after the summary")
    ev.add_argument("--json", metavar="OUT", help="write the result document (with its arrays) to OUT")
    ev.add_argument("--plot", metavar="OUT.png", help="draw the PR curves into OUT.png (needs brandor[plot])")
    ev.add_argument("--quiet", action="store_true", help="print nothing but errors")

    cmp_ = sub.add_parser("compare", help="compare two results files on the same ground truth")
    cmp_.add_argument("gt", metavar="GT")
    cmp_.add_argument("a", metavar="A")
    cmp_.add_argument("b", metavar="B")
    _add_kind(cmp_)
    _add_params(cmp_)

    an = sub.add_parser("analyze", help="COCO error analysis: PR curves and AP as error types are removed")
    an.add_argument("gt", metavar="GT")
    an.add_argument("results", metavar="RESULTS")
    an.add_argument("--iou-type", choices=("bbox", "segm"), default="bbox")
    an.add_argument("--out", metavar="DIR", default="analysis", help="folder for the plots (default ./analysis)")
    return parser


def _params(args: argparse.Namespace) -> dict[str, Any]:
    params: dict[str, Any] = {"use_cats": not args.no_cats}
    if args.max_dets is not None:
        params["max_dets"] = args.max_dets
    if args.iou_thrs is not None:
        params["iou_thrs"] = args.iou_thrs
    if args.area_rng is not None:
        params["area_labels"] = [label for label, _, _ in args.area_rng]
        params["area_rng"] = [[lo, hi] for _, lo, hi in args.area_rng]
    return params


def _evaluate_files(progress: _Progress, gt_path: str, res_paths: Sequence[str], iou_type: str,
                    params: dict[str, Any]) -> list[EvalResult]:
    with progress.step(f"loading {gt_path}"):
        gt = load_ground_truth(gt_path)
    out = []
    for path in res_paths:
        with progress.step(f"loading {path}"):
            dt = load_results(gt, path, iou_type)
        with progress.step(f"evaluating {path}"):
            out.append(evaluate(gt, dt, iou_type, **params))
    return out


def _cmd_eval(args: argparse.Namespace) -> int:
    if args.plot:
        # A missing plot extra is said before the work rather than after it.
        plot.require_matplotlib()
    progress = _Progress(not args.quiet)
    (result,) = _evaluate_files(progress, args.gt, [args.results], args.iou_type, _params(args))
    if not args.quiet:
        print("\n".join(result.summary_lines()))
        if args.per_class:
            print()
            print(format_per_category(result))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            f.write(result.to_json())
    if args.plot:
        result.plot_pr(args.plot)
    return 0


def _cmd_compare(args: argparse.Namespace) -> int:
    a, b = _evaluate_files(_Progress(True), args.gt, [args.a, args.b], args.iou_type, _params(args))
    name_a, name_b = os.path.basename(args.a), os.path.basename(args.b)
    if name_a == name_b:
        name_a, name_b = "A", "B"
    print(format_comparison(a, b, name_a, name_b))
    return 0


def _cmd_analyze(args: argparse.Namespace) -> int:
    from .analysis import analyze, format_analysis

    progress = _Progress(True)
    with progress.step(f"loading {args.gt}"):
        gt = load_ground_truth(args.gt)
    with progress.step(f"loading {args.results}"):
        dt = load_results(gt, args.results, args.iou_type)
    with progress.step("analysing"):
        analysis = analyze(gt, dt, args.iou_type)
    print(format_analysis(analysis))
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "analysis.json"), "w", encoding="utf-8") as f:
        json.dump(analysis.to_dict(), f)
    try:
        with progress.step(f"drawing into {args.out}"):
            paths = plot.plot_analysis(analysis, args.out)
    except plot.PlotExtraMissing as exc:
        print(f"brandor: no plots: {exc}", file=sys.stderr)
        return 0
    print(f"\n{len(paths)} plots written to {args.out}", file=sys.stderr)
    return 0


def _message(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        return f"missing key {exc.args[0]!r}"
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc) or type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    args = _build_parser().parse_args(argv)
    commands = {"eval": _cmd_eval, "compare": _cmd_compare, "analyze": _cmd_analyze}
    try:
        return commands[args.command](args)
    except BrokenPipeError:
        # The reader of stdout went away (`| head`): stop quietly, and keep
        # the interpreter from failing again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (InputError, OSError, ValueError, KeyError, TypeError, plot.PlotExtraMissing) as exc:
        # Malformed input reaches us as one of these from the loaders or the
        # engine, whose messages are written for users; show the line, not a
        # traceback.
        print(f"brandor: error: {_message(exc)}", file=sys.stderr)
        return EXIT_INPUT
