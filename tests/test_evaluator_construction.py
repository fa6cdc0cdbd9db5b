"""Evaluator construction: parameter conversion, the list reader's rules and
its error messages, exactly as raised."""

import gc
import inspect
import sys

import numpy as np
import pytest

from brandor import _tarnel

THRS = [0.5, 0.75]
RECS = [0.0, 0.5, 1.0]
AREAS = [[0.0, 1e10]]


def make(gt=(), dt=(), *, img_sizes=None, img_ids=(1,), cat_ids=(1,), iou_type="bbox", sigmas=(), **kw):
    return _tarnel.Evaluator(
        list(gt), list(dt), {} if img_sizes is None else img_sizes, list(img_ids), list(cat_ids),
        kw.pop("iou_thrs", THRS), kw.pop("rec_thrs", RECS), kw.pop("max_dets", [1, 10]),
        kw.pop("area_rng", AREAS), kw.pop("use_cats", True), iou_type, list(sigmas), **kw)


def ann(**fields):
    base = {"image_id": 1, "category_id": 1, "bbox": [0.0, 0.0, 10.0, 10.0]}
    base.update(fields)
    return base


def per_instance_dets(ev):
    return ev.per_instance(0, 0, 100)[0]


def test_signature_and_docstring():
    sig = inspect.signature(_tarnel.Evaluator)
    assert list(sig.parameters) == [
        "gt_anns", "dt_anns", "img_sizes", "img_ids", "cat_ids", "iou_thrs", "rec_thrs", "max_dets",
        "area_rng", "use_cats", "iou_type", "kpt_sigmas", "use_area", "boundary_dilation"]
    assert sig.parameters["use_area"].default is True
    assert sig.parameters["boundary_dilation"].default == 0.02
    assert _tarnel.Evaluator.__doc__.endswith("The evaluation engine, constructed once from prepared annotations.")
    assert _tarnel.Evaluator.__module__ == "brandor._tarnel"
    names = [n for n in vars(_tarnel.Evaluator) if not n.startswith("__")]
    assert names == ["configure_lvis", "run", "timings", "per_instance", "partial"]


POSITIONAL = ([], [], {}, [1], [1], THRS, RECS, [1], AREAS, True, "bbox", [])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (POSITIONAL[:11], {}, "Evaluator.__new__() missing 1 required positional argument: 'kpt_sigmas'"),
        (POSITIONAL[:10], {}, "Evaluator.__new__() missing 2 required positional arguments: 'iou_type' and "
                              "'kpt_sigmas'"),
        (POSITIONAL, {"iou": 1}, "Evaluator.__new__() got an unexpected keyword argument 'iou'"),
        (POSITIONAL, {"img_ids": [1]}, "Evaluator.__new__() got multiple values for argument 'img_ids'"),
        (POSITIONAL + (True, 0.02, 1), {},
         "Evaluator.__new__() takes from 12 to 14 positional arguments but 15 were given"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _tarnel.Evaluator(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ev: ev.run(True, 1), "Evaluator.run() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda ev: ev.per_instance(tidx=0), "Evaluator.per_instance() got an unexpected keyword argument 'tidx'"),
        (lambda ev: ev.timings(1), "Evaluator.timings() takes 0 positional arguments but 1 was given"),
    ],
)
def test_method_binding_errors(call, message):
    # Worded as for a function of the signature without the receiver.
    with pytest.raises(TypeError) as info:
        call(make())
    assert str(info.value) == message


def test_method_arguments_convert_with_notes():
    ev = make()
    with pytest.raises(TypeError) as info:
        ev.run(1)
    assert info.value.__notes__ == ["while processing 'collect_eval_imgs'"]
    with pytest.raises(OverflowError) as info:
        ev.per_instance(0, -1)
    assert info.value.__notes__ == ["while processing 'a_idx'"]
    assert list(ev.run(collect_eval_imgs=np.bool_(False))) == ["counts", "precision", "recall", "scores"]


