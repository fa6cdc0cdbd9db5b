"""Messages, exception types and conversion order of the mask functions, and
inputs that must fail cleanly (never crash the interpreter)."""

from __future__ import annotations

import numpy as np
import pytest

from brandor import _tarnel as T
from reliability_cases import UNDER_ASAN

RLE_DICT = "expected an RLE dict with 'size' and 'counts'"
NO_SIZE = "RLE dict is missing 'size'"
NO_COUNTS = "RLE dict is missing 'counts'"
BAD_SIZE = "RLE 'size' must be [h, w]"
BAD_COUNTS = "RLE 'counts' must be bytes, str, or a list of ints"
NX4 = "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension"
LIST_INPUT = "list input can be bounding box (Nx4) or RLEs ([RLE])"
SAME_TYPE = "The dt and gt should have the same data type, either RLEs, list or np.ndarray"
GOOD = {"size": [2, 2], "counts": b"04"}


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize(
    "obj,exc,message",
    [
        ([1, 2], TypeError, RLE_DICT),
        ({"counts": b"0"}, ValueError, NO_SIZE),
        ({"size": (1, 2, 3), "counts": b"0"}, ValueError, BAD_SIZE),
        ({"size": [4], "counts": b"0"}, ValueError, BAD_SIZE),
        ({"size": [2, 2]}, ValueError, NO_COUNTS),
        ({"size": [2, 2], "counts": 3.5}, TypeError, BAD_COUNTS),
        ({"size": [2, 2], "counts": [0, -1]}, TypeError, BAD_COUNTS),
        ({"size": [2, 2], "counts": [0, 2**32]}, TypeError, BAD_COUNTS),
        ({"size": [2, 2], "counts": None}, TypeError, BAD_COUNTS),
    ],
)
@pytest.mark.parametrize("fn", ["decode", "merge", "area", "toBbox", "toBoundary"])
def test_dict_reader_messages(fn, obj, exc, message):
    raises(exc, message, getattr(T, fn), [GOOD, obj])


@pytest.mark.parametrize(
    "size,exc",
    [([-1, 2], OverflowError), ([2**64, 2], OverflowError), ("ab", TypeError), ([2.0, 2], TypeError), (5, TypeError)],
)
def test_dict_size_conversion_errors_propagate(size, exc):
    with pytest.raises(exc):
        T.area([{"size": size, "counts": b"0"}])


def test_dict_reader_is_used_by_iou_and_the_boxes_reader():
    raises(ValueError, NO_SIZE, T.iou, [{"counts": b""}], [GOOD], [0])
    # a later item that is not a dict, after a dict first
    raises(TypeError, RLE_DICT, T.iou, [GOOD, [0, 0, 1, 1]], [GOOD], [0])
    raises(TypeError, RLE_DICT, T.frBbox, [GOOD, [0, 0, 1, 1]], 2, 2)


def test_encode_messages():
    raises(ValueError, "mask must be a 3-D (h, w, n) uint8 array", T.encode, np.zeros((2, 2), np.uint8))
    with pytest.raises(TypeError) as info:
        T.encode(np.zeros((2, 2, 1), bool))
    assert "while processing 'mask'" in info.value.__notes__
    with pytest.raises(TypeError) as info:
        T.encode([[[0]]])
    assert "while processing 'mask'" in info.value.__notes__


def test_decode_needs_an_rle():
    raises(IndexError, "decode() needs at least one RLE", T.decode, [])
    raises(IndexError, "decode() needs at least one RLE", T.decode, iter(()))


