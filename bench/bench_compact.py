"""The compact store: load_compact_bbox against load_json, json.load and the reference.

Two files from the synthetic generator (shared with bench_json.py): a results
list of 500 000 box detections and a COCO-sized dataset (5 000 images). For the
results file, in one run: load_compact_bbox(path, True), load_json, json.load and
pycocotools' COCO.loadRes on the same path (its ground truth built beforehand,
outside the timing); for the dataset file load_compact_bbox(path) against
load_json, json.load and pycocotools' COCO(path). The parallel piece parse is
set against the sequential one, measured in a child process restricted to one
processor (whose worker pool has one thread, so it takes the sequential path).
Each figure is the best of --repeat runs (the reference's of --ref-repeat).

    python bench/bench_compact.py [--detections 500000] [--images 5000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_json import DATA, best_time, dump, json_load, results_file  # noqa: E402
from synth import make_dataset  # noqa: E402

from brandor import _tarnel  # noqa: E402

SEQUENTIAL_CHILD = """
import gc, os, sys, time
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from brandor import _tarnel
best = float("inf")
for _ in range(int(sys.argv[2])):
    gc.collect()
    start = time.perf_counter()
    handle = _tarnel.load_compact_bbox(sys.argv[1], True)
    best = min(best, time.perf_counter() - start)
    del handle
print(best)
"""


def dataset_file(n_images: int) -> Path:
    path = DATA / f"compact_dataset_{n_images}.json"
    if not path.exists():
        print(f"generating {path.name}...", flush=True)
        dump(make_dataset(n_images, seed=2), path)
    return path


def quietly(fn):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            return fn()
    return run


def table(title: str, path: Path, times: dict[str, float], ours: str) -> None:
    size_mb = path.stat().st_size / 1e6
    print(f"\n{title}: {path.name}, {size_mb:.1f} MB")
    print(f"  {'':34} {'seconds':>9} {'this / ' + ours:>22}")
    for name, t in times.items():
        print(f"  {name:34} {t:9.3f} {t / times[ours]:21.2f}x")


def sizes(handle) -> str:
    n = max(1, handle.annotation_count)
    return (f"  {handle.annotation_count} annotations: column_bytes {handle.column_bytes / n:.1f} B and "
            f"snapshot_bytes {handle.snapshot_bytes / n:.1f} B per annotation")


def bench_results(detections: int, repeat: int, ref_repeat: int) -> None:
    from pycocotools.coco import COCO

    path = results_file(detections)
    p = str(path)
    # The ground truth that results_file generated the detections for.
    n_images = max(1, detections // 100)
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO()
        gt.dataset = {"images": [{"id": i["id"]} for i in make_dataset(n_images, seed=1)["images"]],
                      "annotations": [], "categories": [{"id": c} for c in range(1, 81)]}
        gt.createIndex()
    _, handle = _tarnel.load_compact_bbox(p, True)
    assert handle.annotation_count == len(json_load(path))
    times = {
        "load_compact_bbox(path, True)": best_time(lambda: _tarnel.load_compact_bbox(p, True), repeat),
        "  the same, sequential (1 thread)": float(subprocess.run(
            [sys.executable, "-c", SEQUENTIAL_CHILD, p, str(repeat)], capture_output=True, text=True,
            check=True).stdout),
        "load_json": best_time(lambda: _tarnel.load_json(p), repeat),
        "json.load": best_time(lambda: json_load(path), repeat),
        "pycocotools COCO.loadRes(path)": best_time(quietly(lambda: gt.loadRes(p)), ref_repeat),
    }
    table("detection results", path, times, "load_compact_bbox(path, True)")
    print(sizes(handle))
    seq = times["  the same, sequential (1 thread)"]
    print(f"  pieces on {len(os.sched_getaffinity(0))} processors: {seq / times['load_compact_bbox(path, True)']:.2f}x "
          f"the sequential speed; load_json / compact {times['load_json'] / times['load_compact_bbox(path, True)']:.1f}x, "
          f"json.load / compact {times['json.load'] / times['load_compact_bbox(path, True)']:.1f}x")


def bench_dataset(n_images: int, repeat: int, ref_repeat: int) -> None:
    from pycocotools.coco import COCO

    path = dataset_file(n_images)
    p = str(path)
    _, handle = _tarnel.load_compact_bbox(p)
    times = {
        "load_compact_bbox(path)": best_time(lambda: _tarnel.load_compact_bbox(p), repeat),
        "load_json": best_time(lambda: _tarnel.load_json(p), repeat),
        "json.load": best_time(lambda: json_load(path), repeat),
        "pycocotools COCO(path)": best_time(quietly(lambda: COCO(p)), ref_repeat),
    }
    table("COCO dataset", path, times, "load_compact_bbox(path)")
    print(sizes(handle))


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--detections", type=int, default=500_000)
    ap.add_argument("--images", type=int, default=5_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--ref-repeat", type=int, default=1)
    args = ap.parse_args(argv)
    DATA.mkdir(exist_ok=True)
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} processors")
    bench_results(args.detections, args.repeat, args.ref_repeat)
    bench_dataset(args.images, args.repeat, args.ref_repeat)


if __name__ == "__main__":
    main()