@pytest.mark.parametrize(
    "field, value, exc, message",
    [
        ("iou_thrs", "0.5", TypeError, None),
        ("iou_thrs", [0.5, "x"], TypeError, None),
        ("img_ids", [1.5], TypeError, None),
        ("max_dets", [-1], OverflowError, None),
        ("img_sizes", [(1, 2)], TypeError, "'list' object is not an instance of 'dict'"),
        ("img_sizes", {1: (1, 2, 3)}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("img_sizes", {1: [1, 2]}, TypeError, "'list' object is not an instance of 'tuple'"),
        ("img_sizes", {1: (-1, 2)}, OverflowError, "out of range integral type conversion attempted"),
        ("img_sizes", {1: (2**32, 2)}, OverflowError, "out of range integral type conversion attempted"),
        ("area_rng", [[0.0, 1.0, 2.0]], ValueError, "expected a sequence of length 2 (got 3)"),
        ("area_rng", [5.0], TypeError, None),
        ("use_cats", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("iou_type", None, TypeError, "'None' is not an instance of 'str'"),
        ("use_area", "yes", TypeError, None),
        ("boundary_dilation", "0.1", TypeError, None),
    ],
)
def test_parameter_conversion_errors_carry_the_argument_note(field, value, exc, message):
    args = dict(gt_anns=[], dt_anns=[], img_sizes={}, img_ids=[1], cat_ids=[1], iou_thrs=THRS, rec_thrs=RECS,
                max_dets=[1], area_rng=AREAS, use_cats=True, iou_type="bbox", kpt_sigmas=[])
    args[field] = value
    with pytest.raises(exc) as info:
        _tarnel.Evaluator(**args)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{field}'"]


def test_conversion_follows_parameter_order():
    # Both img_ids and iou_thrs are wrong; the earlier parameter is reported.
    with pytest.raises(TypeError) as info:
        _tarnel.Evaluator([], [], {}, ["a"], [1], "0.5", RECS, [1], AREAS, True, "nope", [])
    assert info.value.__notes__ == ["while processing 'img_ids'"]
    # An unknown iou_type is checked only after every conversion.
    with pytest.raises(TypeError) as info:
        _tarnel.Evaluator([], [], {}, [1], [1], THRS, RECS, [1], AREAS, True, "nope", [], "x")
    assert info.value.__notes__ == ["while processing 'use_area'"]


@pytest.mark.parametrize(
    "text, shown",
    [("Segm", '"Segm"'), ("mask", '"mask"'), ('a"b', '"a\\"b"'), ("a\\b", '"a\\\\b"'), ("x\ny", '"x\\ny"'),
     ("", '""'), ("keypoints_crowd ", '"keypoints_crowd "')],
)
def test_unknown_iou_type(text, shown):
    with pytest.raises(ValueError) as info:
        make(iou_type=text)
    assert str(info.value) == "iouType must be one of segm, bbox, keypoints, boundary; got " + shown


@pytest.mark.parametrize("side", [0, 1])
@pytest.mark.parametrize("value, name", [((), "tuple"), (None, "None"), ({}, "dict")])
def test_sources_must_be_lists(side, value, name):
    sources = [[], []]
    sources[side] = value
    with pytest.raises(TypeError) as info:
        _tarnel.Evaluator(*sources, {}, [1], [1], THRS, RECS, [1], AREAS, True, "bbox", [])
    expected = "'None' is not an instance of 'list'" if name == "None" else \
        f"'{name}' object is not an instance of 'list'"
    assert str(info.value) == expected


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (5, ValueError, "annotations must be dicts"),
        ({"category_id": 1}, KeyError, "annotation is missing 'image_id'"),
        ({"image_id": None}, KeyError, "annotation is missing 'image_id'"),
        (ann(bbox=[1, 2, 3, 4, 5]), ValueError, "'bbox' must have 4 entries"),
        (ann(bbox=(1, 2, 3)), ValueError, "'bbox' must have 4 entries"),
        (ann(bbox="1234"), TypeError, None),
        (ann(bbox=[1, 2, "x", 4]), TypeError, None),
        (ann(iscrowd=1.0), TypeError, None),
        (ann(image_id=1.0), TypeError, None),
        (ann(id=2**63), OverflowError, None),
        (ann(score="high"), TypeError, None),
    ],
)
def test_reader_errors(bad, exc, message):
    for gt, dt in (([bad], []), ([], [bad])):
        with pytest.raises(exc) as info:
            make(gt, dt)
        if message is not None:
            assert info.value.args == (message,)
        assert not getattr(info.value, "__notes__", None)


