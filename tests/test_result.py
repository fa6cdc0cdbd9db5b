"""brandor.evaluate and EvalResult against the reference: stats, lines, per-class AP, JSON round trip."""

from __future__ import annotations

import copy
import json

import numpy as np
import pytest

import brandor
from brandor.result import EvalResult, format_comparison, format_per_category
from conftest import synth
from support.reference import framework_per_class_ap, reference_eval

KINDS = [("bbox", False, "bbox"), ("segm", False, "segm"), ("keypoints", True, "keypoints")]


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    """One small case per kind, as files: {iou_type: (gt_path, res_path)}."""
    root = tmp_path_factory.mktemp("result")
    out = {}
    for iou_type, keypoints, kind in KINDS:
        dataset = synth.make_dataset(40, 1 if keypoints else 7, seed=11, keypoints=keypoints)
        results = synth.make_results(dataset, 12, seed=12, kind=kind)
        gt, res = root / f"gt_{iou_type}.json", root / f"res_{iou_type}.json"
        gt.write_text(json.dumps(dataset))
        res.write_text(json.dumps(results))
        out[iou_type] = (str(gt), str(res))
    return out


@pytest.mark.parametrize("iou_type", [k[0] for k in KINDS])
def test_stats_lines_and_per_class_equal_the_reference(cases, iou_type):
    gt, res = cases[iou_type]
    ref, ref_lines = reference_eval(gt, res, iou_type)
    ours = brandor.evaluate(gt, res, iou_type)
    assert list(ours.stats.values()) == ref.stats.tolist()
    assert ours.summary_lines() == ref_lines
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(getattr(ours, key), ref.eval[key]), key
    rows = ours.per_category()
    assert [r["category_id"] for r in rows] == ref.params.catIds
    assert [r["AP"] for r in rows] == framework_per_class_ap(ref.eval["precision"])


def test_stat_names():
    names = {"bbox": ["AP", "AP50", "AP75", "APs", "APm", "APl", "AR1", "AR10", "AR100", "ARs", "ARm", "ARl"],
             "keypoints": ["AP", "AP50", "AP75", "APm", "APl", "AR", "AR50", "AR75", "ARm", "ARl"]}
    from brandor.result import summary_entries
    for iou_type, expected in names.items():
        assert [e.name for e in summary_entries(iou_type, [1, 10, 100])] == expected


def test_inputs_in_every_form_give_the_same_result(cases):
    gt_path, res_path = cases["bbox"]
    with open(gt_path) as f:
        dataset = json.load(f)
    with open(res_path) as f:
        results = json.load(f)
    array = np.array([[r["image_id"], *r["bbox"], r["score"], r["category_id"]] for r in results])
    base = brandor.evaluate(gt_path, res_path)
    coco = brandor.COCO(copy.deepcopy(dataset))
    for gt, res in [(dataset, copy.deepcopy(results)), (coco, array), (coco, coco.loadRes(copy.deepcopy(results)))]:
        other = brandor.evaluate(gt, res)
        assert np.array_equal(other.precision, base.precision)
        assert other.stats == base.stats
    # A ground-truth path is read into the compact store, as COCO(path) reads it.
    from brandor.api import load_ground_truth
    assert load_ground_truth(gt_path)._untouched_store() is not None


def test_evaluate_prints_nothing(cases, capsys):
    brandor.evaluate(*cases["segm"], iou_type="segm")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("iou_type", ["bbox", "keypoints"])
def test_json_round_trip(cases, iou_type):
    ours = brandor.evaluate(*cases[iou_type], iou_type=iou_type)
    doc = json.loads(ours.to_json())
    back = EvalResult.from_json(json.dumps(doc))
    for key in ("precision", "recall", "scores"):
        a, b = getattr(back, key), getattr(ours, key)
        assert a.dtype == b.dtype and np.array_equal(a, b), key
    assert back.stats == ours.stats == doc["stats"]
    assert back.per_category() == ours.per_category() == doc["per_category"]
    assert back.to_dict() == ours.to_dict()
    assert "precision" not in ours.to_dict(arrays=False)
    with pytest.raises(ValueError, match="without its arrays"):
        EvalResult.from_dict(ours.to_dict(arrays=False))


