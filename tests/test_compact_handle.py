"""CompactBbox.lvis_annotations against a plain Python statement of the rule,
and the annotation index helpers against Python's own semantics."""

from __future__ import annotations

import json
import random

import numpy as np
import pytest

from brandor import _tarnel as T


def load_results(tmp_path, anns):
    path = tmp_path / "res.json"
    path.write_text(json.dumps(anns))
    return T.load_compact_bbox(str(path), True)[1]


def lvis_rule(anns, image_ids, categories, verified, max_det):
    """The federated selection, stated plainly: group by image in file order,
    cap each verified image at max_det by score (stable), then filter."""
    groups: dict = {}
    for pos, a in enumerate(anns):
        if a["image_id"] in verified:
            groups.setdefault(a["image_id"], []).append((pos, a))
    out = []
    for img in image_ids:
        kept = groups.get(img, [])
        if max_det is not None and len(kept) > max_det:
            kept = sorted(kept, key=lambda pa: pa[1].get("score", 0.0), reverse=True)[:max_det]
        for pos, a in kept:
            if a["category_id"] in categories and a["category_id"] in verified[img]:
                done = dict(a)
                done["area"] = a["bbox"][2] * a["bbox"][3]
                done["id"] = pos + 1
                done["iscrowd"] = 0
                out.append(done)
    return out


def test_federated_example(tmp_path):
    scores = [0.9, 0.5, 0.9, 0.1, 0.7]
    anns = [{"image_id": 4, "category_id": c, "bbox": [0, 0, 2, 3], "score": s}
            for s, c in zip(scores, [1, 1, 2, 1, 3])]
    anns.insert(2, {"image_id": 5, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1.0})
    handle = load_results(tmp_path, anns)
    got = handle.lvis_annotations([4], {1, 2, 3}, {4: {1, 2, 3}}, 3)
    assert [(a["score"], a["id"]) for a in got] == [(0.9, 1), (0.9, 4), (0.7, 6)]
    assert got[0] == {**anns[0], "area": 6, "id": 1, "iscrowd": 0}
    got = handle.lvis_annotations([4], {1, 2, 3}, {4: frozenset({1, 2})}, 3)
    assert [a["id"] for a in got] == [1, 4]
    assert handle.lvis_annotations([4, 5], {1}, {5: {1}}, None) == [{**anns[2], "area": 1, "id": 3, "iscrowd": 0}]
    assert handle.lvis_annotations([4], {1}, {4: set()}, None) == []
    assert [a["id"] for a in handle.lvis_annotations([4], {1, 2, 3}, {4: {1, 2, 3}}, None)] == [1, 2, 4, 5, 6]


@pytest.mark.parametrize("seed", range(8))
def test_federated_selection_follows_the_rule(tmp_path, seed):
    rng = random.Random(seed)
    anns = []
    for _ in range(rng.randint(0, 80)):
        a = {"image_id": rng.randint(1, 6), "category_id": rng.randint(1, 5),
             "bbox": [rng.randint(0, 9), 0, rng.choice([2, 2.5]), rng.randint(1, 4)]}
        if rng.random() < 0.9:
            a["score"] = rng.choice([0.1, 0.5, 0.9, rng.random()])
        if rng.random() < 0.2:
            a["extra"] = {"x": [1, 2]}
        anns.append(a)
    handle = load_results(tmp_path, anns)
    images = rng.sample(range(0, 8), rng.randint(0, 8))
    categories = set(rng.sample(range(1, 6), rng.randint(0, 5)))
    verified = {i: frozenset(rng.sample(range(1, 6), rng.randint(0, 5))) for i in rng.sample(range(0, 8), 5)}
    max_det = rng.choice([None, 0, 1, 3, 10])
    got = handle.lvis_annotations(images, categories, verified, max_det)
    assert got == lvis_rule(anns, images, categories, verified, max_det)


def test_lvis_argument_types(tmp_path):
    handle = load_results(tmp_path, [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1]}])
    for args, name in [(("1", {1}, {}, None), "image_ids"), (([1], [1], {}, None), "categories"),
                       (([1], {1}, [], None), "verified"), (([1], {1}, {1: [1]}, None), "verified"),
                       (([1], {1}, {}, -1), "max_det"), (([1], {1}, {}, 1.5), "max_det")]:
        with pytest.raises((TypeError, OverflowError)) as info:
            handle.lvis_annotations(*args)
        assert info.value.__notes__ == [f"while processing '{name}'"]


# --- index_annotations / prepare_bbox_results ------------------------------------

