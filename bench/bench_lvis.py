"""LVIS federated evaluation from files: brandor.lvis against the lvis package.

An LVIS-sized synthetic case (by default 5 000 images, 1 203 categories with
frequency groups, a few verified-negative and not-exhaustive categories per
image, about 200 detections per image before the 300-per-image cap) is written
as JSON files. Each library then runs the whole job in a fresh process:
`LVIS(gt)`, `LVISResults(gt, results)`, `LVISEval(..., "bbox").run()` and
`print_results()`. The bench prints wall time and peak resident memory of
each process side by side, and checks that the precision and recall arrays
are identical.

The reference needs `numpy.float`, which NumPy 1.24 removed; its process alone
gets the alias. If the reference would exceed --ref-timeout seconds, the case
is shrunk for a second, paired run of both libraries, and the bench says so.

Usage: bench_lvis.py [--images N] [--categories K] [--dets-per-image D] [--ref-timeout S]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import synth  # noqa: E402

JOB = r"""
import resource, sys, time
import numpy as np
lib, gt_path, res_path, out_path, kind = sys.argv[1:6]
start = time.perf_counter()
if lib == "reference":
    np.float = float
    from lvis import LVIS, LVISResults, LVISEval
else:
    from brandor.lvis import LVIS, LVISResults, LVISEval
import contextlib, io
gt = LVIS(gt_path)
dt = LVISResults(gt, res_path)
E = LVISEval(gt, dt, kind)
with contextlib.redirect_stdout(io.StringIO()) as printed:
    E.run()
    E.print_results()
seconds = time.perf_counter() - start
np.savez(out_path, precision=E.eval["precision"], recall=E.eval["recall"])
# This process's own peak: ru_maxrss would also count the parent's peak,
# which a child started by fork or vfork and exec inherits on Linux.
try:
    rss = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")) / 1024
except (OSError, StopIteration):
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{seconds:.3f} {rss:.1f}")
print(printed.getvalue(), file=sys.stderr)
"""


def run_job(lib: str, gt: Path, res: Path, out: Path, kind: str, timeout: float | None) -> tuple[float, float] | None:
    try:
        proc = subprocess.run([sys.executable, "-c", JOB, lib, str(gt), str(res), str(out), kind],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    if proc.returncode != 0:
        raise RuntimeError(f"{lib} job failed:\n{proc.stderr[-3000:]}")
    seconds, rss = proc.stdout.split()[-2:]
    return float(seconds), float(rss)


def write_case(tmp: Path, n_images: int, n_cats: int, dets: int) -> tuple[Path, Path, int, int]:
    tic = time.perf_counter()
    dataset, results = synth.make_lvis_case(0, n_images=n_images, n_cats=n_cats, dets_per_image=dets)
    gt, res = tmp / f"gt_{n_images}.json", tmp / f"res_{n_images}.json"
    gt.write_text(json.dumps(dataset))
    res.write_text(json.dumps(results))
    print(f"case: {n_images} images, {n_cats} categories, {len(dataset['annotations'])} ground truths, "
          f"{len(results)} detections (made in {time.perf_counter() - tic:.1f} s)")
    return gt, res, len(dataset["annotations"]), len(results)


def compare(tmp: Path, gt: Path, res: Path, kind: str, timeout: float | None) -> bool:
    ours = run_job("brandor", gt, res, tmp / "ours.npz", kind, None)
    ref = run_job("reference", gt, res, tmp / "ref.npz", kind, timeout)
    assert ours is not None
    print(f"{'':42}{'lvis':>12}{'brandor':>12}{'ratio':>10}")
    if ref is None:
        print(f"  {'end to end from files [s]':40}{'>' + str(int(timeout or 0)):>12}{ours[0]:12.2f}")
        print(f"  {'peak RSS [MiB]':40}{'-':>12}{ours[1]:12.0f}")
        return False
    print(f"  {'end to end from files [s]':40}{ref[0]:12.2f}{ours[0]:12.2f}{ref[0] / ours[0]:9.1f}x")
    print(f"  {'peak RSS [MiB]':40}{ref[1]:12.0f}{ours[1]:12.0f}{ref[1] / ours[1]:9.1f}x")
    a, b = np.load(tmp / "ours.npz"), np.load(tmp / "ref.npz")
    same = all(np.array_equal(a[k], b[k]) for k in ("precision", "recall"))
    print(f"  precision and recall identical to lvis: {'yes' if same else 'NO'}")
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=5000)
    parser.add_argument("--categories", type=int, default=1203)
    parser.add_argument("--dets-per-image", type=int, default=200)
    parser.add_argument("--kind", default="bbox", choices=["bbox", "segm"])
    parser.add_argument("--ref-timeout", type=float, default=600.0)
    args = parser.parse_args()
    try:
        import lvis  # noqa: F401
    except Exception:  # the reference needs numpy.float; only its presence matters here
        pass
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        gt, res, _, _ = write_case(tmp, args.images, args.categories, args.dets_per_image)
        if not compare(tmp, gt, res, args.kind, args.ref_timeout):
            small = max(1, args.images // 10)
            print(f"the reference took over {args.ref_timeout:.0f} s: both again on {small} images")
            gt, res, _, _ = write_case(tmp, small, args.categories, args.dets_per_image)
            compare(tmp, gt, res, args.kind, None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
