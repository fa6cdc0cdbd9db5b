"""Run-length mask functions with the interface of ``pycocotools.mask``.

``from brandor import mask as maskUtils`` can stand in for
``from pycocotools import mask as maskUtils``. Masks are binary images of
height h and width w held as run lengths in column-major order; an RLE is the
dict ``{'size': [h, w], 'counts': bytes}`` with the COCO compressed counts
text. Everything the reference accepts is accepted; a few inputs it refuses
are accepted too (C-ordered mask arrays, tuples of boxes, more flag types).
"""

from __future__ import annotations

from typing import Any, Iterable

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

RLE = dict[str, Any]


def encode(bimask: np.ndarray) -> Any:
    """RLEs of binary masks.

    `bimask` is a uint8 or bool array of shape (h, w, n), giving a list of n
    RLEs, or of shape (h, w), giving one RLE. Nonzero pixels are set. Any
    memory order is read; Fortran order (the reference requires it) is read
    without a copy.
    """
    if bimask.dtype == np.bool_:
        bimask = bimask.view(np.uint8)
    if len(bimask.shape) == 2:
        h, w = bimask.shape
        return _tarnel.encode(bimask.reshape((h, w, 1), order="F"))[0]
    return _tarnel.encode(bimask)


def decode(rleObjs: Any) -> np.ndarray:
    """Binary masks of RLEs: (h, w, n) uint8 in Fortran order for a list, (h, w) for one RLE.

    Every mask of a list takes the size of the first.
    """
    if type(rleObjs) is list:
        return _tarnel.decode(rleObjs)
    return _tarnel.decode([rleObjs])[:, :, 0]


def area(rleObjs: Any) -> Any:
    """Numbers of set pixels: a uint32 array for a list of RLEs, one uint32 for one RLE."""
    if type(rleObjs) is list:
        return _tarnel.area(rleObjs)
    return _tarnel.area([rleObjs])[0]


def toBbox(rleObjs: Any) -> np.ndarray:
    """Tight boxes [x, y, w, h] of RLEs: an (n, 4) float64 array for a list, a (4,) array for one RLE."""
    boxes = _tarnel.toBbox(rleObjs if type(rleObjs) is list else [rleObjs])
    return boxes if type(rleObjs) is list else np.asarray(boxes[0])


def merge(rleObjs: Iterable[RLE], intersect: int = 0) -> RLE:
    """One RLE: the union of the RLEs (their intersection when `intersect` is nonzero).

    RLEs of different sizes, or none, give {'size': [0, 0], 'counts': b''}.
    """
    return _tarnel.merge(rleObjs, intersect)


def iou(dt: Any, gt: Any, iscrowd: Any) -> Any:
    """IoU of every detection with every ground truth: an (m, n) float64 array, or [] when m or n is 0.

    `dt` and `gt` are both boxes [x, y, w, h] (an (N, 4) float64 array or a
    list of 4-number sequences) or both lists of RLEs. Where `iscrowd` is
    nonzero for a ground truth, the union is the detection's area alone.
    Missing flags count as 0.
    """
    return _tarnel.iou(dt, gt, _crowd_flags(iscrowd))


def frBbox(bb: Any, h: Any, w: Any) -> list[RLE]:
    """RLEs of boxes [x, y, w, h] rasterised in an h x w image, one per box."""
    return _tarnel.frBbox(bb, _dimension(h), _dimension(w))


def frPoly(poly: Iterable[Any], h: Any, w: Any) -> list[RLE]:
    """RLEs of polygons [x0, y0, x1, y1, ...] rasterised in an h x w image, one per polygon."""
    return _tarnel.frPoly(poly, _dimension(h), _dimension(w))


def frUncompressedRLE(ucRles: Iterable[dict[str, Any]], h: Any, w: Any) -> list[RLE]:
    """Compressed RLEs of RLEs whose 'counts' are lists of run lengths; each keeps its own size."""
    return _tarnel.frUncompressedRLE(ucRles, _dimension(h), _dimension(w))


def frPyObjects(pyobj: Any, h: Any, w: Any) -> Any:
    """RLEs of any COCO segmentation form, in an h x w image.

    A list of polygons, a list of boxes or an (N, 4) float64 array of boxes
    gives a list of RLEs; a list of uncompressed RLE dicts gives a list; one
    polygon, one box or one uncompressed RLE dict gives one RLE.
    """
    return _tarnel.frPyObjects(pyobj, _dimension(h), _dimension(w))


def toBoundary(rleObjs: Iterable[RLE], dilation_ratio: float = 0.02) -> list[RLE]:
    """Boundary bands of RLEs, for Boundary IoU (an extension; pycocotools has none).

    A band holds the mask's pixels within `dilation_ratio` times the image
    diagonal of its outline.
    """
    return _tarnel.toBoundary(rleObjs, dilation_ratio)


def _dimension(v: Any) -> Any:
    # The reference truncates a float height or width.
    return int(v) if isinstance(v, (float, np.floating)) else v


def _crowd_flags(iscrowd: Any) -> Any:
    # The reference takes any numbers (floats, NumPy bools) and truncates them.
    if isinstance(iscrowd, np.ndarray):
        return iscrowd if iscrowd.dtype.kind in "iu" else iscrowd.astype(np.int64)
    if isinstance(iscrowd, (list, tuple)) and not all(type(x) is int for x in iscrowd):
        return [int(x) for x in iscrowd]
    return iscrowd
