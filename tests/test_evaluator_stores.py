"""An Evaluator built from CompactBbox stores equals one built from the same
annotations as lists, for every kind, with the store on either side or both,
and the compact reader's own rules: rows only for evaluated records, the
budget and counterpart skips, float32 areas, and its messages."""

from __future__ import annotations

import copy
import json
import pickle
import subprocess
import sys

from pathlib import Path

import numpy as np
import pycocotools.mask as ref_mask
import pytest

from brandor import _tarnel
from conftest import assert_same
from evaluator_cases import COCO_SIGMAS, random_dataset
from test_mask_eval import segm_dataset

KINDS = ("bbox", "keypoints", "segm", "boundary")
SIDES = ("gt", "dt", "both")
AREAS = [[0.0, 1e10], [0.0, 32.0**2], [32.0**2, 96.0**2], [96.0**2, 1e10]]


def _jsonable_segm(ann):
    seg = ann.get("segmentation")
    if isinstance(seg, dict) and isinstance(seg["counts"], bytes):
        ann["segmentation"] = dict(seg, counts=seg["counts"].decode())
    return ann


def _keypoint_box(kps):
    xs, ys = kps[0::3], kps[1::3]
    return [min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)]


def case(kind, seed):
    """(dataset, results) that JSON can hold and the compact loaders accept:
    every result has a box; mask results mix compressed, uncompressed,
    polygon and missing segmentations."""
    if kind in ("bbox", "keypoints"):
        dataset, results = random_dataset(seed, keypoints=kind == "keypoints", n_images=16, n_cats=5, nan_scores=0.0)
        if kind == "keypoints":
            for ann in dataset["annotations"][::7]:
                ann["num_keypoints"] = None if ann["id"] % 2 else True
            for r in results:
                r["bbox"] = _keypoint_box(r["keypoints"])
        return dataset, results
    dataset, results = segm_dataset(seed, n_images=12, counts_as="str")
    rng = np.random.default_rng(seed)
    for ann in dataset["annotations"]:
        _jsonable_segm(ann)
    for r in results:
        rle = ref_mask.frPyObjects(r["segmentation"], *r["segmentation"]["size"]) \
            if isinstance(r["segmentation"]["counts"], list) else r["segmentation"]
        r["bbox"] = [float(v) for v in ref_mask.toBbox(rle)]
        u = rng.random()
        if u < 0.15:
            del r["segmentation"]  # rasterised from the box
        elif u < 0.3:
            m = ref_mask.decode(rle)
            r["segmentation"] = {"size": list(m.shape), "counts": _uncompressed(m)}
        elif u < 0.4:
            x, y, w, h = r["bbox"]
            r["segmentation"] = [[x, y, x + w, y, x + w, y + h]]
    return dataset, results


def _uncompressed(mask):
    flat = mask.flatten(order="F")
    changes = np.flatnonzero(np.diff(np.concatenate([[0], flat, [2]])))
    return [int(v) for v in np.diff(np.concatenate([[0], changes]))][: len(changes)]


def as_loaded(results):
    """Results as the reference's loadRes completes them from their boxes."""
    out = copy.deepcopy(results)
    for i, r in enumerate(out):
        r.update(area=r["bbox"][2] * r["bbox"][3], id=i + 1, iscrowd=0)
    return out


def params(dataset, kind, custom):
    img_ids = sorted(im["id"] for im in dataset["images"])
    cat_ids = sorted(c["id"] for c in dataset["categories"])
    p = dict(img_ids=img_ids, cat_ids=cat_ids, iou_thrs=list(np.linspace(0.5, 0.95, 10)),
             rec_thrs=list(np.linspace(0, 1, 101)), max_dets=[1, 10, 100] if kind != "keypoints" else [20],
             area_rng=AREAS if kind != "keypoints" else [AREAS[0], AREAS[2], AREAS[3]], use_cats=True)
    if custom:
        # Leave images and a category out (records there are not evaluated),
        # pool the categories, keep a tight budget.
        p.update(img_ids=img_ids[1::2] + [10**9], cat_ids=cat_ids[1:], iou_thrs=[0.3, 0.6, 0.75],
                 max_dets=[1, 2], area_rng=[[0.0, 1e10], [0.0, 700.0]], use_cats=False)
    return p


