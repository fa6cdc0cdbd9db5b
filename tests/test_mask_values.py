"""Exact values of the mask functions: counts text, run encoding, merge, area,
boxes, IoU, rasterisation and boundary bands, each pinned by a small case."""

from __future__ import annotations

import math

import numpy as np
import pytest
from pycocotools import _mask as ref_native

from brandor import _tarnel as T
from reliability_cases import UNDER_ASAN


def text_of(counts: list[int]) -> bytes:
    """Counts text written by the encoder (frUncompressedRLE compresses as is)."""
    return T.frUncompressedRLE([{"size": [1, 1], "counts": counts}], 0, 0)[0]["counts"]


def reencoded(text: bytes, size=(1, 1)) -> bytes:
    """Decode `text` and encode it again (merge of one mask is a copy)."""
    return T.merge([{"size": list(size), "counts": text}])["counts"]


def pixels(rle: dict) -> list[int]:
    return T.decode([rle])[:, :, 0].ravel(order="F").tolist()


def rle(h: int, w: int, counts: list[int]) -> dict:
    return {"size": [h, w], "counts": counts}


COUNTS_TEXT = [
    ([], b""),
    ([0], b"0"),
    ([5], b"5"),
    ([15], b"?"),
    ([16], b"`0"),
    ([31], b"o0"),
    ([32], b"P1"),
    ([100], b"T3"),
    ([1, 2, 3, 4, 5, 6], b"123222"),  # from the fourth count on: difference to two back
    ([10, 20, 5, 15], b":d05K"),  # -5 as one character with the sign bit
    ([2**32 - 1], b"oooooo3"),
    ([0, 2**32 - 1, 0, 2**32 - 1], b"0oooooo300"),
]


@pytest.mark.parametrize("counts,text", COUNTS_TEXT)
def test_counts_text_examples(counts, text):
    assert text_of(counts) == text
    assert reencoded(text) == text


def encode_by_the_rule(counts: list[int]) -> bytes:
    """Counts text written step by step: from the fourth count on the
    difference to two back, five bits a character until the rest is the
    sign extension of the last one."""
    out = bytearray()
    for i, x in enumerate(counts):
        x = int(x) - (int(counts[i - 2]) if i > 2 else 0)
        while True:
            c = x & 0x1F
            x >>= 5
            more = x != -1 if c & 0x10 else x != 0
            out.append((c | 0x20 if more else c) + 48)
            if not more:
                break
    return bytes(out)


@pytest.mark.parametrize("seed", range(20))
def test_counts_text_round_trip_and_reference(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))  # pycocotools crashes on an empty list
    scale = [2**4, 2**12, 2**28, 2**32][seed % 4]
    counts = rng.integers(0, scale, n, dtype=np.uint64).astype(np.uint32)
    text = text_of(counts.tolist())
    assert text == encode_by_the_rule(counts.tolist())
    assert reencoded(text) == text
    # Under ASan the reference is asked only about short counts: with six
    # characters for every count its buffer has no room left for the
    # terminating zero, a one-byte overrun that ASan stops on.
    if scale <= (2**12 if UNDER_ASAN else 2**28):
        # pycocotools writes the same text, but sizes its buffer for six
        # characters a count: differences of 2^29 or more need seven and
        # overrun it (heap corruption), so it is only asked about smaller runs.
        theirs = ref_native.frUncompressedRLE([{"size": [1, 1], "counts": counts}], 1, 1)[0]["counts"]
        assert text == theirs


def test_backslash_is_an_ordinary_character_unescaped():
    # Read from a Python object, a backslash is the character 92 - 48 = 44:
    # continuation bit set, so two of them form one count, 12 + (12 << 5).
    assert reencoded(b"\\\\") == text_of([12 + (12 << 5)])


def test_text_cut_in_a_group_is_still_stored():
    # "P" (continuation set) with nothing after it: the count 0x20 & 0x1F = 0
    assert reencoded(b"P") == text_of([0])
    assert reencoded(b"5P") == text_of([5, 0])


