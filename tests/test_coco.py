"""brandor.COCO against pycocotools' COCO, both loaded from the same JSON files."""

from __future__ import annotations

import copy
import io
import sys
from contextlib import redirect_stdout
import itertools
import json
from pathlib import Path

import numpy as np
import pytest
from pycocotools.coco import COCO as RefCOCO

import brandor
from conftest import assert_same, synth, without_timings


def load_both(capsys: pytest.CaptureFixture[str], path: str) -> tuple[brandor.COCO, RefCOCO]:
    ours = brandor.COCO(path)
    out_ours = capsys.readouterr().out
    ref = RefCOCO(path)
    out_ref = capsys.readouterr().out
    assert without_timings(out_ours) == without_timings(out_ref)
    return ours, ref


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("keypoints", [False, True])
def test_indexes(case_files, capsys, seed, keypoints):
    gt, _ = case_files(seed, keypoints=keypoints, crowd_fraction=0.1)
    ours, ref = load_both(capsys, gt)
    for name in ("dataset", "anns", "imgs", "cats", "imgToAnns", "catToImgs"):
        assert_same(getattr(ours, name), getattr(ref, name), f"seed {seed} {name}")


def test_from_dict_builds_the_same_indexes(case_files, capsys):
    gt, _ = case_files(5)
    with open(gt) as f:
        dataset = json.load(f)
    ours = brandor.COCO(dataset)
    assert capsys.readouterr().out == "creating index...\nindex created!\n"
    assert ours.dataset is dataset
    ref = RefCOCO(gt)
    for name in ("anns", "imgs", "cats", "imgToAnns", "catToImgs"):
        assert_same(getattr(ours, name), getattr(ref, name), name)


def test_empty_and_malformed(tmp_path, capsys):
    ours, ref = brandor.COCO(), RefCOCO()
    assert_same(ours.dataset, ref.dataset)
    for coco in (ours, ref):
        with pytest.raises(KeyError, match="annotations"):
            coco.getAnnIds()
    path = tmp_path / "list.json"
    path.write_text("[1, 2]")
    for cls in (brandor.COCO, RefCOCO):
        with pytest.raises(AssertionError, match="annotation file format <class 'list'> not supported"):
            cls(str(path))
        with pytest.raises(FileNotFoundError):
            cls(str(tmp_path / "missing.json"))
        with pytest.raises(ValueError):
            (tmp_path / "bad.json").write_text('{"images": [1, }')
            cls(str(tmp_path / "bad.json"))
    capsys.readouterr()


def filter_values(ref: RefCOCO) -> dict[str, list]:
    img_ids = list(ref.imgs)
    cat_ids = list(ref.cats)
    names = [c["name"] for c in ref.dataset["categories"]]
    sups = [c["supercategory"] for c in ref.dataset["categories"]]
    return {
        "imgIds": [[], img_ids[0], img_ids[:5] + [-7], tuple(img_ids[3:9]), np.array(img_ids[:4])],
        "catIds": [[], cat_ids[1], cat_ids[:3] + [12345], cat_ids],
        "areaRng": [[], [0, 32 ** 2], [32 ** 2, 1e10]],
        "iscrowd": [None, 0, 1, False, True],
        # A single name is a str, which the reference treats as a sequence of
        # characters: names then match by substring. "class_1" + "2" picks
        # class_1, class_2 and class_12 when present.
        "catNms": [[], names[0], names[:2], names[0] + "2"],
        "supNms": [[], sups[0], sups[:3]],
    }