def test_select(cases):
    ours = brandor.evaluate(*cases["bbox"])
    assert ours.select(iou=0.5).ap == ours.stats["AP50"]
    assert ours.select().ap == ours.stats["AP"]
    assert ours.select(max_dets=1).ar == ours.stats["AR1"]
    assert ours.select(area="small").ar == ours.stats["ARs"]
    cat = ours.categories[2]["id"]
    one = ours.select(category=cat)
    assert one.precision.shape == (10, 101, 1) and one.cat_ids == [cat]
    assert one.ap == ours.per_category()[2]["AP"]
    assert np.array_equal(ours.select(iou=0.75).precision[0], ours.precision[5, :, :, 0, 2])
    for kwargs, message in [({"iou": 0.52}, "no IoU threshold 0.52"), ({"area": "tiny"}, "no area range labelled 'tiny'"),
                            ({"max_dets": 50}, "no detection cap 50"), ({"category": 10**6}, "no category 1000000")]:
        with pytest.raises(ValueError, match=message):
            ours.select(**kwargs)


def test_counts_per_category(cases):
    gt_path, res_path = cases["bbox"]
    with open(gt_path) as f:
        dataset = json.load(f)
    with open(res_path) as f:
        results = json.load(f)
    rows = brandor.evaluate(gt_path, res_path).per_category()
    for row in rows:
        cid = row["category_id"]
        assert row["num_gt"] == sum(1 for a in dataset["annotations"] if a["category_id"] == cid and not a["iscrowd"])
        assert row["num_dt"] == sum(1 for r in results if r["category_id"] == cid)
    # The generator leaves one category without detections.
    assert any(r["num_dt"] == 0 and r["AP"] == 0.0 for r in rows)


def test_empty_results_evaluate_to_zero(cases):
    result = brandor.evaluate(cases["bbox"][0], [])
    assert result.stats["AP"] == 0.0 and all(r["num_dt"] == 0 for r in result.per_category())


@pytest.mark.parametrize("results, message", [
    ({"a": 1}, "results must be a JSON array of detections, not an object"),
    ([{"image_id": 10**9, "bbox": [0, 0, 1, 1], "score": 1, "category_id": 1}],
     "results on 1 image(s) that are not in the ground truth (image_id 1000000000)"),
    ([{"bbox": [0, 0, 1, 1]}], "detection 0 has no 'image_id'"),
    ([{"image_id": 1, "bbox": [0, 0, 1, 1], "score": 1}], "detection 0 has no 'category_id'"),
    ([{"image_id": 1, "bbox": [0, 0, 1, 1], "category_id": 1, "score": 1},
      {"image_id": 1, "bbox": [0, 0, 1, 1], "category_id": 1}], "detection 1 has no 'score'"),
    ([{"image_id": 1, "bbox": "0 0 1 1", "category_id": 1, "score": 1}],
     "detection 0 has a 'bbox' that is not four numbers"),
    ([3], "detection 0 is a number, not an object"),
    (np.zeros((2, 6)), "a results array must have 7 columns"),
])
def test_input_errors(cases, results, message):
    with pytest.raises(brandor.InputError) as info:
        brandor.evaluate(cases["bbox"][0], results)
    assert str(info.value).startswith("results: " + message)


def test_tables_are_aligned(cases):
    ours = brandor.evaluate(*cases["bbox"])
    table = format_per_category(ours).splitlines()
    assert table[0].split() == ["id", "name", "AP", "AP50", "AP75", "APs", "APm", "APl", "AR100", "GT", "dets"]
    assert len(table) == 1 + len(ours.categories)
    # The last column is right-aligned, so every row has the same length.
    assert len({len(line) for line in table}) == 1
    same = format_comparison(ours, ours).splitlines()
    deltas = [line.split()[-1] for line in same[1:13]]
    assert deltas == ["+0.000"] * 12
