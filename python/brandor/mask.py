"""Run-length mask functions with the interface of ``pycocotools.mask``.

``from brandor import mask as maskUtils`` can stand in for
``from pycocotools import mask as maskUtils``. As there, ``encode`` also takes
a single 2-D mask, and ``decode``, ``area`` and ``toBbox`` also take a single
RLE dict; every other function is the native one unchanged.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from brandor import _tarnel

__all__ = [
    "encode",
    "decode",
    "merge",
    "area",
    "toBbox",
    "iou",
    "frBbox",
    "frPoly",
    "frUncompressedRLE",
    "frPyObjects",
    "toBoundary",
]

merge = _tarnel.merge
iou = _tarnel.iou
frBbox = _tarnel.frBbox
frPoly = _tarnel.frPoly
frUncompressedRLE = _tarnel.frUncompressedRLE
frPyObjects = _tarnel.frPyObjects
toBoundary = _tarnel.toBoundary


def encode(bimask: np.ndarray) -> Any:
    """RLE dicts of an (h, w, n) uint8 array, or one dict of an (h, w) mask."""
    if len(bimask.shape) == 2:
        h, w = bimask.shape
        return _tarnel.encode(bimask.reshape((h, w, 1), order="F"))[0]
    return _tarnel.encode(bimask)


def decode(rleObjs: Any) -> np.ndarray:
    """(h, w, n) masks of a list of RLE dicts, or the (h, w) mask of one."""
    if type(rleObjs) is list:
        return _tarnel.decode(rleObjs)
    return _tarnel.decode([rleObjs])[:, :, 0]


def area(rleObjs: Any) -> Any:
    """Areas of a list of RLE dicts (uint32 array), or the area of one."""
    if type(rleObjs) is list:
        return _tarnel.area(rleObjs)
    return _tarnel.area([rleObjs])[0]


def toBbox(rleObjs: Any) -> np.ndarray:
    """Boxes [x, y, w, h] of a list of RLE dicts (n x 4), or the box of one."""
    if type(rleObjs) is list:
        return _tarnel.toBbox(rleObjs)
    return _tarnel.toBbox([rleObjs])[0]