def test_getters_with_every_filter_combination(case_files, capsys):
    gt, _ = case_files(3, n_images=40, n_categories=14, crowd_fraction=0.2)
    ours, ref = load_both(capsys, gt)
    values = filter_values(ref)
    for img, cat, area, crowd in itertools.product(values["imgIds"], values["catIds"], values["areaRng"], values["iscrowd"]):
        assert ours.getAnnIds(img, cat, area, crowd) == ref.getAnnIds(img, cat, area, crowd), (img, cat, area, crowd)
    for nms, sups, cat in itertools.product(values["catNms"], values["supNms"], values["catIds"]):
        assert ours.getCatIds(nms, sups, cat) == ref.getCatIds(nms, sups, cat), (nms, sups, cat)
    for img, cat in itertools.product(values["imgIds"], values["catIds"]):
        # Same elements in the same order: the set operations are the reference's.
        assert ours.getImgIds(img, cat) == ref.getImgIds(img, cat), (img, cat)
    # Looking up an unknown category grew both category indexes alike.
    assert_same(ours.catToImgs, ref.catToImgs)


def test_load_by_ids(case_files, capsys):
    gt, _ = case_files(4)
    ours, ref = load_both(capsys, gt)
    ann_id, img_id, cat_id = next(iter(ref.anns)), next(iter(ref.imgs)), next(iter(ref.cats))
    for method, key in (("loadAnns", ann_id), ("loadImgs", img_id), ("loadCats", cat_id)):
        for ids in ([key], (key, key), key, np.int64(key), np.array([key]), []):
            assert_same(getattr(ours, method)(ids), getattr(ref, method)(ids), f"{method}({ids!r})")
        for coco in (ours, ref):
            with pytest.raises(KeyError):
                getattr(coco, method)([-1])
    assert ours.loadAnns() == ref.loadAnns() == []


def test_info(case_files, capsys):
    gt, _ = case_files(4)
    ours, ref = load_both(capsys, gt)
    ours.info()
    a = capsys.readouterr().out
    ref.info()
    assert a == capsys.readouterr().out != ""


def load_res_both(capsys, ours: brandor.COCO, ref: RefCOCO, make_input) -> tuple[brandor.COCO, RefCOCO]:
    res_ours = ours.loadRes(make_input())
    out_ours = capsys.readouterr().out
    res_ref = ref.loadRes(make_input())
    out_ref = capsys.readouterr().out
    assert without_timings(out_ours) == without_timings(out_ref)
    return res_ours, res_ref


def compare_results(res_ours: brandor.COCO, res_ref: RefCOCO) -> None:
    assert_same(res_ours.dataset, res_ref.dataset, "dataset")
    for name in ("anns", "imgs", "cats", "imgToAnns", "catToImgs"):
        assert_same(getattr(res_ours, name), getattr(res_ref, name), name)


@pytest.mark.parametrize("kind", ["bbox", "segm", "keypoints"])
@pytest.mark.parametrize("source", ["list", "file"])
def test_load_res(case_files, capsys, kind, source):
    gt, res_path = case_files(7, kind=kind, keypoints=kind == "keypoints")
    ours, ref = load_both(capsys, gt)
    with open(res_path) as f:
        results = json.load(f)
    make_input = (lambda: copy.deepcopy(results)) if source == "list" else (lambda: res_path)
    compare_results(*load_res_both(capsys, ours, ref, make_input))


@pytest.mark.parametrize("source", ["list", "file"])
def test_keypoint_results_of_every_number_kind(case_files, capsys, source):
    # Rows of floats, of integers only (int64 extents), of ints and floats
    # mixed, with a NaN, with bools, and of another length: each completed
    # with the values and types the reference's per-result np.min gives.
    gt, res_path = case_files(11, kind="keypoints", keypoints=True)
    with open(res_path) as f:
        results = json.load(f)
    variants = [
        lambda k: [int(v) for v in k],
        lambda k: [int(v) if i % 2 else v for i, v in enumerate(k)],
        lambda k: [True if i % 3 == 2 else v for i, v in enumerate(k)],
        lambda k: k,
    ]
    if source == "list":  # a JSON file holds no NaN
        variants.append(lambda k: [float("nan")] + k[1:])
    for i, r in enumerate(results):
        r["keypoints"] = variants[i % len(variants)](r["keypoints"])
    ours, ref = load_both(capsys, gt)
    path = str(Path(res_path).with_name("kp_kinds.json"))
    with open(path, "w") as f:
        json.dump(results, f)
    make_input = (lambda: copy.deepcopy(results)) if source == "list" else (lambda: path)
    compare_results(*load_res_both(capsys, ours, ref, make_input))
    results[3]["keypoints"] = results[3]["keypoints"][:-3]  # a shorter row: every row on its own
    compare_results(*load_res_both(capsys, ours, ref, lambda: copy.deepcopy(results)))


