"""COCO-scale evaluation: brandor against pycocotools, side by side, in one run.

For bbox and segm (5 000 images of about 480x640, 80 categories, about 36 000
ground truths with polygons, 100 detections per image, compressed RLE for segm),
keypoints (5 000 images, one person category, 20 detections per image) and
Boundary IoU on the segm data (no counterpart in pycocotools), and a dense
scene (200 images with about 300 ground truths and 1 000 detections each,
whatever --images says) evaluated as segm and as Boundary IoU, it measures

- COCOeval.evaluate() + accumulate() of both libraries on the same in-memory
  COCO objects (pycocotools' own), in this process, and checks that the
  arrays are identical;
- the native Evaluator alone (construction, then run()), in child processes
  restricted to one and to two processors before brandor is imported;
- peak memory: each measurement repeated in a child process, reporting the
  growth of the child's peak resident set over its level once the inputs were
  loaded (the same in-memory COCO objects for both libraries);
- peak memory from JSON files, as users run it: each library's own
  COCO(path) and loadRes(path) (brandor's COCO keeps the annotations in its
  compact store), then evaluate() + accumulate(), in a child process: the
  peak of the whole job above the child's level after its imports, and the
  peak of the evaluation phase above the level once the files were loaded.
  Boundary IoU is measured for brandor only.

Usage: bench_eval.py [--images N] [--kinds bbox,keypoints,segm,boundary,dense,dense-boundary] [--no-memory]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import json
import os
import pickle
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import synth  # noqa: E402

CONFIG = {
    "bbox": dict(n_categories=80, anns_per_image=7.2, keypoints=False, dets_per_image=100),
    "keypoints": dict(n_categories=1, anns_per_image=2.2, keypoints=True, dets_per_image=20),
    "segm": dict(n_categories=80, anns_per_image=7.2, keypoints=False, dets_per_image=100),
    "boundary": dict(n_categories=80, anns_per_image=7.2, keypoints=False, dets_per_image=100),
    "dense": dict(n_categories=80, anns_per_image=300, keypoints=False, dets_per_image=1000, images=200),
    "dense-boundary": dict(n_categories=80, anns_per_image=300, keypoints=False, dets_per_image=1000, images=200),
}
# Kinds the reference toolkit cannot evaluate: only brandor's figures are printed.
NO_REFERENCE = {"boundary", "dense-boundary"}
MASK_KINDS = {"segm", "boundary", "dense", "dense-boundary"}


def iou_type(kind: str) -> str:
    """The COCOeval iouType of a benchmark kind (the dense scene is segm, or boundary)."""
    return {"dense": "segm", "dense-boundary": "boundary"}.get(kind, kind)


def make_case(kind: str, n_images: int) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    cfg = CONFIG[kind]
    dataset = synth.make_dataset(cfg.get("images", n_images), cfg["n_categories"], cfg["anns_per_image"], seed=11,
                                 keypoints=cfg["keypoints"])
    results = synth.make_results(dataset, cfg["dets_per_image"], seed=12,
                                 kind="segm" if kind in MASK_KINDS else kind)
    return dataset, results


def quiet() -> contextlib.AbstractContextManager[Any]:
    return contextlib.redirect_stdout(io.StringIO())


def ref_objects(dataset: dict[str, Any], results: list[dict[str, Any]]) -> tuple[Any, Any]:
    from pycocotools.coco import COCO

    with quiet():
        gt = COCO()
        gt.dataset = dataset
        gt.createIndex()
        dt = gt.loadRes(results)
    return gt, dt


def evaluate(cls: Any, gt: Any, dt: Any, kind: str) -> tuple[float, Any]:
    e = cls(gt, dt, iou_type(kind))
    with quiet():
        t0 = time.perf_counter()
        e.evaluate()
        e.accumulate()
        elapsed = time.perf_counter() - t0
    return elapsed, e


def evaluator_args(gt: Any, dt: Any, kind: str) -> dict[str, Any]:
    """The Evaluator's arguments as brandor.COCOeval prepares them."""
    import brandor

    e = brandor.COCOeval(gt, dt, iou_type(kind))
    p = e.params
    sizes = {int(i): (int(im["height"]), int(im["width"])) for i, im in gt.imgs.items()} if kind in MASK_KINDS else {}
    return dict(
        gt_anns=gt.dataset["annotations"], dt_anns=dt.dataset["annotations"], img_sizes=sizes,
        img_ids=[int(i) for i in np.unique(p.imgIds)], cat_ids=[int(c) for c in np.unique(p.catIds)],
        iou_thrs=[float(t) for t in p.iouThrs], rec_thrs=[float(r) for r in p.recThrs],
        max_dets=sorted(p.maxDets), area_rng=[[float(a), float(b)] for a, b in p.areaRng], use_cats=True,
        iou_type=iou_type(kind), kpt_sigmas=[float(s) for s in p.kpt_oks_sigmas] if kind == "keypoints" else [],
    )