def evaluator(gt, dt, dataset, kind, p, **extra):
    sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    return _tarnel.Evaluator(gt, dt, sizes, p["img_ids"], p["cat_ids"], p["iou_thrs"], p["rec_thrs"],
                             p["max_dets"], p["area_rng"], p["use_cats"], kind,
                             COCO_SIGMAS if kind == "keypoints" else [], **extra)


def outputs(ev, p):
    out = [ev.run(collect_eval_imgs=True)]
    for a_idx in range(len(p["area_rng"])):
        out.append(ev.per_instance(len(p["iou_thrs"]) - 1, a_idx, p["max_dets"][-1]))
    return out


def stores(tmp_path, dataset, results):
    (tmp_path / "gt.json").write_text(json.dumps(dataset))
    (tmp_path / "res.json").write_text(json.dumps(results))
    _, gt_store = _tarnel.load_compact_bbox(str(tmp_path / "gt.json"), False)
    _, dt_store = _tarnel.load_compact_bbox(str(tmp_path / "res.json"), True)
    return gt_store, dt_store


@pytest.mark.parametrize("custom", [False, True], ids=["default", "custom"])
@pytest.mark.parametrize("side", SIDES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", [0, pytest.param(1, marks=pytest.mark.slow)])
def test_stores_equal_lists(tmp_path, kind, side, custom, seed):
    dataset, results = case(kind, 900 + seed)
    gt_store, dt_store = stores(tmp_path, dataset, results)
    p = params(dataset, kind, custom)
    extra = {"boundary_dilation": 0.05} if kind == "boundary" and custom else {}
    gt_list, dt_list = copy.deepcopy(dataset["annotations"]), as_loaded(results)
    expected = outputs(evaluator(gt_list, dt_list, dataset, kind, p, **extra), p)
    got = outputs(evaluator(gt_store if side != "dt" else gt_list, dt_store if side != "gt" else dt_list,
                            dataset, kind, p, **extra), p)
    assert_same(got, expected, f"{kind} {side} seed {seed}")


@pytest.mark.parametrize("kind", ["bbox", "segm", "boundary"])
def test_float32_arrays_equal_lists(kind):
    dataset, results = case("bbox", 31)
    rows = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results], dtype=np.float32)
    rows[0, 3:5] = [0.1, 0.3]  # an area whose 32-bit product differs from the 64-bit one
    dt_list = []
    for i, row in enumerate(rows):
        x, y, w, h = (np.float32(v) for v in row[1:5])
        # What loadRes stores for a float32 array: float32 values, their
        # products and corner sums in 32 bits.
        d = {"image_id": int(row[0]), "category_id": int(row[6]), "score": float(row[5]), "id": i + 1,
             "iscrowd": 0, "bbox": [float(x), float(y), float(w), float(h)], "area": float(w * h),
             "segmentation": [[float(x), float(y), float(x), float(y + h), float(x + w), float(y + h),
                               float(x + w), float(y)]]}
        dt_list.append(d)
    p = params(dataset, kind, False)
    p["area_rng"] = AREAS + [[0.0, float(np.float32(0.1) * np.float32(0.3))]]
    store = _tarnel.load_compact_array(rows)
    gt = dataset["annotations"]
    if kind != "bbox":
        for ann in gt:
            x, y, w, h = ann["bbox"]
            ann["segmentation"] = [[x, y, x + w, y, x + w, y + h]]
    assert_same(outputs(evaluator(gt, store, dataset, kind, p), p), outputs(evaluator(gt, dt_list, dataset, kind, p), p))


def _one_image(tmp_path, gt_anns, results, size=(40, 40), name="one"):
    dataset = {"images": [{"id": 1, "height": size[0], "width": size[1]}, {"id": 2, "height": 40, "width": 40}],
               "annotations": gt_anns, "categories": [{"id": 1}, {"id": 2}]}
    (tmp_path / f"{name}.json").write_text(results if isinstance(results, str) else json.dumps(results))
    return dataset, _tarnel.load_compact_bbox(str(tmp_path / f"{name}.json"), True)[1]


def _gt(image=1, category=1, box=(5, 5, 20, 20), **extra):
    return dict({"id": 100 + image * 10 + category, "image_id": image, "category_id": category, "bbox": list(box),
                 "area": box[2] * box[3], "iscrowd": 0}, **extra)


