"""Every input form the reference's mask functions accept is accepted, with the same result.

brandor may accept more (C-ordered masks, lists of boxes where the reference
wants an array, ...); it must never refuse what the reference takes.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
from pycocotools import _mask as ref_native
from pycocotools import mask as ref_mask

from brandor import mask as our_mask
from conftest import assert_same

RNG = np.random.default_rng(0)
MASKS = RNG.random((30, 20, 3)) > 0.5
RLES = ref_mask.encode(np.asfortranarray(MASKS.astype(np.uint8)))
RLES_STR = [dict(size=r["size"], counts=r["counts"].decode()) for r in RLES]
UNCOMPRESSED = [{"size": [30, 20], "counts": [5, 10, 585]}]
BOXES = [[1, 2, 5, 6], [3, 3, 10, 10]]
POLY = [[1, 1, 10, 1, 10, 10, 1, 10]]
H, W = 30, 20

CASES: dict[str, tuple[str, tuple[Any, ...]]] = {
    "encode bool F 3d": ("encode", (np.asfortranarray(MASKS),)),
    "encode bool F 2d": ("encode", (np.asfortranarray(MASKS[:, :, 0]),)),
    "encode bool C 3d": ("encode", (np.ascontiguousarray(MASKS),)),
    "encode bool strided": ("encode", (np.asfortranarray(MASKS)[:, ::2, :],)),
    "encode uint8 F 3d": ("encode", (np.asfortranarray(MASKS.astype(np.uint8)),)),
    "encode uint8 C 2d": ("encode", (np.ascontiguousarray(MASKS[:, :, 0].astype(np.uint8)),)),
    "decode list": ("decode", (RLES,)),
    "decode one": ("decode", (RLES[0],)),
    "decode str counts": ("decode", (RLES_STR,)),
    "decode tuple size": ("decode", ([dict(r, size=tuple(r["size"])) for r in RLES],)),
    "decode array size": ("decode", ([dict(r, size=np.array(r["size"])) for r in RLES],)),
    "area list": ("area", (RLES,)),
    "area one str": ("area", (RLES_STR[0],)),
    "toBbox list": ("toBbox", (RLES,)),
    "toBbox one": ("toBbox", (RLES[0],)),
    "merge": ("merge", (RLES,)),
    "merge tuple, intersect": ("merge", (tuple(RLES), 1)),
    "iou boxes": ("iou", (BOXES, BOXES, [0, 1])),
    "iou float64 array": ("iou", (np.array(BOXES, float), np.array(BOXES, float), [0, 0])),
    "iou float32 array": ("iou", (np.array(BOXES, np.float32), np.array(BOXES, np.float32), [0, 0])),
    "iou int array": ("iou", (np.array(BOXES), np.array(BOXES), [0, 0])),
    "iou boxes as arrays": ("iou", ([np.array(b, float) for b in BOXES], BOXES, [0, 0])),
    "iou crowd uint8": ("iou", (BOXES, BOXES, np.array([0, 1], np.uint8))),
    "iou crowd bool array": ("iou", (BOXES, BOXES, np.array([False, True]))),
    "iou crowd NumPy bools": ("iou", (BOXES, BOXES, [np.bool_(0), np.bool_(1)])),
    "iou crowd floats": ("iou", (BOXES, BOXES, [0.0, 1.5])),
    "iou crowd float array": ("iou", (BOXES, BOXES, np.array([0.0, 1.0]))),
    "iou crowd tuple": ("iou", (BOXES, BOXES, (0, 1))),
    "iou RLEs": ("iou", (RLES, RLES, [0, 0, 1])),
    "iou RLEs str": ("iou", (RLES_STR, RLES_STR, [0, 0, 0])),
    "iou empty": ("iou", ([], BOXES, [0, 0])),
    "frBbox array": ("frBbox", (np.array(BOXES, float), H, W)),
    "frBbox float size": ("frBbox", (np.array(BOXES, float), 30.7, 20.2)),
    "frPoly": ("frPoly", (POLY, H, W)),
    "frPoly array": ("frPoly", ([np.array(POLY[0], float)], H, W)),
    "frPoly NumPy size": ("frPoly", (POLY, np.int32(H), np.int32(W))),
    "frPoly float size": ("frPoly", (POLY, np.float64(30.0), 20.9)),
    "frPyObjects polygons": ("frPyObjects", (POLY, H, W)),
    "frPyObjects polygon arrays": ("frPyObjects", ([np.array(POLY[0])], H, W)),
    "frPyObjects float32 polygon": ("frPyObjects", ([np.array(POLY[0], np.float32)], H, W)),
    "frPyObjects box array": ("frPyObjects", (np.array(BOXES, float), H, W)),
    "frPyObjects uncompressed": ("frPyObjects", (UNCOMPRESSED, H, W)),
    "frPyObjects one uncompressed": ("frPyObjects", (UNCOMPRESSED[0], H, W)),
    "frPyObjects uncompressed array": ("frPyObjects", ([{"size": [30, 20], "counts": np.array([5, 10, 585])}], H, W)),
    "frPyObjects float size": ("frPyObjects", (POLY, 30.0, 20.0)),
    "frUncompressedRLE": ("frUncompressedRLE", (UNCOMPRESSED, H, W)),
}


def call(module: Any, name: str, args: tuple[Any, ...]) -> Any:
    return getattr(module, name)(*args)


@pytest.mark.parametrize("label", list(CASES))
def test_input_form_accepted_as_by_the_reference(label):
    name, args = CASES[label]
    ref_module = ref_mask if hasattr(ref_mask, name) else ref_native
    try:
        expected = call(ref_module, name, args)
    except Exception:
        call(our_mask, name, args)  # refused by the reference: accepting it is allowed
        return
    assert_same(call(our_mask, name, args), expected, label)


@pytest.mark.parametrize("name", our_mask.__all__)
def test_mask_functions_have_docstrings(name):
    doc = getattr(our_mask, name).__doc__
    assert doc and len(doc.split()) > 5
