"""Evaluate a small synthetic dataset with brandor.COCOeval and print the COCO summary.

Two things here do not work with pycocotools: `COCO(dataset_dict)` (with
pycocotools, create `COCO()`, set `.dataset` and call `.createIndex()`) and
the "boundary" evaluation kind (Boundary IoU), which pycocotools lacks.
"""

from __future__ import annotations

import sys
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


if __name__ == "__main__":
    main()