def _run(gt, dt, dataset, kind, **overrides):
    p = params(dataset, kind, False)
    p.update(overrides)
    return evaluator(gt, dt, dataset, kind, p).run()


def test_escaped_string_counts_read_as_decoded(tmp_path):
    rle = ref_mask.encode(np.asfortranarray(np.pad(np.ones((12, 9), np.uint8), ((7, 21), (3, 28)))))
    counts = rle["counts"].decode()
    # The same counts written with a \u escape for every character, and raw.
    escaped = "".join(f"\\u{ord(c):04x}" for c in counts)
    text = json.dumps([{"image_id": 1, "category_id": 1, "bbox": [3, 7, 9, 12], "score": 0.9,
                        "segmentation": {"size": [40, 40], "counts": "@@"}}]).replace('"@@"', f'"{escaped}"')
    gt = [_gt(box=(3, 7, 9, 12), segmentation={"size": [40, 40], "counts": counts})]
    dataset, store = _one_image(tmp_path, gt, text)
    dt_list = as_loaded([{"image_id": 1, "category_id": 1, "bbox": [3, 7, 9, 12], "score": 0.9,
                          "segmentation": {"size": [40, 40], "counts": counts}}])
    for kind in ("segm", "boundary"):
        assert_same(_run(gt, store, dataset, kind), _run(gt, dt_list, dataset, kind))
        assert _run(gt, store, dataset, kind)["precision"][0, 0, 0, 0, 2] > 0.99


@pytest.mark.parametrize("count,ignored", [("0", True), ("null", True), (None, True), ("false", True),
                                           ("2", False), ("true", False), ("-1", False)])
def test_ground_truth_without_keypoint_count_is_ignored(tmp_path, count, ignored):
    kps = [10.0, 10.0, 2] * 17
    member = "" if count is None else f', "num_keypoints": {count}'
    text = ('{"images": [{"id": 1, "height": 40, "width": 40}], "categories": [{"id": 1}], "annotations": [{"id": 5,'
            ' "image_id": 1, "category_id": 1, "bbox": [5, 5, 20, 20], "area": 400, "keypoints": %s%s}]}'
            % (json.dumps(kps), member))
    (tmp_path / "gt.json").write_text(text)
    dataset, gt_store = _tarnel.load_compact_bbox(str(tmp_path / "gt.json"), False)
    dataset = dict(dataset, images=[{"id": 1, "height": 40, "width": 40}, {"id": 2, "height": 40, "width": 40}],
                   categories=[{"id": 1}, {"id": 2}])
    _, dt_store = _one_image(tmp_path, [], [{"image_id": 1, "category_id": 1, "bbox": [5, 5, 20, 20],
                                             "score": 0.8, "keypoints": kps}])
    recall = _run(gt_store, dt_store, dataset, "keypoints")["recall"][0, 0, 0, 0]
    assert recall == (-1.0 if ignored else 1.0)


def test_keypoint_count_of_another_type_is_refused(tmp_path):
    text = ('{"images": [], "categories": [], "annotations": [{"id": 5, "image_id": 1, "category_id": 1,'
            ' "bbox": [5, 5, 20, 20], "keypoints": [1, 2, 2], "num_keypoints": 1.0}]}')
    (tmp_path / "gt.json").write_text(text)
    dataset, gt_store = _tarnel.load_compact_bbox(str(tmp_path / "gt.json"), False)
    dataset = {"images": [{"id": 1, "height": 40, "width": 40}], "categories": [{"id": 1}]}
    with pytest.raises(ValueError, match=r"^invalid type: floating point `1.0`, expected i64 at line 1 column 3$"):
        _run(gt_store, [], dataset, "keypoints")


MALFORMED = [
    ('"abc"', 'invalid type: string "abc", expected polygon rings or an RLE object at line 1 column 5'),
    ('{"size": [40, 40]}', "RLE segmentation is missing counts at line 1 column 18"),
    ('{"counts": 7}', "invalid type: integer `7`, expected RLE counts at line 1 column 12"),
    ('{"counts": [1, -2]}', "invalid value: integer `-2`, expected a uint32 run length at line 1 column 17"),
    ('{"counts": [1, 2.5]}', "invalid type: floating point `2.5`, expected a uint32 run length at line 1 column 18"),
    ('[[1, 2, "x"]]', 'invalid type: string "x", expected polygon rings or an RLE object at line 1 column 11'),
]