def test_nul_bytes_are_characters():
    # pycocotools reads counts as a C string and stops at the first NUL (and
    # then reads uninitialised memory); here every byte is decoded.
    nul = (0 - 48) % 256  # 208: no continuation, sign bit set -> a negative group
    assert reencoded(b"5\x00") == text_of([5, nul & 0x1F | ~0x1F & 0xFFFFFFFF])


def test_size_is_taken_modulo_2_32():
    assert T.merge([{"size": [2**32 + 5, 7], "counts": b"0"}])["size"] == [5, 7]


@pytest.mark.parametrize(
    "column,counts",
    [
        ([0, 255, 255, 0], [1, 2, 1]),
        ([0, 1, 2], [1, 1, 1]),  # any change of value starts a run
        ([1] * 40 + [0] * 33, [0, 40, 33]),  # runs longer than one 32-byte block
        ([0] * 64, [64]),
        ([], [0]),
    ],
)
def test_run_encoding_examples(column, counts):
    mask = np.array(column, np.uint8).reshape((len(column), 1, 1))
    assert T.encode(mask) == [{"size": [len(column), 1], "counts": text_of(counts)}]


def test_encode_edge_shapes():
    assert T.encode(np.zeros((2, 2, 0), np.uint8)) == []
    assert T.encode(np.zeros((2, 2, 1), np.uint8)) == [{"size": [2, 2], "counts": b"4"}]
    assert T.encode(np.zeros((0, 3, 1), np.uint8)) == [{"size": [0, 3], "counts": b"0"}]


def test_expansion_cuts_and_pads():
    assert pixels(rle(2, 2, [2, 3])) == [0, 0, 1, 1]
    assert pixels(rle(2, 2, [1])) == [0, 0, 0, 0]
    assert pixels(rle(2, 2, [0, 1, 0, 9])) == [1, 1, 1, 1]
    # every mask fills h*w bytes of the first mask's size
    out = T.decode([rle(2, 2, [0, 4]), rle(1, 1, [0, 1])])
    assert out.shape == (2, 2, 2) and out[:, :, 1].ravel(order="F").tolist() == [1, 0, 0, 0]


def test_merge_examples():
    full, empty = rle(2, 2, [0, 4]), rle(2, 2, [4])
    assert T.merge([full, empty]) == {"size": [2, 2], "counts": text_of([0, 4])}
    assert T.merge([full, empty], intersect=True) == {"size": [2, 2], "counts": text_of([4])}
    assert T.merge([]) == {"size": [0, 0], "counts": b""}
    assert T.merge([full]) == {"size": [2, 2], "counts": text_of([0, 4])}
    assert T.merge([rle(10, 10, [100]), rle(10, 11, [110])]) == {"size": [0, 0], "counts": b""}
    # a mask without counts gives h x w with none, unless a later size differs
    assert T.merge([full, rle(2, 2, []), full]) == {"size": [2, 2], "counts": b""}
    assert T.merge([full, rle(2, 2, []), rle(3, 3, [9])]) == {"size": [0, 0], "counts": b""}


def test_merge_and_iou_of_runs_with_different_totals_terminate():
    # pycocotools loops forever when one run list ends before the other; here
    # the shorter one counts as 0s for the rest.
    short, full = rle(2, 2, [0, 2]), rle(2, 2, [0, 4])
    assert T.merge([short, full]) == {"size": [2, 2], "counts": text_of([0, 4])}
    assert T.merge([short, full], 1) == {"size": [2, 2], "counts": text_of([0, 2, 2])}
    assert T.merge([full, short], 1) == {"size": [2, 2], "counts": text_of([0, 2, 2])}
    assert T.iou([short], [full], [0]).tolist() == [[0.5]]


def test_merge_32_bit_wrap_ends_the_walk():
    # 2^31 + 2^31 wraps to 0 in the running sum of the two current runs, which
    # ends the walk there, as in the reference's unsigned arithmetic.
    big = rle(1, 1, [2**31, 2**31])
    assert T.merge([big, big]) == {"size": [1, 1], "counts": text_of([2**31])}


