"""Loading a COCO-scale dataset and its results: brandor.COCO against pycocotools' COCO.

5 000 images, 80 categories, about 36 000 ground truths and 100 box
detections per image, written as JSON files; each library then loads the
dataset (COCO(path)) and the results (loadRes(path)) in this process.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synth  # noqa: E402


def timed_load(cls: type, gt_path: str, res_path: str) -> tuple[float, float]:
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        gt = cls(gt_path)
        t1 = time.perf_counter()
        gt.loadRes(res_path)
        t2 = time.perf_counter()
    return t1 - t0, t2 - t1


def main() -> None:
    import brandor
    from pycocotools.coco import COCO

    dataset = synth.make_dataset(5000, seed=21)
    results = synth.make_results(dataset, 100, seed=22)
    with tempfile.TemporaryDirectory() as tmp:
        gt_path, res_path = os.path.join(tmp, "gt.json"), os.path.join(tmp, "res.json")
        with open(gt_path, "w") as f:
            json.dump(dataset, f)
        with open(res_path, "w") as f:
            json.dump(results, f)
        print(f"{len(dataset['images'])} images, {len(dataset['annotations'])} ground truths "
              f"({os.path.getsize(gt_path) / 2**20:.0f} MiB), {len(results)} detections "
              f"({os.path.getsize(res_path) / 2**20:.0f} MiB)")
        ref = timed_load(COCO, gt_path, res_path)
        ours = timed_load(brandor.COCO, gt_path, res_path)
    print(f"  {'':<28}{'pycocotools':>12} {'brandor':>12} {'ratio':>9}")
    for label, r, o in (("COCO(path)", ref[0], ours[0]), ("loadRes(path), bbox", ref[1], ours[1])):
        print(f"  {label:<28}{r:12.3f} {o:12.3f} {r / o:8.1f}x  [s]")


if __name__ == "__main__":
    main()