@pytest.mark.parametrize("kind", ["segm", "boundary"])
@pytest.mark.parametrize("text,message", MALFORMED)
def test_malformed_segmentation_is_read_only_with_a_counterpart(tmp_path, kind, text, message):
    good = '{"image_id": 2, "category_id": 1, "bbox": [1, 1, 4, 4], "score": 0.5}'
    bad = '{"image_id": 1, "category_id": 2, "bbox": [1, 1, 4, 4], "score": 0.5, "segmentation": ' + text + "}"
    dataset, store = _one_image(tmp_path, [], "[" + good + ", " + bad + "]")
    # Nothing on image 1 in category 2 to compare with: never parsed.
    quiet = [_gt(image=1, category=1), _gt(image=2, category=1)]
    _run(quiet, store, dataset, kind)
    with pytest.raises(ValueError) as err:
        _run(quiet + [_gt(image=1, category=2)], store, dataset, kind)
    if kind == "segm":
        assert str(err.value) == message
    else:  # the streaming reader reads the whole file: the same text at its place there
        assert str(err.value).startswith(message.rsplit(" at line", 1)[0] + " at line 1 column ")


def test_mask_errors_are_reported_in_row_order(tmp_path):
    rows = [{"image_id": 1, "category_id": 1, "bbox": [1, 1, 4, 4], "score": 0.5,
             "segmentation": [[1, 1, 5, 1, 5, 5]]} for _ in range(3000)]
    rows[1700]["segmentation"] = {"counts": True}
    rows[2900]["segmentation"] = "late"
    dataset, store = _one_image(tmp_path, [_gt()], rows)
    for _ in range(3):
        with pytest.raises(ValueError, match=r"^invalid type: boolean `true`, expected RLE counts"):
            _run([_gt()], store, dataset, "segm", max_dets=[10000])


def test_image_without_size(tmp_path):
    dataset, store = _one_image(tmp_path, [_gt()], [{"image_id": 1, "category_id": 1, "bbox": [1, 1, 4, 4]}])
    (tmp_path / "gt.json").write_text(json.dumps(dataset))
    gt_store = _tarnel.load_compact_bbox(str(tmp_path / "gt.json"), False)[1]
    sizes = {2: (40, 40)}
    for kind in ("segm", "boundary"):
        with pytest.raises(ValueError, match="^no image entry for image_id 1$"):
            p = params(dataset, kind, False)
            _tarnel.Evaluator(gt_store, store, sizes, p["img_ids"], p["cat_ids"], p["iou_thrs"], p["rec_thrs"],
                              p["max_dets"], p["area_rng"], True, kind, [])


KEYPOINT_ERRORS = [
    ("[1, 2, 3, 4]", "incomplete keypoint triplet at line 1 column 12"),
    ("[1, 2, 3, 4, 5, 6]", "inconsistent keypoint counts at line 1 column 18"),
    ('{"x": 1}', "invalid type: map, expected keypoint x/y/visibility triplets at line 1 column 0"),
    ("[1, null, 3]", "invalid type: null, expected a numeric keypoint coordinate at line 1 column 8"),
    ("[]", "inconsistent keypoint counts at line 1 column 2"),
    ("null", "annotation 2 has no keypoints"),
]


@pytest.mark.parametrize("text,message", KEYPOINT_ERRORS)
def test_keypoint_messages_and_budget(tmp_path, text, message):
    ok = "[" + ", ".join(["10.0, 10.0, 1"] * 17) + "]"
    kps = [10.0, 10.0, 2] * 17
    bad = '{"image_id": 1, "category_id": 1, "bbox": [1, 1, 4, 4], "score": %s, "keypoints": ' + text + "}"
    good = '{"image_id": 1, "category_id": 1, "bbox": [1, 1, 4, 4], "score": 0.9, "keypoints": ' + ok + "}"
    # The second detection ranks beyond a budget of one: its text is never read.
    dataset, store = _one_image(tmp_path, [], "[" + good + ", " + bad % "0.1" + "]")
    gt = [_gt(keypoints=kps, num_keypoints=17)]
    _run(gt, store, dataset, "keypoints", max_dets=[1])
    with pytest.raises(ValueError) as err:
        _run(gt, store, dataset, "keypoints", max_dets=[2])
    assert str(err.value) == message


