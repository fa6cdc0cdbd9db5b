"""Hostile sizes: inputs that claim more than they hold. Each either works
within the memory its content needs or is refused with MemoryError or
ValueError; none crashes, and none allocates the size it claims."""

from __future__ import annotations

import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brandor import _tarnel
from reliability_cases import UNDER_ASAN

U32 = 2**32 - 1
HUGE_SIZES = [[65536, 65536], [U32, U32], [U32, 1], [1, U32], [2**33 + 3, 2**40]]


def counts_text(runs: list[int]) -> bytes:
    """The compressed counts of `runs`, written with the module's own encoder."""
    return _tarnel.frUncompressedRLE([{"size": [1, 1], "counts": runs}], 1, 1)[0]["counts"]


@pytest.mark.parametrize("size", HUGE_SIZES)
def test_run_operations_ignore_the_claimed_area(size):
    """area, toBbox, merge and iou work on the runs alone, whatever h*w is
    (sizes taken modulo 2^32, arithmetic wrapping in 32 bits as the reference's)."""
    rles = [{"size": size, "counts": [3, 4, 100]}, {"size": size, "counts": counts_text([0, 7, 2, 1])}]
    assert _tarnel.area(rles).tolist() == [4, 8]
    assert _tarnel.toBbox(rles).shape == (2, 4)
    merged = _tarnel.merge(rles)
    assert merged["size"] == [s % 2**32 for s in size]
    assert _tarnel.iou(rles, rles, [0, 1]).shape == (2, 2)
    # Polygons and boxes rasterise into runs too: no h*w buffer.
    h, w = (s % 2**32 for s in size)
    if w <= 2**16:
        assert len(_tarnel.frPyObjects([[0, 0, 50, 0, 50, 50], [1, 2, 3, 4]], h, w)) == 2


@pytest.mark.parametrize("runs", [[U32], [U32, U32, U32], [0, U32, 5, U32], [2**31, 2**31, 2**31, 2**31]])
def test_runs_summing_past_32_bits(runs):
    """Counts whose runs add up to 2^32 or more in a 3x3 mask: decoding fills
    at most h*w pixels, the other functions wrap as the reference does."""
    for counts in (runs, counts_text(runs), counts_text(runs).decode()):
        rle = {"size": [3, 3], "counts": counts}
        pixels = _tarnel.decode([rle])
        assert pixels.shape == (3, 3, 1)
        assert set(np.unique(pixels)) <= {0, 1}
        assert _tarnel.area([rle]).dtype == np.uint32
        _tarnel.toBbox([rle])
        _tarnel.merge([rle, rle])
        _tarnel.iou([rle], [rle], [0])
        _tarnel.toBoundary([rle])


@pytest.mark.parametrize("ids", [(np.nan, 1), (1, np.nan), (np.inf, 1), (1, -np.inf), (2.0**63, 1), (1, 2.0**64)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_array_ids_must_be_finite_int64(ids, dtype):
    data = np.array([[1, 0, 0, 5, 5, 0.5, 1], [ids[0], 0, 0, 5, 5, 0.5, ids[1]]], dtype=dtype)
    with pytest.raises(ValueError) as info:
        _tarnel.load_compact_array(data)
    assert str(info.value) == "image and category IDs must be finite int64 values"


@pytest.mark.parametrize("results", [True, False])
def test_nesting_limit_inside_compact_files(tmp_path, results):
    """A member the store skips or keeps as Python objects may nest 127
    levels deep in all (the annotation array and objects count); one more is
    refused with the parser's message, never a stack overflow."""
    def document(depth):
        inner = "[" * depth + "]" * depth
        det = '{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5, "x": %s}' % inner
        return f"[{det}]" if results else '{"info": %s, "annotations": []}' % inner

    outer = 2 if results else 1  # the array and the detection, or the dataset object
    path = tmp_path / "nested.json"
    path.write_text(document(127 - outer))
    _, handle = _tarnel.load_compact_bbox(str(path), results)
    if results:
        assert handle.annotations()[0]["x"] == [[]] if 127 - outer == 2 else True
    for depth in (128 - outer, 10_000):
        path.write_text(document(depth))
        with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column"):
            _tarnel.load_compact_bbox(str(path), results)
        with pytest.raises(ValueError, match="recursion limit exceeded"):
            _tarnel.load_json(str(path))


FOUR_GIB_CHILD = textwrap.dedent("""
    import resource, sys
    from brandor import _tarnel
    # The limit stops any allocation of the file's size; the file itself is
    # sparse, so nothing of it is written to disk either.
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    path = sys.argv[1]
    calls = [lambda: _tarnel.load_compact_bbox(path, True), lambda: _tarnel.load_compact_bbox(path, False),
             lambda: _tarnel.load_json(path), lambda: _tarnel.parse_json_only(path),
             lambda: _tarnel.read_file_only(path),
             lambda: _tarnel.decode([{"size": [65536, 65536], "counts": b""}])]
    for call in calls:
        try:
            call()
        except MemoryError:
            print("MemoryError")
        else:
            print("no error")
""")


@pytest.mark.skipif(UNDER_ASAN, reason="ASan's shadow memory does not fit under an address-space limit")
@pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS and sparse files")
def test_four_gib_and_one_byte_file_is_a_memory_error(tmp_path):
    """A results file of 4 GiB + 1 byte (sparse) and the decoding of a mask of
    4 Gi pixels, in a process that cannot map that much: MemoryError for
    each, no crash."""
    path = tmp_path / "huge.json"
    with open(path, "wb") as f:
        f.write(b"[")
        f.truncate(4 * 2**30 + 1)
    done = subprocess.run([sys.executable, "-c", FOUR_GIB_CHILD, str(path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError"] * 6


@pytest.mark.parametrize("size", [[65536, 65536], [2**31, 16], [16, 2**31], [2**31, 2**31]])
def test_boundary_of_a_small_object_in_a_huge_image(size):
    """toBoundary works on the window that holds the 1s, never on the whole
    image: a 7x5 rectangle in an image of up to 2^62 pixels. With one
    erosion pass its band is its outline; with many it is the whole rectangle.
    Empty masks come back as one run of 0s (counted in 32 bits)."""
    h, w = size
    top, rows, cols = 2, 7, 5
    counts = [top]
    for _ in range(cols - 1):
        counts += [rows, h - rows]
    counts += [rows]
    counts += [(h * w - sum(counts)) % 2**32]  # the 0s after it, counted in 32 bits
    rect = {"size": size, "counts": counts}
    tiny_ratio = 0.6 / math.hypot(h, w)  # rounds to one pass
    band = _tarnel.toBoundary([rect], tiny_ratio)[0]
    assert _tarnel.area([band]).tolist() == [2 * rows + 2 * cols - 4]
    assert _tarnel.toBbox([band]).tolist() == _tarnel.toBbox([rect]).tolist()
    assert _tarnel.toBoundary([rect], 0.5)[0] == _tarnel.frUncompressedRLE([rect], 0, 0)[0]
    empty = _tarnel.toBoundary([{"size": size, "counts": b""}])[0]
    assert empty == _tarnel.frUncompressedRLE([{"size": size, "counts": [h * w % 2**32]}], 0, 0)[0]