def test_ground_truth_error_wins_and_detections_are_not_read():
    with pytest.raises(KeyError):
        make([{"category_id": 1}], [5])
    with pytest.raises(ValueError, match="annotations must be dicts"):
        make([ann()], [ann(), 5])


def test_defaults_and_row_values():
    gt = [ann(), ann(bbox=None), ann(id=None, area=7.5)]
    dt = [ann(score=0.9), ann(bbox=[10, 20, 30, 40], score=0.8, image_id=2),
          ann(bbox=(1, 1, 2, 2), id=50, score=0.7), {"image_id": 1, "score": 0.1}]
    ev = make(gt, dt, img_ids=[1, 2], max_dets=[100], area_rng=[[0.0, 1e10], [1199.0, 1200.0]], iou_thrs=[0.5])
    d, g = ev.per_instance(0, 0, 100)
    # Ids default to the 1-based list position, numbered per side; a missing category is -1.
    assert g["gt_id"].tolist() == [1, 2, 3]
    assert sorted(d["dt_id"].tolist()) == [1, 2, 50]  # the category-less detection takes no part
    # The box of detection 2 gives its default area 1200: inside [1199, 1200], the second range.
    d1, _ = ev.per_instance(0, 1, 100)
    assert d1["dt_id"].tolist() == [1, 50, 2]
    assert d1["ignore"].tolist() == [True, True, False]


def test_bbox_accepts_tuples_and_numpy_values():
    gt = [ann(bbox=(0, 0, 10, 10))]
    dt = [ann(bbox=np.array([0.0, 0.0, 10.0, 10.0]), score=np.float32(0.5)),
          ann(bbox=[np.int64(0), 0, 10, np.float64(10)], score=0.4)]
    d, _ = per_instance_dets(make(gt, dt)), None
    assert d["iou"].tolist() == [1.0, 0.0]
    assert d["score"].tolist() == [0.5, 0.4]


def test_iscrowd_true_counts_as_crowd():
    gt = [ann(iscrowd=True, bbox=[0, 0, 100, 100])]
    dt = [ann(bbox=[0, 0, 10, 10], score=0.9)]
    d, g = make(gt, dt).per_instance()
    assert d["iou"].tolist() == [1.0] and g["ignore"].tolist() == [True]


def test_duplicate_image_ids_map_to_their_last_position():
    gt = [ann(image_id=5), ann(image_id=7)]
    ev = make(gt, [ann(image_id=5, score=0.5)], img_ids=[5, 7, 5])
    r = ev.run(collect_eval_imgs=True)
    imgs = r["evalImgs"]
    assert len(imgs) == 3 and imgs[0] is None
    assert imgs[1]["image_id"] == 7 and imgs[2]["image_id"] == 5


def test_unknown_images_and_categories_take_no_part():
    gt = [ann(image_id=9), ann(category_id=9), ann()]
    dt = [ann(image_id=9, score=0.9), ann(category_id=9, score=0.9), ann(score=0.5)]
    for use_cats in (True, False):
        d, g = make(gt, dt, use_cats=use_cats).per_instance()
        assert g["gt_id"].tolist() == [3]
        assert d["dt_id"].tolist() == [3]


