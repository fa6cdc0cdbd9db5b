"""The `brandor` command end to end against a pycocotools script doing the same, side by side.

On files of a COCO-scale bbox case (5 000 images, 80 categories, about 36 000
ground truths, 100 detections per image), each in a fresh interpreter:

- `brandor eval GT RES` against a script that loads both files with
  pycocotools, evaluates, accumulates and prints the summary (the printed
  summaries must be identical);
- `brandor eval` with `--per-class --json` (the per-category table and the
  full result document with its arrays);
- `brandor analyze` (no counterpart in pycocotools' Python API).

Usage: bench_cli.py [--images N]
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

REFERENCE_SCRIPT = """
import sys
from pycocotools.coco import COCO
from pycocotools.cocoeval import COCOeval
import contextlib, io
with contextlib.redirect_stdout(io.StringIO()):
    gt = COCO(sys.argv[1])
    dt = gt.loadRes(sys.argv[2])
    E = COCOeval(gt, dt, "bbox")
    E.evaluate()
    E.accumulate()
E.summarize()
"""


def timed(args: list[str]) -> tuple[float, str]:
    tic = time.perf_counter()
    run = subprocess.run(args, capture_output=True, text=True)
    elapsed = time.perf_counter() - tic
    if run.returncode != 0:
        raise SystemExit(f"{args[:3]} failed:\n{run.stderr}")
    return elapsed, run.stdout


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", type=int, default=5000)
    n = parser.parse_args().images
    dataset = synth.make_dataset(n, 80, seed=11)
    results = synth.make_results(dataset, 100, seed=12)
    with tempfile.TemporaryDirectory() as tmp:
        gt, res, out = Path(tmp) / "gt.json", Path(tmp) / "res.json", Path(tmp) / "out"
        gt.write_text(json.dumps(dataset))
        res.write_text(json.dumps(results))
        print(f"bbox, {n} images, {len(dataset['annotations'])} ground truths, {len(results)} detections; "
              f"seconds, each in a fresh interpreter")
        brandor = [sys.executable, "-m", "brandor"]
        t_ours, s_ours = timed(brandor + ["eval", str(gt), str(res)])
        t_ref, s_ref = timed([sys.executable, "-c", REFERENCE_SCRIPT, str(gt), str(res)])
        if s_ours != s_ref:
            raise SystemExit("the printed summaries differ")
        print(f"{'eval':<28} brandor {t_ours:7.2f}   pycocotools {t_ref:7.2f}   x{t_ref / t_ours:5.1f}")
        t_full, _ = timed(brandor + ["eval", str(gt), str(res), "--per-class", "--json", str(out) + ".json"])
        print(f"{'eval --per-class --json':<28} brandor {t_full:7.2f}")
        t_an, _ = timed(brandor + ["analyze", str(gt), str(res), "--out", str(out)])
        print(f"{'analyze (with plots)':<28} brandor {t_an:7.2f}")


if __name__ == "__main__":
    main()