def test_boxes_or_rles_reader_messages():
    raises(ValueError, NX4, T.iou, np.zeros((1, 5)), [[0, 0, 1, 1]], [0])
    raises(ValueError, NX4, T.iou, np.zeros(4), [[0, 0, 1, 1]], [0])
    # float32 arrays are read through the list path, row by row
    raises(ValueError, LIST_INPUT, T.iou, np.zeros((1, 5), np.float32), [[0, 0, 1, 1]], [0])
    raises(ValueError, LIST_INPUT, T.iou, [[0, 0, 1]], [[0, 0, 1, 1]], [0])
    raises(ValueError, LIST_INPUT, T.iou, [[0, 0, 1, "x"]], [[0, 0, 1, 1]], [0])
    raises(ValueError, LIST_INPUT, T.iou, ["abcd"], [[0, 0, 1, 1]], [0])
    boxes = np.array([[0, 0, 4, 4], [1, 1, 2, 2]], np.float64)
    np.testing.assert_array_equal(T.iou(boxes.astype(np.float32), boxes, [0, 0]), T.iou(boxes, boxes, [0, 0]))
    # any strides: a column slice of a wider array is still Nx4
    wide = np.zeros((2, 8))
    wide[:, ::2] = boxes
    np.testing.assert_array_equal(T.iou(wide[:, ::2], boxes, [0, 0]), T.iou(boxes, boxes, [0, 0]))
    with pytest.raises(TypeError):
        T.iou(5, [[0, 0, 1, 1]], [0])


def test_iou_messages_and_order():
    raises(TypeError, SAME_TYPE, T.iou, [GOOD], [[0, 0, 1, 1]], [0])
    raises(TypeError, SAME_TYPE, T.iou, np.zeros((1, 4)), [GOOD], [0])
    # an empty side returns a new empty list before iscrowd is looked at
    assert T.iou([], [GOOD], None) == []
    assert T.iou([[0, 0, 1, 1]], [], object()) == []
    with pytest.raises(TypeError):
        T.iou([[0, 0, 1, 1]], [[0, 0, 1, 1]], None)  # not iterable
    with pytest.raises(TypeError):
        T.iou([[0, 0, 1, 1]], [[0, 0, 1, 1]], [0.5])
    with pytest.raises(OverflowError):
        T.iou([[0, 0, 1, 1]], [[0, 0, 1, 1]], [2**64])
    # iscrowd is read before the type check
    with pytest.raises(OverflowError):
        T.iou([GOOD], [[0, 0, 1, 1]], [2**64])


def test_fr_functions_messages():
    raises(TypeError, "expected bounding boxes", T.frBbox, [GOOD], 2, 2)
    raises(TypeError, "expected uncompressed RLE dicts", T.frUncompressedRLE, [[1]], 2, 2)
    raises(ValueError, NO_SIZE, T.frUncompressedRLE, [{"counts": [4]}], 2, 2)
    raises(ValueError, NO_COUNTS, T.frUncompressedRLE, [{"size": [2, 2]}], 2, 2)
    raises(ValueError, BAD_SIZE, T.frUncompressedRLE, [{"size": [2], "counts": [4]}], 2, 2)
    with pytest.raises(TypeError):
        T.frUncompressedRLE([{"size": [2, 2], "counts": "04"}], 2, 2)  # a str is refused
    with pytest.raises(OverflowError):
        T.frUncompressedRLE([{"size": [2, 2], "counts": [-1]}], 2, 2)
    # size entries past the second are ignored, bytes are read as byte values
    assert T.frUncompressedRLE([{"size": [2, 2, 3], "counts": b"\x00\x04"}], 9, 9) == [GOOD]
    raises(TypeError, "input type is not supported.", T.frPyObjects, {"counts": [4]}, 2, 2)
    raises(TypeError, "input type is not supported.", T.frPyObjects, {"size": [2, 2]}, 2, 2)
    with pytest.raises(TypeError):
        T.frPyObjects(5, 2, 2)
    with pytest.raises(TypeError):
        T.frPoly(["abc"], 2, 2)  # a str is not a polygon
    with pytest.raises(TypeError):
        T.frPoly([[0, 0, None, 1, 1, 1]], 2, 2)