def merge_by_the_rule(rles: list[dict], intersect: int) -> dict:
    """Merge of uncompressed RLEs as the toolkit's pairwise walk, step by step
    in unsigned 32-bit counters; a run list that has ended counts as 0s (where
    the toolkit would loop forever)."""
    if not rles:
        return {"size": [0, 0], "counts": b""}
    h, w = rles[0]["size"]
    acc = list(rles[0]["counts"])
    empty = False
    for r in rles[1:]:
        if r["size"] != [h, w]:
            return {"size": [0, 0], "counts": b""}
        if empty or not acc or not r["counts"]:
            empty = True
            continue
        lists, left, nxt, val = (acc, r["counts"]), [acc[0], r["counts"][0]], [1, 1], [0, 0]
        out, v, cc = [], 0, 0
        while True:
            ended = [left[k] == 0 and nxt[k] >= len(lists[k]) for k in (0, 1)]
            c = left[1] if ended[0] else left[0] if ended[1] else min(left)
            cc = (cc + c) & 0xFFFFFFFF
            for k in (0, 1):
                if not ended[k]:
                    left[k] = (left[k] - c) & 0xFFFFFFFF
                if left[k] == 0 and nxt[k] < len(lists[k]):
                    left[k], nxt[k], val[k] = lists[k][nxt[k]], nxt[k] + 1, val[k] ^ 1
                if left[k] == 0 and nxt[k] >= len(lists[k]):
                    val[k] = 0
            nv = (val[0] & val[1]) if intersect else (val[0] | val[1])
            ct = (left[0] + left[1]) & 0xFFFFFFFF
            if nv != v or ct == 0:
                out.append(cc)
                cc = 0
            if ct == 0:
                break
            v = nv
        acc = out
    return {"size": [h, w], "counts": b"" if empty else text_of(acc)}


def random_runs(rng: np.random.Generator, total: int) -> list[int]:
    """Runs of a mask of `total` pixels: mostly canonical and fragmented,
    sometimes with empty runs inside, or adding up to more or less."""
    runs = [int(v) for v in rng.integers(1, 4, total)]
    runs = runs[: int(np.searchsorted(np.cumsum(runs), total)) + 1]
    runs[-1] -= sum(runs) - total
    runs = [r for r in runs if r > 0]
    if rng.random() < 0.3:
        runs.insert(0, 0)  # the first pixel is set
    kind = rng.integers(0, 5)
    if kind == 0:
        runs.insert(int(rng.integers(1, len(runs) + 1)), 0)
    elif kind == 1:
        runs[-1] += int(rng.integers(1, 4))
    elif kind == 2 and runs[-1] > 1:
        runs[-1] -= 1
    return runs


@pytest.mark.parametrize("seed", range(40))
def test_merge_follows_the_pairwise_walk(seed):
    # Small masks are fragmented, so well-formed ones go to the bit image; a
    # malformed one in the middle turns the merge back to the walk.
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(1, 9)), int(rng.integers(1, 9))
    rles = [rle(h, w, random_runs(rng, h * w)) for _ in range(int(rng.integers(1, 8)))]
    for intersect in (0, 1):
        assert T.merge(rles, intersect) == merge_by_the_rule(rles, intersect), rles


def test_area_examples():
    np.testing.assert_array_equal(T.area([rle(1, 3, [3]), rle(2, 4, [0, 5, 2, 1])]), [0, 6])
    assert T.area([rle(1, 1, [0, 2**32 - 1, 0, 2])]).tolist() == [1]  # wraps in 32 bits
    assert T.area([]).dtype == np.uint32 and T.area([]).shape == (0,)


