"""Evaluate a small synthetic dataset with brandor.COCOeval and print the COCO summary.

Then the bbox case once more through the command's building blocks: its files
are written to bench/data/ (for trying the `brandor` command on them), the
per-category table is printed, and the PR curves and the error analysis are
drawn into docs/ (the README's figures).

Two things here do not work with pycocotools: `COCO(dataset_dict)` (with
pycocotools, create `COCO()`, set `.dataset` and call `.createIndex()`) and
the "boundary" evaluation kind (Boundary IoU), which pycocotools lacks.
"""

from __future__ import annotations

import io
import json
import sys
from contextlib import redirect_stdout
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import brandor  # noqa: E402
import synth  # noqa: E402


def main() -> None:
    for iou_type in ("bbox", "segm", "keypoints", "boundary"):  # "boundary": brandor only
        keypoints = iou_type == "keypoints"
        kind = "segm" if iou_type == "boundary" else iou_type
        dataset = synth.make_dataset(200, n_categories=1 if keypoints else 20, seed=1, keypoints=keypoints)
        results = synth.make_results(dataset, dets_per_image=20 if keypoints else 50, seed=2, kind=kind)
        print(f"== {iou_type}: {len(dataset['images'])} images, {len(dataset['annotations'])} ground truths, "
              f"{len(results)} detections")
        gt = brandor.COCO(dataset)  # brandor extension: COCO from a dict
        dt = gt.loadRes(results)
        evaluator = brandor.COCOeval(gt, dt, iou_type)
        evaluator.evaluate()
        evaluator.accumulate()
        evaluator.summarize()
        print()
    command_demo()


def command_demo() -> None:
    from brandor.analysis import analyze
    from brandor.result import format_per_category

    root = Path(__file__).resolve().parent.parent
    data, docs = root / "bench" / "data", root / "docs"
    data.mkdir(exist_ok=True)
    dataset = synth.make_dataset(200, n_categories=20, seed=1)
    results = synth.make_results(dataset, dets_per_image=50, seed=2)
    gt_path, res_path = data / "demo_gt.json", data / "demo_bbox.json"
    gt_path.write_text(json.dumps(dataset))
    res_path.write_text(json.dumps(results))
    print(f"== brandor eval {gt_path.relative_to(root)} {res_path.relative_to(root)} --per-class")
    result = brandor.evaluate(gt_path, res_path)
    print("\n".join(result.summary_lines()))
    print()
    print(format_per_category(result))
    try:
        from brandor.plot import plot_analysis_curves
        result.plot_pr(docs / "demo_pr.png")
        with redirect_stdout(io.StringIO()):
            gt = brandor.COCO(str(gt_path))
            dt = gt.loadRes(str(res_path))
        analysis = analyze(gt, dt)
        overall = analysis.groups[0]
        plot_analysis_curves(analysis.steps, analysis.rec_thrs, overall.curves[:, :, 0], list(overall.aps[:, 0]),
                             "bbox error analysis: all categories, area all", docs / "demo_analysis.png")
        print("\nplots written to docs/demo_pr.png and docs/demo_analysis.png")
    except ImportError as exc:
        print(f"\nno plots: {exc}")


if __name__ == "__main__":
    main()
