"""Every public function and method, called 1000 times on the same inputs,
succeeding and failing, leaves nothing behind: the reference counts of its
inputs, the interpreter's allocated blocks and the resident memory stay flat.

Each case is called 100 times to warm up (caches, free lists, the pool), then
in three windows of 300; a leak shows in every window, noise in some."""

from __future__ import annotations

import gc
import json
import sys

import numpy as np
import pytest

from brandor import _tarnel
from reliability_cases import UNDER_ASAN, evaluator, prepared_case

WARM_UP, WINDOW = 100, 300
PAGE = 4096

# Blocks of 10 by 10 pixels: a few hundred runs per mask.
MASK = np.asfortranarray(np.random.default_rng(0).integers(0, 2, (12, 9, 3), dtype=np.uint8)
                         .repeat(10, axis=0).repeat(10, axis=1))
RLES = _tarnel.encode(MASK)
BAD_RLES = [RLES[0], {"size": [120, 90]}]
POLY = [[10.0, 10.0, 80.0, 15.0, 60.0, 100.0, 5.0, 90.0]]
BOXES = np.array([[1.0, 2.0, 30.0, 40.0], [5.0, 5.0, 50.0, 60.0]])
UNCOMPRESSED = [{"size": [120, 90], "counts": [100] * 108}]
ARRAY = np.column_stack([np.arange(50) % 7 + 1, np.random.default_rng(1).uniform(0, 50, (50, 5)),
                         np.arange(50) % 3 + 1])
PRECISION = np.random.default_rng(2).random((10, 101, 5, 4, 3))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    dataset, dts = prepared_case("bbox", n_images=10)
    results = [{k: a[k] for k in ("image_id", "category_id", "bbox", "score")} for a in dts]
    paths = {"dataset": d / "gt.json", "results": d / "res.json", "bad": d / "bad.json",
             "missing": d / "absent.json"}
    paths["dataset"].write_text(json.dumps(dataset))
    paths["results"].write_text(json.dumps(results))
    paths["bad"].write_text(json.dumps(results)[:-40])
    return {k: str(v) for k, v in paths.items()}


@pytest.fixture(scope="module")
def objects(files):
    ev = evaluator("segm", n_images=3, dets_per_image=5)
    _, handle = _tarnel.load_compact_bbox(files["results"], True)
    _, dataset_handle = _tarnel.load_compact_bbox(files["dataset"], False)
    anns = handle.annotations()
    images = sorted({int(a["image_id"]) for a in anns})
    cats = {int(a["category_id"]) for a in anns}
    return ev, handle, dataset_handle, anns, images, cats