def test_bbox_examples():
    boxes = T.toBbox([rle(4, 4, [5, 2, 9]), rle(4, 4, [3, 2, 11]), rle(4, 4, [16])])
    assert boxes.tolist() == [[1, 1, 1, 2], [0, 0, 2, 4], [0, 0, 0, 0]]
    # Empty runs of 1s are skipped (as pycocotools 2.0.11 does; the older rule
    # put the run's neighbouring pixels into the box); with none left the box
    # is pycocotools' wrapped [w, h, 1 - w, 1 - h].
    skipped = {"size": [4, 4], "counts": text_of([1, 1, 1, 0, 1, 1, 11])}
    assert T.toBbox([skipped]).tolist() == ref_native.toBbox([skipped]).tolist() == [[0, 0, 2, 2]]
    odd = {"size": [4, 4], "counts": text_of([16, 0, 3])}
    assert T.toBbox([odd]).tolist() == ref_native.toBbox([odd]).tolist() == [[4, 4, 2**32 - 3, 2**32 - 3]]
    # height 0 with runs: pycocotools divides by zero (SIGFPE) here
    assert T.toBbox([rle(0, 7, [0, 1])]).tolist() == [[0, 0, 1, 1]]
    assert T.toBbox([rle(4, 4, [7])]).tolist() == [[0, 0, 0, 0]]  # odd count dropped
    assert T.toBbox([]).shape == (0, 4)


def test_box_iou_examples():
    dt = np.array([[0, 0, 10, 10.0]])
    assert T.iou(dt, [[5, 5, 10, 10]], [0]).tolist() == [[25 / 175]]
    assert T.iou(dt, [[5, 5, 10, 10]], [1]).tolist() == [[0.25]]
    assert T.iou(dt, [[5, 5, 10, 10]], [256]).tolist() == [[25 / 175]]  # low 8 bits
    assert T.iou(dt, [[0, 0, 10, 10]], [0]).tolist() == [[1.0]]
    assert T.iou(dt, [[10, 0, 5, 5]], [0]).tolist() == [[0.0]]  # touching edges
    assert T.iou([[2, 2, 3, 3]], [[0, 0, 10, 10]], [1]).tolist() == [[1.0]]  # inside a crowd
    # missing flags are not crowd, surplus flags are ignored
    assert T.iou(dt, [[5, 5, 10, 10], [5, 5, 10, 10]], [1]).tolist() == [[0.25, 25 / 175]]
    assert T.iou(dt, [[5, 5, 10, 10]], [0, 1, 1]).tolist() == [[25 / 175]]


def test_mask_iou_examples():
    assert T.iou([rle(2, 2, [0, 2, 2])], [rle(2, 2, [0, 4])], [1]).tolist() == [[1.0]]
    assert T.iou([rle(2, 2, [0, 2, 2])], [rle(2, 3, [0, 6])], [0]).tolist() == [[-1.0]]
    assert T.iou([rle(2, 2, [0, 1, 3])], [rle(2, 3, [5, 1])], [0]).tolist() == [[0.0]]
    assert T.iou([rle(2, 2, [0, 2, 2])], [rle(2, 2, [0, 4])], [0]).tolist() == [[0.5]]


BOX_RASTER = [
    ([0, 0, 2, 2], [0, 2, 2, 2, 10]),
    ([0.5, 0.5, 1, 1], [5, 1, 10]),
    ([-10, -10, 100, 100], [0, 16]),
    ([1, 1, 0, 0], [16]),
]


@pytest.mark.parametrize("box,counts", BOX_RASTER)
def test_box_rasterisation_examples(box, counts):
    expected = [{"size": [4, 4], "counts": text_of(counts)}]
    assert T.frBbox([box], 4, 4) == expected
    x, y, w, h = box
    assert T.frPoly([[x, y, x, y + h, x + w, y + h, x + w, y]], 4, 4) == expected


def test_polygon_rasterisation_examples():
    assert T.frPoly([[], [3.0], [2, 2, 2, 2, 2, 2]], 4, 4) == [{"size": [4, 4], "counts": text_of([16])}] * 3
    square = [0, 0, 0, 2, 2, 2, 2, 0]
    assert T.frPoly([square + [7]], 4, 4) == T.frPoly([square], 4, 4)
    assert T.frPoly([[]], 2**16, 2**16)[0]["counts"] == text_of([0])  # h*w wraps in 32 bits