def test_types_and_empty_stores(tmp_path):
    dataset, store = _one_image(tmp_path, [_gt()], [])
    for kind in KINDS:
        r = _run([], store, dataset, kind)
        assert (r["precision"] == -1).all()
    with pytest.raises(TypeError):
        _run(tuple([_gt()]), store, dataset, "bbox")


SHARING_SCRIPT = r"""
import importlib.util, json, sys
found = importlib.util.spec_from_file_location("brandor._tarnel", sys.argv[1])
t = importlib.util.module_from_spec(found)
found.loader.exec_module(t)
n = 20000
rows = [{"image_id": 1 + i % 50, "category_id": 1, "bbox": [i % 7, 1.0, 5.0, 6.0], "score": 0.5} for i in range(n)]
grown = []
for unknown in (False, True):
    rows[n // 2]["image_id"] = 999 if unknown else 1
    with open(sys.argv[2], "w") as f:
        json.dump(rows, f)
    store = t.load_compact_bbox(sys.argv[2], True)[1]
    before = t.alloc_stats()["live_bytes"]
    ev = t.Evaluator([], store, {}, list(range(1, 51)), [1], [0.5], [0.0, 1.0], [100], [[0.0, 1e10]], True,
                     "bbox", [])
    grown.append(t.alloc_stats()["live_bytes"] - before)
    del ev, store
print(json.dumps(grown))
"""


def test_fully_placed_bbox_store_shares_its_boxes(tmp_path):
    from test_alloc_stats import counting_build

    build = counting_build()
    if build is None:
        pytest.skip("no counting build")
    out = subprocess.run([sys.executable, "-c", SHARING_SCRIPT, build, str(tmp_path / "res.json")],
                         capture_output=True, text=True, check=True).stdout
    shared, copied = json.loads(out)
    # About 40 bytes a row beside the shared boxes; one record on an unknown
    # image makes the table copy the boxes, 32 bytes each.
    assert shared < 48 * 20000 and copied - shared >= 31 * 20000


def test_evaluator_outlives_its_stores_and_leaks_nothing(tmp_path):
    from test_evaluator_leaks import block_growth

    dataset, results = case("segm", 77)
    gt_store, dt_store = stores(tmp_path, dataset, results)
    p = params(dataset, "segm", False)
    expected = outputs(evaluator(gt_store, dt_store, dataset, "segm", p), p)
    ev = evaluator(gt_store, dt_store, dataset, "segm", p)
    del gt_store, dt_store  # the snapshot lives on with the evaluator
    assert_same(outputs(ev, p), expected)

    _, bad = _one_image(tmp_path, [], [{"image_id": 1, "category_id": 1, "bbox": [1, 1, 4, 4], "segmentation": 5}])
    one = {"images": [{"id": 1, "height": 40, "width": 40}], "categories": [{"id": 1}]}

    gt_store, dt_store = stores(tmp_path, dataset, results)

    def rounds():
        for kind in ("bbox", "segm", "boundary"):
            outputs(evaluator(gt_store, dt_store, dataset, kind, params(dataset, kind, False)), p)
        try:
            _run([_gt()], bad, one, "segm")
        except ValueError:
            pass
        else:
            raise AssertionError("construction should have failed")

    assert min(block_growth(rounds, 30), block_growth(rounds, 30)) < 20


ONE_PROCESSOR = r"""
import os, pickle, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path.insert(0, sys.argv[1])
import test_evaluator_stores as t
sys.stdout.buffer.write(pickle.dumps(t.store_outputs(sys.argv[2])))
"""


def store_outputs(folder):
    """Outputs and error messages of evaluations from the stores in `folder`."""
    folder = Path(folder)
    out = {}
    for kind in ("segm", "keypoints"):
        dataset = json.loads((folder / f"gt_{kind}.json").read_text())
        gt_store = _tarnel.load_compact_bbox(str(folder / f"gt_{kind}.json"), False)[1]
        p = params(dataset, kind, False)
        for name in ("good", "bad"):
            dt_store = _tarnel.load_compact_bbox(str(folder / f"{name}_{kind}.json"), True)[1]
            try:
                out[kind, name] = outputs(evaluator(gt_store, dt_store, dataset, kind, p), p)[0]["precision"]
            except ValueError as e:
                out[kind, name] = str(e)
    return out


