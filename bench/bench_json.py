"""JSON loading: load_json against json.load and orjson, with the two split points.

Two files from the synthetic generator: a COCO-style dataset of about 100 MB
(polygons, crowd RLEs, images, categories) and a results list of 500 000 box
detections. For each, in the same run and the same process: read_file_only
(the disk floor), parse_json_only (read + tokenize, nothing built), load_json,
json.load(open(path)) and orjson.loads(file bytes). Each figure is the best of
--repeat runs; ratios are json.load's time (or orjson's) over load_json's.

    python bench/bench_json.py [--target-mb 100] [--detections 500000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

from synth import make_dataset, make_results  # noqa: E402

from brandor import _tarnel  # noqa: E402

try:
    import orjson
except ImportError:  # the bench extra lists it; the table says when it is missing
    orjson = None

DATA = Path(__file__).resolve().parent / "data"
PROBE_IMAGES = 500


def dump(obj: Any, path: Path) -> None:
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w") as f:
        json.dump(obj, f)
    tmp.replace(path)


def dataset_file(target_mb: float) -> Path:
    """A dataset file of about target_mb megabytes, scaled from a small probe."""
    probe = len(json.dumps(make_dataset(PROBE_IMAGES, seed=0)))
    n_images = max(1, round(PROBE_IMAGES * target_mb * 1e6 / probe))
    path = DATA / f"json_dataset_{n_images}.json"
    if not path.exists():
        print(f"generating {path.name} ({n_images} images)...", flush=True)
        dump(make_dataset(n_images, seed=0), path)
    return path


def results_file(detections: int) -> Path:
    dets_per_image = 100
    n_images = max(1, detections // dets_per_image)
    path = DATA / f"json_results_{n_images}x{dets_per_image}.json"
    if not path.exists():
        print(f"generating {path.name}...", flush=True)
        dump(make_results(make_dataset(n_images, seed=1), dets_per_image=dets_per_image, seed=1), path)
    return path


def best_time(fn: Callable[[], Any], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result  # freed outside the timed region
        best = min(best, elapsed)
    return best


def json_load(path: Path) -> Any:
    with open(path) as f:
        return json.load(f)


def orjson_load(path: Path) -> Any:
    with open(path, "rb") as f:
        return orjson.loads(f.read())


def bench_file(label: str, path: Path, repeat: int) -> dict[str, float]:
    size_mb = path.stat().st_size / 1e6
    p = str(path)
    # Same objects from both loaders before anything is timed.
    assert _tarnel.load_json(p) == json_load(path), "load_json and json.load disagree"
    cases: list[tuple[str, Callable[[], Any]]] = [
        ("read_file_only", lambda: _tarnel.read_file_only(p)),
        ("parse_json_only", lambda: _tarnel.parse_json_only(p)),
        ("load_json", lambda: _tarnel.load_json(p)),
        ("json.load", lambda: json_load(path)),
    ]
    if orjson is not None:
        cases.append(("orjson.loads", lambda: orjson_load(path)))
    times = {name: best_time(fn, repeat) for name, fn in cases}
    ours = times["load_json"]
    print(f"\n{label}: {path.name}, {size_mb:.1f} MB, best of {repeat}")
    print(f"  {'':16} {'seconds':>9} {'MB/s':>8} {'json.load / this':>17}")
    for name, t in times.items():
        print(f"  {name:16} {t:9.3f} {size_mb / t:8.0f} {times['json.load'] / t:16.2f}x")
    print(f"  parsing is {times['parse_json_only'] / ours:.0%} of load_json's time; the rest is building objects")
    print(f"  load_json is {times['json.load'] / ours:.2f}x faster than json.load", end="")
    if orjson is not None:
        print(f"; orjson.loads takes {times['orjson.loads'] / ours:.2f}x the time of load_json")
    else:
        print("; orjson is not installed")
    return times


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--target-mb", type=float, default=100.0, help="dataset file size (default 100)")
    ap.add_argument("--detections", type=int, default=500_000, help="detections in the results file")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    DATA.mkdir(exist_ok=True)
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} processors")
    bench_file("COCO dataset", dataset_file(args.target_mb), args.repeat)
    bench_file("detection results", results_file(args.detections), args.repeat)


if __name__ == "__main__":
    main()