def cases(files, objects):
    """(name, callable, inputs whose reference counts must not grow, fails)."""
    ev, handle, dataset_handle, anns, images, cats = objects
    verified = {i: cats for i in images}
    n_gt = len(prepared_case("segm", n_images=3, dets_per_image=5)[0]["annotations"])
    # Mask results without a box (one with a list of RLEs) and keypoint
    # results, one of them integers only (completed through NumPy).
    mask_results = [{"segmentation": r} for r in RLES] + [{"segmentation": list(RLES[:2])}]
    kp_results = [{"keypoints": [1.5, 2.5, 1, 4.0, 3.5, 1]}, {"keypoints": [1, 2, 1, 4, 3, 1]}]
    out = [
        ("encode", lambda: _tarnel.encode(MASK), [MASK]),
        ("decode", lambda: _tarnel.decode(RLES), [RLES, *RLES]),
        ("decode fails", lambda: _tarnel.decode(BAD_RLES), [BAD_RLES, *BAD_RLES]),
        ("merge", lambda: _tarnel.merge(RLES, 1), [RLES]),
        ("area", lambda: _tarnel.area(RLES), [RLES]),
        ("toBbox", lambda: _tarnel.toBbox(RLES), [RLES]),
        ("iou masks", lambda: _tarnel.iou(RLES, RLES, [0, 1, 0]), [RLES]),
        ("iou boxes", lambda: _tarnel.iou(BOXES, BOXES.tolist(), [1, 0]), [BOXES]),
        ("iou fails", lambda: _tarnel.iou(RLES, BOXES, [0]), [RLES, BOXES]),
        ("frBbox", lambda: _tarnel.frBbox(BOXES, 120, 90), [BOXES]),
        ("frPoly", lambda: _tarnel.frPoly(POLY, 120, 90), [POLY, POLY[0]]),
        ("frPoly fails", lambda: _tarnel.frPoly([POLY[0], "x"], 120, 90), [POLY[0]]),
        ("frUncompressedRLE", lambda: _tarnel.frUncompressedRLE(UNCOMPRESSED, 1, 1), [UNCOMPRESSED]),
        ("frPyObjects", lambda: _tarnel.frPyObjects(POLY, 120, 90), [POLY]),
        ("frPyObjects fails", lambda: _tarnel.frPyObjects({"size": [1, 1]}, 120, 90), []),
        ("toBoundary", lambda: _tarnel.toBoundary(RLES, 0.05), [RLES]),
        ("load_json", lambda: _tarnel.load_json(files["dataset"]), []),
        ("load_json fails", lambda: _tarnel.load_json(files["bad"]), []),
        ("load_json missing", lambda: _tarnel.load_json(files["missing"]), []),
        ("parse_json_only", lambda: _tarnel.parse_json_only(files["results"]), []),
        ("parse_json_only fails", lambda: _tarnel.parse_json_only(files["bad"]), []),
        ("read_file_only", lambda: _tarnel.read_file_only(files["results"]), []),
        ("load_compact_bbox results", lambda: _tarnel.load_compact_bbox(files["results"], True), []),
        ("load_compact_bbox dataset", lambda: _tarnel.load_compact_bbox(files["dataset"], False), []),
        ("load_compact_bbox fails", lambda: _tarnel.load_compact_bbox(files["bad"], True), []),
        ("load_compact_array", lambda: _tarnel.load_compact_array(ARRAY), [ARRAY]),
        ("load_compact_array fails", lambda: _tarnel.load_compact_array(ARRAY[:, :6]), [ARRAY]),
        ("annotations", handle.annotations, [handle]),
        ("annotations of a dataset", dataset_handle.annotations, [dataset_handle]),
        ("array_rows", handle.array_rows, [handle]),
        ("valid_images", lambda: handle.valid_images(images), [handle, images]),
        ("lvis_annotations", lambda: handle.lvis_annotations(images, cats, verified, 3),
         [handle, images, cats, verified]),
        ("lvis_annotations fails", lambda: handle.lvis_annotations(images, list(cats), verified, 3),
         [handle, images, verified]),
        ("properties", lambda: (handle.from_array, handle.float32, handle.annotation_count,
                                handle.snapshot_bytes, handle.column_bytes), [handle]),
        ("index_annotations", lambda: _tarnel.index_annotations(anns, True), [anns, *anns[:5]]),
        ("prepare_bbox_results", lambda: _tarnel.prepare_bbox_results(anns), [anns, *anns[:5]]),
        ("prepare_mask_results", lambda: _tarnel.prepare_mask_results(mask_results), [mask_results]),
        ("prepare_mask_results fails", lambda: _tarnel.prepare_mask_results(mask_results + [{"segmentation": 3}]),
         [mask_results]),
        ("prepare_keypoint_results", lambda: _tarnel.prepare_keypoint_results(kp_results), [kp_results]),
        ("summary_values", lambda: _tarnel.summary_values(PRECISION, [0, 5], [0, 1, 2], 0, 2), [PRECISION]),
        ("summary_values fails", lambda: _tarnel.summary_values(PRECISION, [0, 50], [0], 0, 2), [PRECISION]),
        ("alloc_stats", lambda: (_tarnel.alloc_stats(), _tarnel.reset_alloc_peak()), []),
        ("run", lambda: ev.run(True), [ev]),
        ("per_instance", lambda: ev.per_instance(1, 1, 10), [ev]),
        ("per_instance fails", lambda: ev.per_instance(99, 0, 10), [ev]),
        ("timings", ev.timings, [ev]),
        ("configure_lvis", lambda: ev.configure_lvis([False] * n_gt, [], False), [ev]),
        ("configure_lvis fails", lambda: ev.configure_lvis([False], [], False), [ev]),
        ("Evaluator from a compact store", lambda: _tarnel.Evaluator(
            dataset_handle, handle, {}, images, sorted(cats), [0.5, 0.75], [0.0, 0.5, 1.0], [1, 100],
            [[0.0, 1e10]], True, "bbox", []).run(), [dataset_handle, handle, images]),
        ("Evaluator fails", lambda: _tarnel.Evaluator(
            anns, [{"image_id": 1}], {}, images, sorted(cats), [0.5], [0.0], [100],
            [[0.0, 1e10]], True, "bbox", []), [anns, images]),
    ]
    return out


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure(call, inputs):
    def calls(n):
        for _ in range(n):
            try:
                call()
            except Exception:  # noqa: BLE001 - failing calls are measured too
                pass
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise

    calls(WARM_UP)
    points = []
    for _ in range(3):
        gc.collect()
        points.append((sys.getallocatedblocks(), rss(), [sys.getrefcount(x) for x in inputs]))
        calls(WINDOW)
    gc.collect()
    points.append((sys.getallocatedblocks(), rss(), [sys.getrefcount(x) for x in inputs]))
    return points


def test_every_call_leaves_nothing_behind(files, objects):
    failures = []
    for name, call, inputs in cases(files, objects):
        points = measure(call, inputs)
        windows = list(zip(points, points[1:]))
        refs = [[b - a for a, b in zip(p[2], q[2])] for p, q in windows]
        # Reference counts are exact: flat in every window.
        if any(any(r) for r in refs):
            failures.append(f"{name}: input reference counts grew by {refs}")
        # A leaked object per call adds WINDOW blocks to every window.
        blocks = [q[0] - p[0] for p, q in windows]
        if min(blocks) >= WINDOW // 2:
            failures.append(f"{name}: {blocks} Python blocks more per window")
        # Resident memory: a leak of a kilobyte a call grows every window by
        # 300 KiB; the allocator's noise grows at most some of them. Under
        # ASan freed memory sits in quarantine, and LeakSanitizer checks instead.
        growth = [q[1] - p[1] for p, q in windows]
        if not UNDER_ASAN and min(growth) > WINDOW * 1024:
            failures.append(f"{name}: resident memory grew by {growth} bytes per window")
    assert not failures