def _bits(v):
    """A value with its exact type, and floats by their bits (so -0.0 is not 0.0)."""
    if isinstance(v, (list, tuple)):
        return type(v), [_bits(x) for x in v]
    if isinstance(v, np.ndarray):
        return type(v), v.dtype, v.shape, v.tobytes()
    if isinstance(v, (float, np.floating)):
        return type(v), np.float64(v).tobytes()
    return type(v), v


def _completed_both(gt: str, results: list, errstate: str) -> list:
    """The per-result completions (or the error) of loadRes on copies of `results`, ours then the reference's."""
    out = []
    for coco in (brandor.COCO(gt), RefCOCO(gt)):
        anns = copy.deepcopy(results)
        with redirect_stdout(io.StringIO()), np.errstate(all=errstate):
            try:
                coco.loadRes(anns)
                error = None
            except Exception as e:
                error = (type(e), str(e))
        out.append(([{k: _bits(v) for k, v in a.items()} for a in anns], error))
    return out


@pytest.mark.parametrize("errstate", ["ignore", "raise"])
def test_keypoint_completion_at_the_edges_of_float64(case_files, errstate):
    # Signed zeros (whose sign a reduction may pick either way), infinities,
    # overflowing and underflowing widths and areas, NumPy and bool elements,
    # and keypoints held in tuples or arrays: ours equals the reference's
    # per-result np.min / np.max and scalar arithmetic, bit for bit, and under
    # np.seterr(all="raise") fails where the reference fails.
    gt, _ = case_files(12, kind="keypoints", keypoints=True)
    base = [10.5, 20.25, 2.0, 30.5, 5.0, 1.0, 12.0, 8.75, 2.0]
    rows = [
        base,
        [0.0, 1.5, 2.0, -0.0, 3.5, 2.0, 7.25, 0.0, 1.0],
        [-0.0, -0.0, 2.0, -0.0, -0.0, 2.0],
        [float("inf"), 1.5, 2.0, 3.5, 2.5, 2.0],
        [float("inf"), 1.5, 2.0, float("inf"), 2.5, 2.0],
        [-1e308, 1.5, 2.0, 1e308, 2.5, 2.0],
        [1e-200, 1e-200, 2.0, 3e-200, 3e-200, 2.0],
        [1e-160, 1e-160, 2.0, 3e-160, 3e-160, 2.0],
        [1.5, 2.5, 2.0, 1.5, 2.5, 2.0],
        [2**53 + 1, 1.5, 2.0, 4.0, 2.5, 2.0],
        [2**70, 1.5, 2.0, 4.5, 2.5, 2.0],
        [np.float64(1.5), 1.25, 2.0, 4.5, 2.5, 2.0],
        tuple(base),
        np.array(base),
        [5.5, True, 2.0, 1.5, False, 2.0],
    ]
    results = [{"image_id": 0, "category_id": 1, "keypoints": list(k) if i == 0 else k, "score": 0.5}
               for i, k in enumerate(rows)]
    with open(gt) as f:
        img = json.load(f)["images"][0]["id"]
    for r in results:
        r["image_id"] = img
    ours, ref = _completed_both(gt, results, errstate)
    assert ours[1] == ref[1]
    if ref[1] is None:
        assert ours[0] == ref[0]