def _status_mib(field: str) -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    raise KeyError(field)


class PhaseMemory:
    """Peak resident set of one phase, less the resident set before it.

    The peak is the kernel's high-water mark (VmHWM), reset when the phase
    starts by writing 5 to /proc/self/clear_refs; where that is refused, the
    child's ru_maxrss stands in (then a peak reached while loading the inputs
    can hide a smaller one of the phase).
    """

    def __enter__(self) -> "PhaseMemory":
        self.before = _status_mib("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self.exact = True
        except OSError:
            self.exact = False
        return self

    def __exit__(self, *exc: Any) -> None:
        peak = _status_mib("VmHWM") if self.exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
        self.growth = max(peak - self.before, 0.0)


def child(task: str, kind: str, data: str, cpus: int) -> None:
    """Runs in a fresh interpreter: restrict processors, then import and measure one task."""
    os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:cpus]))
    if not task.endswith("-files"):  # those read the JSON files themselves
        with open(data, "rb") as f:
            dataset, results = pickle.load(f)
    out: dict[str, Any] = {}
    if task == "reference":
        from pycocotools.cocoeval import COCOeval

        gt, dt = ref_objects(dataset, results)
        with PhaseMemory() as mem:
            out["seconds"], _ = evaluate(COCOeval, gt, dt, kind)
    elif task == "cocoeval":
        import brandor

        gt, dt = ref_objects(dataset, results)
        with PhaseMemory() as mem:
            out["seconds"], _ = evaluate(brandor.COCOeval, gt, dt, kind)
    elif task in ("reference-files", "brandor-files"):
        if task == "reference-files":
            from pycocotools.coco import COCO
            from pycocotools.cocoeval import COCOeval
        else:
            from brandor import COCO, COCOeval  # type: ignore[assignment]
        with PhaseMemory() as load:
            with quiet():
                gt = COCO(data + ".gt.json")
                dt = gt.loadRes(data + ".res.json")
        with PhaseMemory() as mem:
            out["seconds"], _ = evaluate(COCOeval, gt, dt, kind)
        # The job's peak: the higher of the two phases' peaks, above the
        # level after the imports.
        out["job_mib"] = max(load.before + load.growth, mem.before + mem.growth) - load.before
    else:
        from brandor._tarnel import Evaluator

        gt, dt = ref_objects(dataset, results)
        args = evaluator_args(gt, dt, kind)
        with PhaseMemory() as mem:
            t0 = time.perf_counter()
            ev = Evaluator(**args)
            out["construct"] = time.perf_counter() - t0
            t0 = time.perf_counter()
            ev.run()
            out["run"] = time.perf_counter() - t0
        out["timings"] = ev.timings()
    out["base_mib"] = mem.before
    out["growth_mib"] = mem.growth
    out["exact"] = mem.exact
    out["cpus"] = len(os.sched_getaffinity(0))
    print(json.dumps(out))