def test_stores_read_alike_on_one_processor(tmp_path):
    # Enough rows that the pool splits them; two bad rows, the first reported.
    for kind, bad in (("segm", ({"counts": 1}, {"counts": 22})), ("keypoints", ([1.0, 2.0], [1.0]))):
        dataset, results = case(kind, 5)
        results = (results * (4000 // len(results) + 1))[:4000]
        (tmp_path / f"gt_{kind}.json").write_text(json.dumps(dataset))
        (tmp_path / f"good_{kind}.json").write_text(json.dumps(results))
        field = "segmentation" if kind == "segm" else "keypoints"
        results = [dict(r) for r in results]
        for at, value in zip((2100, 3500), bad):
            results[at] = dict(results[at], **{field: value}, score=1.0)
        (tmp_path / f"bad_{kind}.json").write_text(json.dumps(results))
    here = store_outputs(tmp_path)
    assert here["segm", "bad"] == "invalid type: integer `1`, expected RLE counts at line 1 column 12"
    assert here["keypoints", "bad"] == "incomplete keypoint triplet at line 1 column 10"
    child = subprocess.run([sys.executable, "-c", ONE_PROCESSOR, str(Path(__file__).parent), str(tmp_path)],
                           capture_output=True, check=True)
    assert_same(pickle.loads(child.stdout), here)


@pytest.mark.parametrize("kind", ["bbox", "segm", "keypoints"])
def test_stores_from_files_match_the_reference(tmp_path, kind):
    """The reference reading the same two files (COCO(path), loadRes(path))
    gives the arrays of an Evaluator built straight from the stores."""
    import contextlib
    import io

    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    dataset, results = case(kind, 41)
    if kind == "keypoints":  # ground truths without keypoints counted, as in COCO's own files
        for i, ann in enumerate(dataset["annotations"]):
            ann["num_keypoints"] = 0 if i % 5 == 0 else sum(v > 0 for v in ann["keypoints"][2::3])
    gt_store, dt_store = stores(tmp_path, dataset, results)
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(tmp_path / "gt.json"))
        E = COCOeval(gt, gt.loadRes(str(tmp_path / "res.json")), kind)
        E.evaluate()
        E.accumulate()
    p = E.params
    sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    ev = _tarnel.Evaluator(gt_store, dt_store, sizes, sorted(set(p.imgIds)), sorted(set(p.catIds)),
                           list(map(float, p.iouThrs)), list(map(float, p.recThrs)), list(p.maxDets),
                           [list(map(float, r)) for r in p.areaRng], True, kind,
                           list(map(float, p.kpt_oks_sigmas)) if kind == "keypoints" else [])
    r = ev.run()
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(r[key], E.eval[key]), key


@pytest.mark.parametrize("kind", KINDS)
def test_wide_ids_and_array_stores_equal_lists(tmp_path, kind):
    dataset, results = case(kind if kind in ("bbox", "keypoints") else "segm", 13)
    # Ids beyond 32 bits move the store to its wide id column.
    wide = {im["id"]: im["id"] + 3_000_000_000 for im in dataset["images"][::2]}
    for ann in dataset["annotations"] + results:
        ann["image_id"] = wide.get(ann["image_id"], ann["image_id"])
    for im in dataset["images"]:
        im["id"] = wide.get(im["id"], im["id"])
    gt_store, dt_store = stores(tmp_path, dataset, results)
    p = params(dataset, kind, False)
    expected = outputs(evaluator(dataset["annotations"], as_loaded(results), dataset, kind, p), p)
    assert_same(outputs(evaluator(gt_store, dt_store, dataset, kind, p), p), expected)
    if kind == "bbox":  # the same detections as an Nx7 float64 array
        rows = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results])
        array_store = _tarnel.load_compact_array(rows)
        assert_same(outputs(evaluator(gt_store, array_store, dataset, kind, p), p), expected)
