"""The whole job from files, as users run it: brandor against pycocotools.

For each kind (bbox, segm, keypoints, and boundary, which the reference lacks)
a synthetic dataset and its results are written as JSON files. Mask and
keypoint results come in two shapes: without `bbox` (loadRes then completes
them from their masks or keypoints, per result) and, marked "+box", with the
box the detector wrote beside them, as mmdetection's mask results and
detectron2's keypoint results carry it. Each library
then runs, in a fresh process, `COCO(gt)`, `loadRes(results)`, `COCOeval`,
`evaluate()`, `accumulate()` and `summarize()`. Printed per kind:

- seconds end to end (process start to summary, imports included);
- brandor's ratio to the reference;
- brandor's time over the parse floor: `parse_json_only` of both files, the
  least any loader of these files must spend;
- peak resident memory of each process;
- whether the printed summaries are identical.

Two scales: about 1 000 images, and COCO val size (5 000 images, about
500 000 detections for bbox and segm, 100 000 for keypoints).

Usage: bench_e2e.py [--scales small,coco] [--kinds bbox,segm,segm+box,keypoints,keypoints+box,boundary]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import synth  # noqa: E402

SCALES = {"small": 1000, "coco": 5000}
# Detections per image; keypoints are person-only, with fewer per image.
CASES = {
    "bbox": dict(categories=80, anns=7.2, keypoints=False, dets=100, results="bbox"),
    "segm": dict(categories=80, anns=7.2, keypoints=False, dets=100, results="segm"),
    "segm+box": dict(categories=80, anns=7.2, keypoints=False, dets=100, results="segm", boxes=True),
    "keypoints": dict(categories=1, anns=2.2, keypoints=True, dets=20, results="keypoints"),
    "keypoints+box": dict(categories=1, anns=2.2, keypoints=True, dets=20, results="keypoints", boxes=True),
    "boundary": dict(categories=80, anns=7.2, keypoints=False, dets=100, results="segm"),
}

JOB = r"""
import contextlib, io, resource, sys, time
start = time.perf_counter()
lib, gt_path, res_path, kind = sys.argv[1:5]
if lib == "reference":
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval
else:
    from brandor import COCO, COCOeval
out = io.StringIO()
with contextlib.redirect_stdout(out):
    gt = COCO(gt_path)
    dt = gt.loadRes(res_path)
    E = COCOeval(gt, dt, kind)
    E.evaluate()
    E.accumulate()
with contextlib.redirect_stdout(io.StringIO()) as summary:
    E.summarize()
seconds = time.perf_counter() - start
# This process's own peak: ru_maxrss would also count the parent's peak,
# which a child started by fork or vfork and exec inherits on Linux.
try:
    rss = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")) / 1024
except (OSError, StopIteration):
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{seconds:.4f} {rss:.1f}")
print(summary.getvalue(), end="")
"""

FLOOR = r"""
import sys, time
from brandor import _tarnel
best = float("inf")
for _ in range(3):
    t = time.perf_counter()
    for path in sys.argv[1:]:
        _tarnel.parse_json_only(path)
    best = min(best, time.perf_counter() - t)
print(f"{best:.4f}")
"""


def iou_type(kind: str) -> str:
    return kind.split("+")[0]


def job(lib: str, gt: Path, res: Path, kind: str) -> tuple[float, float, str]:
    proc = subprocess.run([sys.executable, "-c", JOB, lib, str(gt), str(res), iou_type(kind)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{lib} {kind} failed:\n{proc.stderr[-3000:]}")
    first, _, summary = proc.stdout.partition("\n")
    seconds, rss = first.split()
    return float(seconds), float(rss), summary


def parse_floor(*paths: Path) -> float:
    out = subprocess.run([sys.executable, "-c", FLOOR, *map(str, paths)], capture_output=True, text=True,
                         check=True)
    return float(out.stdout)


def write_case(tmp: Path, kind: str, n_images: int) -> tuple[Path, Path, int, int]:
    c = CASES[kind]
    dataset = synth.make_dataset(n_images, c["categories"], c["anns"], seed=31, keypoints=c["keypoints"])
    results = synth.make_results(dataset, c["dets"], seed=32, kind=c["results"])
    if c.get("boxes"):
        synth.add_result_boxes(results)
    gt, res = tmp / f"gt_{kind}.json", tmp / f"res_{kind}.json"
    gt.write_text(json.dumps(dataset))
    res.write_text(json.dumps(results))
    return gt, res, len(dataset["annotations"]), len(results)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scales", default="small,coco")
    parser.add_argument("--kinds", default="bbox,segm,segm+box,keypoints,keypoints+box,boundary")
    args = parser.parse_args()
    for scale in args.scales.split(","):
        n_images = SCALES[scale]
        print(f"== {n_images} images")
        print(f"  {'kind':<14}{'objects':>18}{'pycocotools':>13}{'brandor':>9}{'ratio':>8}"
              f"{'floor':>8}{'x floor':>9}{'RSS ref':>9}{'RSS ours':>10}  same")
        for kind in args.kinds.split(","):
            with tempfile.TemporaryDirectory() as d:
                tic = time.perf_counter()
                gt, res, n_gt, n_dt = write_case(Path(d), kind, n_images)
                made = time.perf_counter() - tic
                floor = parse_floor(gt, res)
                ours = job("brandor", gt, res, kind)
                ref = job("reference", gt, res, kind) if kind != "boundary" else None
            objects = f"{n_gt}/{n_dt}"
            ref_s = f"{ref[0]:13.2f}" if ref else f"{'-':>13}"
            ratio = f"{ref[0] / ours[0]:7.1f}x" if ref else f"{'-':>8}"
            rss_ref = f"{ref[1]:8.0f}M" if ref else f"{'-':>9}"
            same = ("yes" if ref[2] == ours[2] else "NO") if ref else "-"
            print(f"  {kind:<14}{objects:>18}{ref_s}{ours[0]:9.2f}{ratio}{floor:8.3f}{ours[0] / floor:8.1f}x"
                  f"{rss_ref}{ours[1]:9.0f}M  {same}   (case made in {made:.0f} s)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