def test_indexes_hold_the_very_objects():
    anns = [{"id": 1, "image_id": 7, "category_id": 3}, {"id": 2, "image_id": 8, "category_id": 3},
            {"id": 1, "image_id": 7, "category_id": 4}]
    by_id, by_image, by_cat = T.index_annotations(anns, True)
    assert type(by_id) is dict and type(by_image) is dict and type(by_cat) is dict
    assert by_id[1] is anns[2] and by_id[2] is anns[1]
    assert [a is b for a, b in zip(by_image[7], [anns[0], anns[2]])] == [True, True]
    assert list(by_image) == [7, 8] and by_cat == {3: [7, 8], 4: [7]}
    assert T.index_annotations(anns, False)[2] == {}
    assert T.index_annotations([], True) == ({}, {}, {})


def test_index_failures_propagate():
    with pytest.raises(KeyError):
        T.index_annotations([{"id": 1, "image_id": 1}], True)
    with pytest.raises(TypeError):
        T.index_annotations([{"id": 1, "image_id": [1]}], False)
    with pytest.raises(TypeError) as info:
        T.index_annotations((), True)
    assert info.value.__notes__ == ["while processing 'annotations'"]


def test_prepare_keeps_python_arithmetic():
    anns = [{"bbox": [0, 0, 3, 4]}, {"bbox": [0.0, 0.0, 1.5, 2.0], "segmentation": None},
            {"bbox": np.array([0, 0, 2, 5], dtype=np.int32)}, {"bbox": [0, 0, 2**70, 3]}]
    assert T.prepare_bbox_results(anns) is None
    assert anns[0] == {"bbox": [0, 0, 3, 4], "area": 12, "id": 1, "iscrowd": 0}
    assert type(anns[0]["area"]) is int and type(anns[1]["area"]) is float and anns[1]["area"] == 3.0
    assert type(anns[2]["area"]) is np.int32 and anns[2]["area"] == 10
    assert anns[3]["area"] == 3 * 2**70
    assert list(anns[1]) == ["bbox", "segmentation", "area", "id", "iscrowd"]
    assert "segmentation" not in anns[0]


def test_prepare_fills_up_to_the_failing_annotation():
    anns = [{"bbox": [0, 0, 1, 1]}, {"bbox": [0, 0, 2, 2]}, {"box": []}, {"bbox": [0, 0, 3, 3]}]
    with pytest.raises(KeyError):
        T.prepare_bbox_results(anns)
    assert [a.get("id") for a in anns] == [1, 2, None, None]
    assert anns[1]["iscrowd"] == 0
    with pytest.raises(IndexError):
        T.prepare_bbox_results([{"bbox": [1, 2]}])


def test_helpers_stop_at_the_length_they_started_with():
    class Growing(dict):
        def __getitem__(self, key):
            if key == "bbox":
                anns.append({"bbox": [0, 0, 1, 1]})
            return super().__getitem__(key)

    anns = [Growing(bbox=[0, 0, 1, 1]), Growing(bbox=[0, 0, 2, 2])]
    T.prepare_bbox_results(anns)
    assert len(anns) == 4 and "id" not in anns[2] and anns[1]["id"] == 2


# --- no leaks ---------------------------------------------------------------------

def _block_growth(action, rounds=150):
    import gc
    import sys

    action()
    action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def test_compact_calls_leave_nothing_behind(tmp_path):
    anns = [{"image_id": i % 3, "category_id": 1, "bbox": [0, 0, 2, 2], "score": i / 10, "x": [1, {"y": 2}]}
            for i in range(10)]
    res = tmp_path / "res.json"
    res.write_text(json.dumps(anns))
    gt = tmp_path / "gt.json"
    gt.write_text(json.dumps({"info": {"a": [1]}, "annotations": [dict(a, id=i) for i, a in enumerate(anns)]}))
    bad = tmp_path / "bad.json"
    bad.write_text('{"info": [1, 2], "annotations": [{"id": 1}]}')

    def everything():
        _, h = T.load_compact_bbox(str(res), True)
        h.annotations(), h.array_rows(), h.valid_images([0, 1, 2])
        h.lvis_annotations([0, 1], {1}, {0: {1}, 1: {1}}, 2)
        _, g = T.load_compact_bbox(str(gt))
        g.annotations()
        T.load_compact_array(np.ones((4, 7), dtype=np.float32)).array_rows()
        listed = [dict(a, id=i) for i, a in enumerate(anns)]
        T.index_annotations(listed, True)
        T.prepare_bbox_results(listed)
        for call in (lambda: T.load_compact_bbox(str(bad)), lambda: T.prepare_bbox_results([{"bbox": [1]}]),
                     lambda: T.index_annotations([{"id": 1}], True), lambda: h.lvis_annotations("x", set(), {}, 1)):
            try:
                call()
            except (ValueError, IndexError, KeyError, TypeError):
                pass

    # A leak of one object per call adds at least 150 blocks; caches filling once do not.
    assert min(_block_growth(everything), _block_growth(everything)) < 100