def test_evaluator_keeps_no_reference_to_its_inputs():
    gt = [ann(id=i + 1) for i in range(5)]
    dt = [ann(score=0.5)]
    refs = [sys.getrefcount(gt), sys.getrefcount(dt)] + [sys.getrefcount(a) for a in gt + dt]
    ev = make(gt, dt)
    gc.collect()
    assert [sys.getrefcount(gt), sys.getrefcount(dt)] + [sys.getrefcount(a) for a in gt + dt] == refs
    assert all(ev is not r for r in gc.get_referrers(gt[0]))


# Keypoints -------------------------------------------------------------------

def kp_ann(n=17, **fields):
    base = ann(keypoints=[1.0, 2.0, 2] * n, num_keypoints=n, area=100.0)
    base.update(fields)
    return base


def test_keypoints_crowd_is_keypoints():
    gt = [kp_ann(), kp_ann(num_keypoints=0)]
    dt = [kp_ann(score=0.9), kp_ann(score=0.3, keypoints=[5.0, 5.0, 1] * 17)]
    a = make(gt, dt, iou_type="keypoints", sigmas=[0.1] * 17).run(True)
    b = make(gt, dt, iou_type="keypoints_crowd", sigmas=[0.1] * 17).run(True)
    for k in ("precision", "recall", "scores"):
        assert np.array_equal(a[k], b[k])
    assert a["evalImgs"][0]["gtIgnore"].tolist() == [0.0, 1.0]  # num_keypoints 0 ignores


@pytest.mark.parametrize(
    "rows, message",
    [
        ([kp_ann(), kp_ann(keypoints=[1.0, 2.0, 1] * 16)],
         "keypoints must contain the same number of x/y/visibility triplets"),
        ([kp_ann(keypoints=[1.0, 2.0] * 2)], "keypoints must contain the same number of x/y/visibility triplets"),
        ([kp_ann(), kp_ann(keypoints=[])], "keypoints must contain the same number of x/y/visibility triplets"),
        ([kp_ann(), kp_ann(keypoints=None, id=8)], "annotation 8 has no keypoints"),
        ([kp_ann(keypoints=[], id=3), kp_ann()], "annotation 3 has no keypoints"),
    ],
)
def test_keypoint_reader_errors(rows, message):
    for gt, dt in ((rows, []), ([], rows)):
        with pytest.raises(ValueError) as info:
            make(gt, dt, iou_type="keypoints", sigmas=[0.1] * 17)
        assert str(info.value) == message


def test_rows_without_keypoints_are_allowed_where_never_compared():
    gt = [kp_ann(keypoints=None, image_id=99), kp_ann(), kp_ann(category_id=42, keypoints=None)]
    dt = [kp_ann(score=0.5)]
    d, g = make(gt, dt, iou_type="keypoints", sigmas=[0.1] * 17).per_instance()
    assert g["gt_id"].tolist() == [2] and d["gt_id"].tolist() == [2]
    assert d["iou"].tolist() == [1.0]


def test_keypoint_counts_and_sigmas_must_fit():
    with pytest.raises(ValueError, match="ground truth and detections must have the same number of keypoints"):
        make([kp_ann(17)], [kp_ann(5, score=0.5)], iou_type="keypoints", sigmas=[0.1] * 17)
    with pytest.raises(ValueError, match="kpt_sigmas has 16 entries but the annotations have 17 keypoints"):
        make([kp_ann()], [kp_ann(score=0.5)], iou_type="keypoints", sigmas=[0.1] * 16)
    # Without detections nothing is compared, so nothing needs sigmas.
    make([kp_ann()], [], iou_type="keypoints", sigmas=[])


def test_keypoints_read_from_any_sequence():
    kps = [10.0, 10.0, 1] * 17
    gt = [kp_ann(keypoints=tuple(kps), bbox=[0, 0, 20, 20])]
    dt = [kp_ann(keypoints=np.array(kps), score=0.5)]
    d, _ = make(gt, dt, iou_type="keypoints", sigmas=[0.1] * 17).per_instance()
    assert d["iou"].tolist() == [1.0]
