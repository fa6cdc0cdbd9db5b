"""load_compact_bbox and load_compact_array against json.load and the reference's
loadRes / loadNumpyAnnotations, and the CompactBbox handle's accessors."""

from __future__ import annotations

import contextlib
import copy
import io
import json
import random

import numpy as np
import pytest
from pycocotools.coco import COCO as RefCOCO

from brandor import _tarnel as T
from conftest import assert_same


def reference_load_res(anns: list, image_ids) -> list:
    """The reference's loadRes field completion on a copy of `anns`."""
    with contextlib.redirect_stdout(io.StringIO()):
        gt = RefCOCO()
        gt.dataset = {"images": [{"id": i} for i in sorted(set(image_ids))], "annotations": [], "categories": []}
        gt.createIndex()
        return gt.loadRes(copy.deepcopy(anns)).dataset["annotations"]


def random_results(seed: int, n: int = 60, wide: bool = False, late_segmentation: int | None = None) -> list:
    rng = random.Random(seed)
    out = []
    for i in range(n):
        box = ([rng.randint(0, 500) for _ in range(4)] if rng.random() < 0.4
               else [round(rng.uniform(0, 500), rng.choice([1, 3, 7])) for _ in range(4)])
        det = {"image_id": rng.randint(1, 9), "category_id": rng.randint(-3, 7), "bbox": box}
        if rng.random() < 0.8:
            det["score"] = rng.choice([rng.random(), 1, 0, round(rng.random(), 2)])
        if rng.random() < 0.2:
            det["iscrowd"] = rng.choice([True, False, 0, 1, 2, -1, None])
        if rng.random() < 0.2:
            det["extra"] = {"nested": [1, {"deep": [None, "a\"b}", 2.5]}], "t": True}
        if rng.random() < 0.1:
            det["id"] = rng.choice([None, rng.randint(0, 99)])
        if late_segmentation is not None and i >= late_segmentation and rng.random() < 0.5:
            det["segmentation"] = rng.choice([
                [[1.0, 2.0, 3.0, 4.0, 5.0, 6.0]], {"size": [10, 10], "counts": "0:1O"}, None])
        if rng.random() < 0.1:
            det = dict(reversed(list(det.items())))  # key order must not matter
        out.append(det)
    if wide:
        out[n // 2]["image_id"] = 2**31
        out[n // 3]["category_id"] = -(2**40)
    return out


def load_results(tmp_path, anns, name="res.json", **dump):
    path = tmp_path / name
    path.write_text(json.dumps(anns, **dump))
    return T.load_compact_bbox(str(path), True)


def rows_of(anns: list) -> np.ndarray:
    return np.array([[a["image_id"], *a["bbox"], a.get("score", 0.0), a["category_id"]] for a in anns],
                    dtype=np.float64).reshape(-1, 7)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("shape", ["plain", "wide", "late_segmentation", "indented"])
def test_results_match_json_load_and_load_res(tmp_path, seed, shape):
    anns = random_results(seed, wide=shape == "wide", late_segmentation=40 if shape == "late_segmentation" else None)
    dump = {"indent": 2} if shape == "indented" else {}
    dataset, handle = load_results(tmp_path, anns, **dump)
    assert dataset == {}
    assert handle.annotation_count == len(anns)
    assert handle.snapshot_bytes == (tmp_path / "res.json").stat().st_size
    assert not handle.from_array and not handle.float32
    ref = reference_load_res(anns, [a["image_id"] for a in anns])
    # loadRes also adds the box polygon as "segmentation" where a result has
    # none; the compact store leaves the annotation as the file holds it.
    for orig, done in zip(anns, ref):
        if "segmentation" not in orig:
            del done["segmentation"]
    assert_same(handle.annotations(), ref)
    rows = handle.array_rows()
    assert rows.flags.c_contiguous and rows.dtype == np.float64
    assert_same(rows, rows_of(anns))
    # Every call builds new objects.
    assert handle.annotations() is not handle.annotations()


def test_wide_ids_and_column_bytes(tmp_path):
    anns = [{"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]} for _ in range(5)]
    _, narrow = load_results(tmp_path, anns, "narrow.json")
    assert narrow.column_bytes == 48 * 5
    anns[3]["image_id"] = 2**63 - 1
    _, wide = load_results(tmp_path, anns, "wide.json")
    assert wide.column_bytes == 64 * 5
    assert wide.array_rows()[:, 0].tolist() == [1, 1, 1, float(2**63 - 1), 1]
    assert [a["image_id"] for a in wide.annotations()] == [1, 1, 1, 2**63 - 1, 1]
    assert wide.valid_images([1, 2**63 - 1]) and not wide.valid_images([1])


def test_dataset_mode(tmp_path):
    anns = random_results(7)
    for i, a in enumerate(anns):
        a["id"] = 1000 - i
        a.pop("iscrowd", None)
        if i % 3 == 0:
            a["area"] = i * 1.5
        if i % 4 == 0:
            a["iscrowd"] = [True, 0, 2, None][i % 16 // 4]
    data = {"info": {"v": 1}, "images": [{"id": i} for i in range(10)], "annotations": anns,
            "categories": [{"id": 1}], "licenses": []}
    path = tmp_path / "gt.json"
    path.write_text(json.dumps(data))
    dataset, handle = T.load_compact_bbox(str(path))
    expected = json.loads(path.read_text())
    assert_same(handle.annotations(), expected["annotations"])
    expected["annotations"] = None
    assert_same(dataset, expected)
    assert handle.annotation_count == len(anns)
    assert handle.column_bytes == (48 + 24) * len(anns)
    assert_same(handle.array_rows(), rows_of(anns))
    assert handle.lvis_annotations([1], {1}, {1: {1}}, None) is None


def test_dataset_keys_keep_file_order_and_repeats_keep_first_position(tmp_path):
    path = tmp_path / "gt.json"
    path.write_text('{"info": 1, "annotations": [], "images": [2], "info": 3}')
    dataset, handle = T.load_compact_bbox(str(path), results=False)
    assert list(dataset.items()) == [("info", 3), ("annotations", None), ("images", [2])]
    assert handle.annotation_count == 0 and handle.annotations() == []


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed", "every_other"])
def test_arrays_match_load_numpy_annotations(dtype, layout):
    rng = np.random.default_rng(3)
    data = rng.uniform(0, 100, size=(40, 7)).astype(dtype)
    data[:, 0] = rng.integers(1, 5, size=40)
    data[:3, 0] = [3.9, -3.9, 3e9]
    data[:, 6] = rng.uniform(-5, 5, size=40)
    data[5, 3] = np.nan
    if layout == "fortran":
        data = np.asfortranarray(data)
    elif layout == "reversed":
        data = data[::-1, ::-1][:, ::-1]
    elif layout == "every_other":
        data = data[::2]
    handle = T.load_compact_array(data)
    assert handle.from_array and handle.float32 == (dtype == np.float32)
    assert handle.annotation_count == len(data) and handle.snapshot_bytes == 0
    ref = RefCOCO.loadNumpyAnnotations(None, data)
    expected = np.array([[a["image_id"], *a["bbox"], a["score"], a["category_id"]] for a in ref], dtype=np.float64)
    assert_same(handle.array_rows(), expected)
    if layout in ("c", "fortran"):
        assert handle.array_rows()[:3, 0].tolist() == [3.0, -3.0, 3e9]
    assert handle.valid_images(sorted(set(int(v) for v in expected[:, 0])))
    assert handle.lvis_annotations([1], set(), {}, 3) is None
    with pytest.raises(ValueError, match=r"^array-backed results are materialized from array_rows\(\)$"):
        handle.annotations()


def test_byte_swapped_arrays_are_read_by_value():
    data = np.arange(14, dtype=">f8").reshape(2, 7)
    assert T.load_compact_array(data).array_rows().tolist() == data.astype("<f8").tolist()


@pytest.mark.parametrize(
    "data, message",
    [
        (np.zeros((5, 6)), "result arrays must have 7 columns"),
        (np.zeros((5, 7), dtype=np.int64), "expected a 2-D float64 or float32 array"),
        (np.zeros(7), "expected a 2-D float64 or float32 array"),
        ([[0.0] * 7], "expected a 2-D float64 or float32 array"),
        (np.array([[np.nan, 0, 0, 0, 0, 0, 1]]), "image and category IDs must be finite int64 values"),
        (np.array([[1, 0, 0, 0, 0, 0, np.inf]]), "image and category IDs must be finite int64 values"),
        (np.array([[2.0**63, 0, 0, 0, 0, 0, 1]]), "image and category IDs must be finite int64 values"),
    ],
)
def test_array_messages(data, message):
    with pytest.raises(ValueError) as info:
        T.load_compact_array(data)
    assert str(info.value) == message


def test_array_edges():
    empty = T.load_compact_array(np.zeros((0, 7), dtype=np.float32))
    assert empty.annotation_count == 0 and empty.from_array and empty.float32
    assert empty.array_rows().shape == (0, 7) and empty.valid_images([])
    low = T.load_compact_array(np.array([[-(2.0**63), 0, 0, 0, 0, 0, 1]]))
    assert low.array_rows()[0, 0] == -(2.0**63)


def test_valid_images(tmp_path):
    _, empty = load_results(tmp_path, [])
    assert empty.valid_images([]) and empty.annotation_count == 0
    _, handle = load_results(tmp_path, random_results(1, n=10), "r.json")
    ids = [int(v) for v in handle.array_rows()[:, 0]]
    assert handle.valid_images(ids) and handle.valid_images(np.array(ids))
    assert not handle.valid_images([]) and not handle.valid_images([i for i in ids if i != ids[-1]])
    with pytest.raises(TypeError) as info:
        handle.valid_images("12")
    assert info.value.__notes__ == ["while processing 'images'"]


def test_handles_cannot_be_made_directly():
    with pytest.raises(TypeError):
        T.CompactBbox()


def test_missing_files_raise_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        T.load_compact_bbox(str(tmp_path / "absent.json"), True)
    with pytest.raises(IsADirectoryError):
        T.load_compact_bbox(str(tmp_path))
    with pytest.raises(TypeError) as info:
        T.load_compact_bbox(tmp_path)
    assert info.value.__notes__ == ["while processing 'path'"]