def test_mask_completion_equals_the_reference(case_files):
    # Results with and without their own box, a segmentation given as a list
    # of RLEs, str and bytes counts; and a result with broken counts in the
    # middle: the same error, with the results before it completed.
    gt, res_path = case_files(13, kind="segm")
    with open(res_path) as f:
        results = json.load(f)[:40]
    results[3]["bbox"] = [1.0, 2.0, 3.0, 4.0]
    results[5]["segmentation"] = [results[6]["segmentation"], results[7]["segmentation"]]
    results[8]["segmentation"] = dict(results[8]["segmentation"], counts=results[8]["segmentation"]["counts"].encode())
    for errstate in ("ignore", "raise"):
        ours, ref = _completed_both(gt, results, errstate)
        assert ours == ref and ref[1] is None
    broken = copy.deepcopy(results)
    broken[20]["segmentation"] = {"size": [10, 10], "counts": 17}
    ours, ref = _completed_both(gt, broken, "ignore")
    assert ours[1] is not None and ours[1][0] is ref[1][0]
    assert ours[0] == ref[0]


def test_load_res_completes_the_dicts_in_place(case_files, capsys):
    gt, res_path = case_files(8)
    ours = brandor.COCO(gt)
    with open(res_path) as f:
        results = json.load(f)
    res = ours.loadRes(results)
    capsys.readouterr()
    assert res.dataset["annotations"] is results
    assert [r["id"] for r in results] == list(range(1, len(results) + 1))
    assert res.dataset["images"] == ours.dataset["images"] and res.dataset["images"] is not ours.dataset["images"]
    assert res.dataset["categories"] == ours.dataset["categories"]
    assert res.dataset["categories"][0] is not ours.dataset["categories"][0]


def test_load_res_variants(case_files, capsys):
    """Results with their own segmentation or bbox, captions, and a dataset without info."""
    gt, res_path = case_files(9)
    with open(gt) as f:
        dataset = json.load(f)
    del dataset["info"]
    ours, ref = brandor.COCO(copy.deepcopy(dataset)), RefCOCO()
    ref.dataset = copy.deepcopy(dataset)
    ref.createIndex()
    capsys.readouterr()
    with open(res_path) as f:
        boxes = json.load(f)
    _, segm_path = case_files(9, kind="segm")
    with open(segm_path) as f:
        masks = json.load(f)
    boxes_with_masks = [dict(b, segmentation=m["segmentation"]) for b, m in zip(boxes, masks)]
    masks_with_boxes = [dict(m, bbox=[1.0, 2.0, 3.0, 4.0]) for m in masks]
    captions = [{"image_id": b["image_id"], "caption": "a picture"} for b in boxes[::7]]
    for results in (boxes_with_masks, masks_with_boxes, captions):
        compare_results(*load_res_both(capsys, ours, ref, lambda: copy.deepcopy(results)))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_load_res_from_array(case_files, capsys, dtype):
    gt, res_path = case_files(10, n_images=20, dets_per_image=30)
    ours, ref = load_both(capsys, gt)
    with open(res_path) as f:
        results = json.load(f)
    rows = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results], dtype=dtype)
    compare_results(*load_res_both(capsys, ours, ref, lambda: rows.copy()))
    for coco in (ours, ref):
        with pytest.raises(AssertionError):
            coco.loadRes(rows[:, :6].copy())
    capsys.readouterr()


def test_load_res_errors(case_files, capsys):
    gt, res_path = case_files(11)
    ours, ref = load_both(capsys, gt)
    foreign = [{"image_id": -5, "bbox": [1, 2, 3, 4], "score": 0.5, "category_id": 1}]
    for coco in (ours, ref):
        with pytest.raises(IndexError):
            coco.loadRes([])
        with pytest.raises(AssertionError, match="^Results do not correspond to current coco set$"):
            coco.loadRes(copy.deepcopy(foreign))
        with pytest.raises(AssertionError, match="^results in not an array of objects$"):
            coco.loadRes({"annotations": []})
    capsys.readouterr()