def test_fr_py_objects_dispatch():
    poly = [0, 0, 10, 0, 10, 10]
    assert T.frPyObjects([poly], 20, 20) == T.frPoly([poly], 20, 20)
    assert T.frPyObjects(poly, 20, 20) == T.frPoly([poly], 20, 20)[0]
    assert T.frPyObjects([1, 2, 3, 4], 20, 20) == T.frBbox([[1, 2, 3, 4]], 20, 20)[0]
    assert T.frPyObjects(np.array([[1, 2, 3, 4.0]]), 20, 20) == T.frBbox([[1, 2, 3, 4]], 20, 20)
    assert T.frPyObjects({"size": [2, 2], "counts": [0, 4]}, 9, 9) == GOOD
    assert T.frPyObjects([{"size": [2, 2], "counts": [0, 4]}], 9, 9) == [GOOD]
    assert T.frPyObjects([], 2, 2) == [] and T.frPoly([], 2, 2) == []
    # iterables that are not sequences are read once
    assert T.frPyObjects(iter([poly]), 20, 20) == T.frPoly([poly], 20, 20)
    assert T.frPyObjects((float(v) for v in poly), 20, 20) == T.frPoly([poly], 20, 20)[0]
    with pytest.raises(TypeError):
        T.frPyObjects([object()], 2, 2)  # neither a number nor sized


@pytest.mark.parametrize(
    "call,argument,exc",
    [
        (lambda: T.merge(object(), intersect="x"), "intersect", TypeError),
        (lambda: T.toBoundary(object(), "x"), "dilation_ratio", TypeError),
        (lambda: T.frBbox(object(), -1, 2), "h", OverflowError),
        (lambda: T.frPoly(object(), 2, 2**32), "w", OverflowError),
        (lambda: T.frPyObjects(object(), 2**32, 1), "h", OverflowError),
        (lambda: T.frUncompressedRLE(object(), 0, -1), "_w", OverflowError),
        (lambda: T.frBbox(object(), "2", 2), "h", TypeError),
    ],
)
def test_scalar_arguments_are_converted_first(call, argument, exc):
    # the optional or size arguments are converted before the first one is read
    with pytest.raises(exc) as info:
        call()
    assert f"while processing '{argument}'" in info.value.__notes__


def test_uint32_message():
    raises(OverflowError, "out of range integral type conversion attempted", T.frPoly, [], -1, 2)


@pytest.mark.parametrize("seed", range(30))
def test_random_bytes_as_counts_never_crash(seed):
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(0, 30)), int(rng.integers(0, 30))
    objs = [
        {"size": [h, w], "counts": bytes(rng.integers(0, 256, int(rng.integers(0, 40)), dtype=np.uint8))}
        for _ in range(3)
    ]
    out = T.decode(objs)
    assert out.shape == (h, w, 3) and set(np.unique(out)) <= {0, 1}
    T.area(objs), T.toBbox(objs), T.merge(objs), T.merge(objs, 1), T.toBoundary(objs)
    T.iou(objs, objs, [0, 1, 0])
    # the pixels that decode shows are what encode gives back
    np.testing.assert_array_equal(T.decode(T.encode(np.asfortranarray(out))), out)


def test_counts_past_the_image_are_cut():
    over = {"size": [3, 3], "counts": [0, 100]}
    assert T.decode([over]).sum() == 9
    assert T.area([over]).tolist() == [100]
    assert T.toBoundary([over])[0]["size"] == [3, 3]


# Under ASan a failed operator new aborts instead of throwing std::bad_alloc.
needs_bad_alloc = pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts on a failed operator new")


@needs_bad_alloc
@pytest.mark.parametrize(
    "size,n",
    [([2**31, 2**31], 1), ([2**32 - 1, 2**32 - 1], 2), ([2**20, 2**20], 2**10), ([2**24, 2**24], 1)],
)
def test_oversized_masks_raise_memory_error(size, n):
    with pytest.raises(MemoryError):
        T.decode([{"size": size, "counts": b""}] * n)


def test_boundary_of_an_empty_mask_in_a_huge_image_needs_no_image_buffer():
    # One run of 0s whose length wraps in 32 bits, as encoding the bytes would give.
    assert T.toBoundary([{"size": [2**32 - 1, 2**32 - 1], "counts": b"0"}]) == [
        {"size": [2**32 - 1, 2**32 - 1], "counts": b"1"}]
    assert T.toBoundary([{"size": [2**24, 2**24], "counts": b"0"}]) == [{"size": [2**24, 2**24], "counts": b"0"}]


def test_no_argument_is_modified():
    objs = [{"size": [2, 2], "counts": [0, 4]}, {"size": [2, 2], "counts": "04"}]
    copy = [dict(o) for o in objs]
    T.merge(objs), T.iou(objs, objs, [0, 0]), T.decode(objs)
    assert objs == copy