@pytest.mark.parametrize(
    "coords",
    [
        [math.nan, 1, 5, 5, 3, 8],
        [1e300, -1e300, 5, 5, 3, 3],
        [math.inf, 2, -math.inf, 3, 5, 5],
        [-(2**31), 0, 2**31, 10, 0, 2**31],
        [1e9, 1e9, -1e9, 1e9, -1e9, -1e9, 1e9, -1e9],
    ],
)
def test_far_and_invalid_vertices_give_a_mask(coords):
    # Vertices far off the image (pycocotools would allocate every upsampled
    # point of such edges); the walk here skips what cannot cross the image.
    for h, w in ((10, 10), (0, 5), (5, 0)):
        out = T.frPoly([coords], h, w)[0]
        assert out["size"] == [h, w]


def test_huge_polygon_around_the_image_fills_it():
    big = 1e8  # 5e8 after upsampling still fits in 32 bits
    square = [big, big, -big, big, -big, -big, big, -big]
    assert T.frPoly([square], 6, 7) == T.frBbox([[0, 0, 7, 6]], 6, 7)
    # past 2^31 / 5 every vertex becomes the same clamped point: an empty mask
    assert T.frPoly([[v * 100 for v in square]], 6, 7)[0]["counts"] == text_of([42])


BOUNDARY = [
    ((4, 4), [0, 16], 0.02, [0, 5, 2, 2, 2, 5]),
    ((3, 3), [4, 1, 4], 0.02, [4, 1, 4]),
    ((5, 5), [0, 25], 0.02, [0, 6, 3, 2, 3, 2, 3, 6]),
    ((5, 5), [0, 25], 0.5, [0, 25]),
    ((7, 7), [0, 49], 0.2, [0, 16, 3, 4, 3, 4, 3, 16]),
    ((5, 5), [0, 25], 0.0, [0, 6, 3, 2, 3, 2, 3, 6]),
    ((5, 5), [0, 25], -3.0, [0, 6, 3, 2, 3, 2, 3, 6]),
    ((5, 5), [0, 25], math.nan, [0, 6, 3, 2, 3, 2, 3, 6]),
    ((0, 5), [3, 1], 0.02, [3, 1]),
]


@pytest.mark.parametrize("size,counts,ratio,expected", BOUNDARY)
def test_boundary_examples(size, counts, ratio, expected):
    out = T.toBoundary([rle(*size, counts)], ratio)
    assert out == [{"size": list(size), "counts": text_of(expected)}]


def test_boundary_default_ratio_and_half_rounding():
    full = rle(5, 5, [0, 25])
    assert T.toBoundary([full]) == T.toBoundary([full], 0.02)



@pytest.mark.parametrize(
    "h,w,ratio,passes",
    [
        (30, 40, 0.25, 12),  # 12.5 exactly: halves go to the even neighbour
        (375, 500, 0.02, 12),  # COCO's common size: diagonal 625, width 12.5
        (500, 375, 0.02, 12),
        (3, 4, 0.5, 2),  # 2.5
        (30, 40, 0.15, 8),  # 7.5
        (30, 40, 0.23, 12),  # 11.5
        (30, 40, 0.254, 13),  # 12.7
    ],
)
def test_boundary_band_width_rounds_halves_to_even(h, w, ratio, passes):
    assert passes == max(int(round(ratio * math.sqrt(h * h + w * w))), 1)
    yy, xx = np.mgrid[0:h, 0:w]
    band = np.minimum(np.minimum(yy, h - 1 - yy), np.minimum(xx, w - 1 - xx)) < passes
    got = T.decode(T.toBoundary([rle(h, w, [0, h * w])], ratio))[:, :, 0]
    np.testing.assert_array_equal(got, band.astype(np.uint8))


def numpy_boundary(mask: np.ndarray, ratio: float) -> np.ndarray:
    h, w = mask.shape
    passes = max(int(round(ratio * math.sqrt(h * h + w * w))), 1)
    img = np.pad(mask != 0, 1)
    for _ in range(passes):
        inner = np.ones((h, w), bool)
        for dy in (0, 1, 2):
            for dx in (0, 1, 2):
                inner &= img[dy : dy + h, dx : dx + w]
        img = np.pad(inner, 1)
    return (mask.astype(bool) & ~img[1:-1, 1:-1]).astype(np.uint8)