def test_ann_to_rle_and_mask(case_files, capsys):
    gt, _ = case_files(12, crowd_fraction=0.3)
    ours, ref = load_both(capsys, gt)
    crowd_seen = polygon_seen = False
    for ann_id in list(ref.anns)[:40]:
        a, b = ours.anns[ann_id], ref.anns[ann_id]
        crowd_seen |= bool(a["iscrowd"])
        polygon_seen |= not a["iscrowd"]
        assert_same(ours.annToRLE(a), ref.annToRLE(b), f"ann {ann_id}")
        assert_same(ours.annToMask(a), ref.annToMask(b), f"ann {ann_id}")
    assert crowd_seen and polygon_seen


def test_synthetic_dataset_shape():
    """The generator covers what the differential tests rely on."""
    d = synth.make_dataset(300, 10, seed=3, keypoints=True, crowd_fraction=0.05)
    anns = d["annotations"]
    areas = np.array([a["area"] for a in anns])
    assert (areas < 32 ** 2).any() and ((areas > 32 ** 2) & (areas < 96 ** 2)).any() and (areas > 96 ** 2).any()
    assert (areas == 32 ** 2).any()
    assert any(a["iscrowd"] for a in anns) and any(a["num_keypoints"] == 0 and not a["iscrowd"] for a in anns)
    with_gt = {a["image_id"] for a in anns}
    assert any(img["id"] not in with_gt for img in d["images"])
    assert all(len(a["keypoints"]) == 51 for a in anns)
    res = synth.make_results(d, 20, seed=4)
    scores = [r["score"] for r in res]
    assert len(set(scores)) < len(scores)
    assert len({r["category_id"] for r in res}) < len(d["categories"])
    assert synth.make_dataset(300, 10, seed=3, keypoints=True, crowd_fraction=0.05) == d


def test_download_fetches_missing_images_as_the_reference(tmp_path):
    import re

    from pycocotools.coco import COCO as RefCOCO

    source = tmp_path / "source"
    source.mkdir()
    images = []
    for i in range(3):
        (source / f"{i}.jpg").write_bytes(bytes([i]) * 10)
        images.append({"id": i + 1, "file_name": f"{i}.jpg", "coco_url": (source / f"{i}.jpg").as_uri()})
    dataset = {"images": images, "annotations": [], "categories": []}
    outputs = []
    for cls, name in ((brandor.COCO, "ours"), (RefCOCO, "ref")):
        coco = cls()
        coco.dataset = dataset
        with redirect_stdout(io.StringIO()):
            coco.createIndex()
        target = tmp_path / name / "nested"
        buf = io.StringIO()
        with redirect_stdout(buf):
            assert coco.download(None) == -1
            coco.download(target, imgIds=[1, 3])
            (target / "0.jpg").write_bytes(b"kept")
            coco.download(target)
        outputs.append(re.sub(r"t=\d+\.\ds", "t=#s", buf.getvalue()))
        assert sorted(p.name for p in target.iterdir()) == ["0.jpg", "1.jpg", "2.jpg"]
        assert (target / "0.jpg").read_bytes() == b"kept" and (target / "1.jpg").read_bytes() == b"\x01" * 10
    assert outputs[0] == outputs[1]


def test_show_anns_without_drawing(monkeypatch):
    coco = brandor.COCO({"images": [], "annotations": [], "categories": []})
    assert coco.showAnns([]) == 0
    buf = io.StringIO()
    with redirect_stdout(buf):
        coco.showAnns([{"caption": "a cat"}, {"caption": "on a mat"}])
    assert buf.getvalue() == "a cat\non a mat\n"
    with pytest.raises(Exception, match="^datasetType not supported$"):
        coco.showAnns([{"bbox": [0, 0, 1, 1]}])
    # Drawing without matplotlib installed: a plain error that says what is missing.
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="showAnns needs matplotlib"):
        coco.showAnns([{"segmentation": [[0, 0, 1, 0, 1, 1]]}])