def run_child(task: str, kind: str, data: str, cpus: int) -> dict[str, Any]:
    proc = subprocess.run([sys.executable, __file__, "--child", task, kind, data, str(cpus)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"child {task} {kind} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def row(label: str, ref: float | None, ours: float, unit: str = "s") -> str:
    ref_text = f"{ref:12.3f}" if ref is not None else f"{'':12}"
    ratio = f"{ref / ours:9.1f}x" if ref is not None and ours > 0 else ""
    return f"  {label:<44}{ref_text} {ours:12.3f} {ratio}  [{unit}]"


def bench(kind: str, n_images: int, memory: bool, workdir: str) -> None:
    import brandor
    from pycocotools.cocoeval import COCOeval

    dataset, results = make_case(kind, n_images)
    print(f"{kind}: {len(dataset['images'])} images, {len(dataset['categories'])} categories, "
          f"{len(dataset['annotations'])} ground truths, {len(results)} detections")
    data = os.path.join(workdir, f"{kind}.pickle")
    with open(data, "wb") as f:
        pickle.dump((dataset, results), f, protocol=pickle.HIGHEST_PROTOCOL)

    gt, dt = ref_objects(copy.deepcopy(dataset), copy.deepcopy(results))
    has_reference = kind not in NO_REFERENCE
    ref_s, ref_e = evaluate(COCOeval, gt, dt, kind) if has_reference else (None, None)
    ours_s, ours_e = evaluate(brandor.COCOeval, gt, dt, kind)
    same = has_reference and all(np.array_equal(ours_e.eval[k], ref_e.eval[k]) for k in ("precision", "recall", "scores"))
    print(f"  {'':<44}{'pycocotools':>12} {'brandor':>12} {'ratio':>10}")
    print(row("COCOeval evaluate()+accumulate(), this process", ref_s, ours_s))
    for cpus in (1, 2):
        r = run_child("evaluator", kind, data, cpus)
        print(row(f"Evaluator construction, {r['cpus']} cpu", None, r["construct"]))
        print(row(f"Evaluator.run(), {r['cpus']} cpu", None, r["run"]))
        print(row(f"construction + run() vs reference, {r['cpus']} cpu", ref_s, r["construct"] + r["run"]))
        phases = ", ".join(f"{k} {v:.3f}" for k, v in r["timings"].items())
        print(f"    phases [s]: {phases}")
    if has_reference:
        print(f"  arrays identical to pycocotools: {'yes' if same else 'NO'}")
    else:
        print("  (no pycocotools counterpart)")
    if memory:
        ref_m = run_child("reference", kind, data, 2) if has_reference else None
        ours_m = run_child("cocoeval", kind, data, 2)
        ref_growth = ref_m["growth_mib"] if ref_m else None
        how = "VmHWM reset at the start" if ours_m["exact"] else "ru_maxrss"
        print(f"  peak memory of the phase in a child process, above its resident set before the phase ({how})")
        print(row("COCOeval evaluate()+accumulate()", ref_growth, ours_m["growth_mib"], "MiB"))
        for cpus in (1, 2):
            r = run_child("evaluator", kind, data, cpus)
            print(row(f"Evaluator construction + run(), {r['cpus']} cpu", ref_growth, r["growth_mib"], "MiB"))
        ref_base = f"reference child {ref_m['base_mib']:.0f} MiB, " if ref_m else ""
        print(f"  (inputs loaded: {ref_base}brandor child {ours_m['base_mib']:.0f} MiB)")
        for suffix, obj in ((".gt.json", dataset), (".res.json", results)):
            with open(data + suffix, "w") as f:
                json.dump(obj, f)
        ref_f = run_child("reference-files", kind, data, 2) if has_reference else None
        ours_f = run_child("brandor-files", kind, data, 2)
        print("  from JSON files, each library's COCO(path) and loadRes(path), in a child process:")
        print(row("whole job, peak above the level after imports", ref_f["job_mib"] if ref_f else None,
                  ours_f["job_mib"], "MiB"))
        print(row("evaluate()+accumulate(), above the loaded level", ref_f["growth_mib"] if ref_f else None,
                  ours_f["growth_mib"], "MiB"))
        ref_base = f"reference child {ref_f['base_mib']:.0f} MiB, " if ref_f else ""
        print(f"  (files loaded: {ref_base}brandor child {ours_f['base_mib']:.0f} MiB)")
    print(flush=True)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=5000)
    parser.add_argument("--kinds", default="bbox,keypoints,segm,boundary,dense,dense-boundary")
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        for kind in args.kinds.split(","):
            bench(kind, args.images, not args.no_memory, workdir)


if __name__ == "__main__":
    main()