@pytest.mark.parametrize("seed", range(15))
def test_boundary_matches_erosion(seed):
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(1, 60)), int(rng.integers(1, 60))
    mask = np.zeros((h, w), np.uint8)
    for _ in range(3):
        y, x = rng.integers(0, h), rng.integers(0, w)
        mask[y : y + rng.integers(1, h + 1), x : x + rng.integers(1, w + 1)] = 1
    mask |= (rng.random((h, w)) < 0.05).astype(np.uint8)
    ratio = float(rng.choice([0.005, 0.02, 0.05, 0.1, 0.3]))
    got = T.decode(T.toBoundary(T.encode(mask[:, :, None]), ratio))[:, :, 0]
    np.testing.assert_array_equal(got, numpy_boundary(mask, ratio))


@pytest.mark.parametrize("seed", range(12))
def test_boundary_of_noisy_border_and_malformed_masks_matches_erosion(seed):
    rng = np.random.default_rng(100 + seed)
    h, w = int(rng.integers(1, 50)), int(rng.integers(1, 50))
    frame = np.ones((h, w), np.uint8)
    frame[1:-1, 1:-1] = 0
    corners = np.zeros((h, w), np.uint8)
    corners[[0, 0, -1, -1], [0, -1, 0, -1]] = 1
    masks = [(rng.random((h, w)) < d).astype(np.uint8) for d in (0.1, 0.5, 0.9)] + [frame, corners]
    objs = T.encode(np.asfortranarray(np.stack(masks, axis=2)))
    # run lengths that stop short of h*w, run past it, or hold empty runs
    for _ in range(3):
        counts = [int(v) for v in rng.integers(0, max(2, h * w // 3), int(rng.integers(1, 9)))]
        objs.append({"size": [h, w], "counts": counts})
    ratio = float(rng.choice([0.0, 0.01, 0.05, 0.2, 0.6]))
    for obj in objs:
        got = T.decode(T.toBoundary([obj], ratio))[:, :, 0]
        np.testing.assert_array_equal(got, numpy_boundary(T.decode([obj])[:, :, 0], ratio), err_msg=str(obj))


def test_boundary_with_huge_ratio_is_the_mask():
    m = rle(50, 60, [0, 3000])
    assert T.toBoundary([m], 1e12)[0]["counts"] == text_of([0, 3000])


def decode_by_the_rule(text: bytes) -> list[int]:
    """Counts text decoded step by step: 5 bits a character, 0x20 continues,
    0x10 in the last character extends the sign (below bit 64), and from the
    fourth count on the count two places back is added, all kept to 32 bits."""
    counts: list[int] = []
    p = 0
    while p < len(text):
        x, j = 0, 0
        while True:
            c = (text[p] - 48) % 256
            if 5 * j < 64:
                x |= (c & 0x1F) << (5 * j)
            j += 1
            if not c & 0x20 and c & 0x10 and 5 * j <= 63:
                x |= ~((1 << (5 * j)) - 1) & ((1 << 64) - 1)
            p += 1
            if not (c & 0x20 and p < len(text)):
                break
        if len(counts) > 2:
            x += counts[-2]
        counts.append(x & 0xFFFFFFFF)
    return counts


@pytest.mark.parametrize("seed", range(40))
def test_any_bytes_decode_by_the_rule(seed):
    rng = np.random.default_rng(seed)
    # the last alphabet: bytes that each end a group, read eight at a time
    single = [b for b in range(256) if not (b - 48) % 256 & 0x20]
    alphabet = [range(48, 112), range(0, 256), [ord("\\"), 80, 48, 111], single][seed % 4]
    text = bytes(rng.choice(list(alphabet), int(rng.integers(0, 60))).tolist())
    assert reencoded(text) == text_of(decode_by_the_rule(text))
