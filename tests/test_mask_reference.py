"""Differential tests of the mask functions against pycocotools over random inputs.

Every case is parametrised by its seed, so a failure names the seed that
replays it. Where the two differ on purpose the test says why.
"""

from __future__ import annotations

import numpy as np
import pytest
from pycocotools import _mask as ref_native
from pycocotools import mask as ref

from brandor import _tarnel as T
from brandor import mask as M

SEEDS = list(range(40))


def random_masks(rng: np.random.Generator, h: int, w: int, n: int) -> np.ndarray:
    """0/1 masks of mixed kinds: noise of some density, rectangles, full, empty."""
    out = np.zeros((h, w, n), np.uint8)
    for k in range(n):
        kind = rng.integers(0, 5)
        if kind == 0:
            out[:, :, k] = rng.random((h, w)) < rng.random()
        elif kind == 1:
            for _ in range(rng.integers(1, 4)):
                y0, x0 = rng.integers(0, h), rng.integers(0, w)
                out[y0 : y0 + rng.integers(1, h + 1), x0 : x0 + rng.integers(1, w + 1), k] = 1
        elif kind == 2:
            out[:, :, k] = 1
        elif kind == 3:
            # long runs across columns exercise the 32-byte block scan
            flat = np.zeros(h * w, np.uint8)
            for _ in range(rng.integers(1, 6)):
                a = rng.integers(0, h * w)
                flat[a : a + rng.integers(1, h * w)] = 1
            out[:, :, k] = flat.reshape((w, h)).T
    return out


def random_shape(rng: np.random.Generator) -> tuple[int, int, int]:
    big = rng.random() < 0.3
    hi = 120 if big else 12
    return int(rng.integers(1, hi)), int(rng.integers(1, hi)), int(rng.integers(1, 5))


def random_polygon(rng: np.random.Generator, h: int, w: int) -> list[float]:
    kind = rng.integers(0, 6)
    k = int(rng.integers(1, 9))
    span = max(h, w)
    if kind == 0:  # inside the image, fractional
        pts = rng.random((k, 2)) * [w, h]
    elif kind == 1:  # vertices well outside the image
        pts = rng.uniform(-2 * span, 3 * span, (k, 2))
    elif kind == 2:  # integer vertices with repeats
        pts = rng.integers(-2, span + 2, (k, 2)).astype(float)
        pts = np.repeat(pts, rng.integers(1, 3, k), axis=0)
    elif kind == 3:  # collinear
        t = np.sort(rng.random(k))
        a, b = rng.random(2) * [w, h], rng.random(2) * [w, h]
        pts = a + t[:, None] * (b - a)
    elif kind == 4:  # self-intersecting star
        ang = np.linspace(0, 4 * np.pi, 2 * k + 1)[:-1]
        pts = np.c_[np.cos(ang), np.sin(ang)] * span / 2 + [w / 2, h / 2]
    else:  # half-integers land exactly on the sampling grid
        pts = rng.integers(-4, 2 * span + 4, (k, 2)) / 2.0
    flat = [float(v) for v in pts.ravel()]
    if rng.random() < 0.2:
        flat.append(float(rng.random() * span))  # odd count: the last value is ignored
    return flat


def random_boxes(rng: np.random.Generator, n: int, h: int, w: int) -> np.ndarray:
    span = max(h, w)
    boxes = np.c_[rng.uniform(-span, span, (n, 2)), rng.uniform(0, 1.5 * span, (n, 2))]
    kind = rng.integers(0, 3)
    if kind == 1:
        boxes = np.round(boxes)
    elif kind == 2:
        boxes[rng.random(n) < 0.3] *= 1000  # huge boxes far past the image
    return boxes


@pytest.mark.parametrize("seed", SEEDS)
def test_encode_decode_area_bbox_match(seed):
    rng = np.random.default_rng(seed)
    h, w, n = random_shape(rng)
    masks = random_masks(rng, h, w, n)
    fortran = np.asfortranarray(masks)
    expected = ref.encode(fortran)
    assert T.encode(fortran) == expected
    # pycocotools refuses C-ordered arrays ("ndarray is not Fortran contiguous");
    # the native encode copies them and gives the same result.
    assert T.encode(np.ascontiguousarray(masks)) == expected
    # any strides: a view with a reversed axis
    flipped = masks[:, ::-1, :]
    assert T.encode(flipped) == ref.encode(np.asfortranarray(flipped))

    ours, theirs = T.decode(expected), ref.decode(expected)
    assert ours.dtype == theirs.dtype == np.uint8
    assert ours.shape == theirs.shape
    # strides of axes of length 1 carry no meaning (NumPy normalises them)
    used = [i for i, d in enumerate(ours.shape) if d > 1]
    assert [ours.strides[i] for i in used] == [theirs.strides[i] for i in used]
    assert ours.flags["F_CONTIGUOUS"] and theirs.flags["F_CONTIGUOUS"]
    np.testing.assert_array_equal(ours, theirs)
    np.testing.assert_array_equal(ours, masks)

    for name in ("area", "toBbox"):
        a, b = getattr(T, name)(expected), getattr(ref, name)(expected)
        assert a.dtype == b.dtype and a.shape == b.shape and a.flags["C_CONTIGUOUS"]
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("seed", SEEDS)
def test_python_layer_single_mask_forms_match(seed):
    rng = np.random.default_rng(seed)
    h, w, _ = random_shape(rng)
    mask = np.asfortranarray(random_masks(rng, h, w, 1)[:, :, 0])
    rle = M.encode(mask)
    assert rle == ref.encode(mask)
    np.testing.assert_array_equal(M.decode(rle), ref.decode(rle))
    assert M.area(rle) == ref.area(rle) and type(M.area(rle)) is type(ref.area(rle))
    np.testing.assert_array_equal(M.toBbox(rle), ref.toBbox(rle))


def border_masks(h: int, w: int) -> np.ndarray:
    """Masks touching the image border: each corner, each edge row and column, a frame."""
    out = []
    for y, x in ((0, 0), (0, w - 1), (h - 1, 0), (h - 1, w - 1)):
        m = np.zeros((h, w), np.uint8)
        m[y, x] = 1
        out.append(m)
    for sel in (np.s_[0, :], np.s_[h - 1, :], np.s_[:, 0], np.s_[:, w - 1]):
        m = np.zeros((h, w), np.uint8)
        m[sel] = 1
        out.append(m)
    frame = np.ones((h, w), np.uint8)
    frame[1:-1, 1:-1] = 0
    out.append(frame)
    holed = np.ones((h, w), np.uint8)
    holed[h // 2, w // 2] = 0
    out.append(holed)
    return np.stack(out, axis=2)


# Sizes around the 16- and 32-byte blocks of the run scan, and a full image.
NOISY_SHAPES = [(1, 1), (1, 17), (15, 1), (4, 4), (3, 11), (16, 2), (31, 33), (37, 53), (480, 640)]


@pytest.mark.parametrize("shape", NOISY_SHAPES)
@pytest.mark.parametrize("density", [0.03, 0.3, 0.5, 0.97])
def test_noisy_and_border_masks_match(shape, density):
    h, w = shape
    rng = np.random.default_rng(h * 1000 + w + int(density * 100))
    noisy = (rng.random((h, w, 3)) < density).astype(np.uint8)
    masks = np.asfortranarray(np.concatenate([noisy, border_masks(h, w)], axis=2))
    rles = ref.encode(masks)
    assert T.encode(masks) == rles
    assert T.encode(np.ascontiguousarray(masks)) == rles
    np.testing.assert_array_equal(T.decode(rles), masks)
    np.testing.assert_array_equal(T.area(rles), ref.area(rles))
    np.testing.assert_array_equal(T.toBbox(rles), ref.toBbox(rles))
    for intersect in (0, 1):
        assert T.merge(rles, intersect) == ref.merge(rles, intersect)
        assert T.merge(rles[:2], intersect) == ref.merge(rles[:2], intersect)
    crowd = [int(i % 3 == 0) for i in range(len(rles))]
    np.testing.assert_array_equal(T.iou(rles, rles[::-1], crowd), ref.iou(rles, rles[::-1], crowd))


@pytest.mark.parametrize("shape", [(5, 7), (37, 53), (480, 640)])
@pytest.mark.parametrize("density", [0.05, 0.3, 0.7])
def test_merge_of_many_noisy_and_border_masks_matches(shape, density):
    # Twenty noisy masks with the border masks shuffled in, then smooth
    # masks before noisy ones: merges that switch between run lists and a
    # bit image part way through the call.
    h, w = shape
    rng = np.random.default_rng(h * 7919 + w + int(density * 100))
    noisy = (rng.random((h, w, 20)) < density).astype(np.uint8)
    masks = np.concatenate([noisy, border_masks(h, w)], axis=2)
    masks = np.asfortranarray(masks[:, :, rng.permutation(masks.shape[2])])
    rles = ref.encode(masks)
    smooth_first = ref.encode(np.asfortranarray(np.concatenate([border_masks(h, w), noisy[:, :, :5]], axis=2)))
    for intersect in (0, 1):
        for objs in (rles, rles[:3], rles[::-1], smooth_first):
            assert T.merge(objs, intersect) == ref.merge(objs, intersect)


@pytest.mark.parametrize("seed", SEEDS)
def test_merge_matches(seed):
    rng = np.random.default_rng(seed)
    h, w, n = random_shape(rng)
    rles = ref.encode(np.asfortranarray(random_masks(rng, h, w, n + 1)))
    for intersect in (0, 1):
        assert T.merge(rles, intersect) == ref.merge(rles, intersect)
        assert T.merge(rles, intersect=bool(intersect)) == ref.merge(rles, intersect=intersect)
    # disjoint masks: the intersection is empty, the union holds both
    a = np.zeros((h, w, 2), np.uint8, order="F")
    a[: h // 2, :, 0] = 1
    a[h // 2 :, :, 1] = 1
    pair = ref.encode(a)
    assert T.merge(pair, 1) == ref.merge(pair, 1)
    assert T.merge(pair, 0) == ref.merge(pair, 0)


@pytest.mark.parametrize("seed", SEEDS)
def test_mask_iou_matches(seed):
    rng = np.random.default_rng(seed)
    h, w, _ = random_shape(rng)
    m, n = int(rng.integers(1, 7)), int(rng.integers(1, 7))
    dt = ref.encode(np.asfortranarray(random_masks(rng, h, w, m)))
    gt = ref.encode(np.asfortranarray(random_masks(rng, h, w, n)))
    crowd = [int(v) for v in rng.integers(0, 2, n)]
    ours, theirs = T.iou(dt, gt, crowd), ref.iou(dt, gt, crowd)
    assert ours.dtype == theirs.dtype and ours.shape == theirs.shape == (m, n)
    # pycocotools returns the (m, n) matrix in Fortran order; ours is row-major
    # (element [d, g] is the same value either way).
    assert ours.flags["C_CONTIGUOUS"]
    np.testing.assert_array_equal(ours, theirs)
    # str counts decode like bytes
    as_str = [{"size": r["size"], "counts": r["counts"].decode()} for r in gt]
    np.testing.assert_array_equal(T.iou(dt, as_str, crowd), theirs)


@pytest.mark.parametrize("seed", SEEDS)
def test_box_iou_matches(seed):
    rng = np.random.default_rng(seed)
    m, n = int(rng.integers(1, 9)), int(rng.integers(1, 9))
    dt, gt = random_boxes(rng, m, 50, 50), random_boxes(rng, n, 50, 50)
    if rng.random() < 0.3:
        k = min(m, n) // 2 + 1
        gt[:k] = dt[:k]  # identical boxes
    crowd = [int(v) for v in rng.integers(0, 2, n)]
    theirs = ref.iou(dt, gt, crowd)
    for d_form, g_form in ((dt, gt), (dt.tolist(), gt.tolist()), (dt, gt.tolist())):
        ours = T.iou(d_form, g_form, crowd)
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
        np.testing.assert_array_equal(ours, theirs)
    # crowd flags given as a NumPy array or as bools read the same
    np.testing.assert_array_equal(T.iou(dt, gt, np.array(crowd, np.uint8)), theirs)
    np.testing.assert_array_equal(T.iou(dt, gt, [bool(c) for c in crowd]), theirs)


def test_box_iou_nan_coordinates_match():
    # The overlap test is "skip when width <= 0": a NaN width is not skipped,
    # and fmin/fmax drop a single NaN operand, exactly as in pycocotools.
    boxes = [[np.nan, 0, 10, 10], [0, 0, 10, 10], [0, np.nan, 5, 5], [1, 1, np.nan, 4]]
    theirs = ref.iou(np.array(boxes), np.array(boxes), [0, 1, 0, 0])
    np.testing.assert_array_equal(T.iou(boxes, boxes, [0, 1, 0, 0]), theirs)


@pytest.mark.parametrize("seed", SEEDS)
def test_polygons_match(seed):
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(1, 80)), int(rng.integers(1, 80))
    polys = [random_polygon(rng, h, w) for _ in range(int(rng.integers(1, 6)))]
    expected = ref_native.frPoly(polys, h, w)
    assert T.frPoly(polys, h, w) == expected
    if len(polys[0]) > 4:
        # pycocotools' frPyObjects dispatches on the first polygon's length and
        # fails when it has 4 values or fewer; from 5 values on it is frPoly.
        assert ref.frPyObjects(polys, h, w) == expected
    if len(polys[0]) != 4:  # four values first make frPyObjects read boxes
        assert T.frPyObjects(polys, h, w) == expected
    # a polygon set is the union of its rings
    assert T.merge(T.frPoly(polys, h, w)) == ref.merge(expected)


@pytest.mark.parametrize("seed", SEEDS)
def test_boxes_rasterise_like_reference(seed):
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(1, 80)), int(rng.integers(1, 80))
    boxes = random_boxes(rng, int(rng.integers(1, 6)), h, w)
    expected = ref.frPyObjects(boxes, h, w)
    assert T.frPyObjects(boxes, h, w) == expected
    assert T.frBbox(boxes, h, w) == expected
    # pycocotools' frBbox takes only an ndarray; lists give the same boxes here
    assert T.frBbox(boxes.tolist(), h, w) == expected
    assert T.frPyObjects(boxes.tolist(), h, w) == expected
    # a rectangle as a polygon gives identical counts
    x, y, bw, bh = boxes[0]
    poly = [x, y, x, y + bh, x + bw, y + bh, x + bw, y]
    assert T.frPoly([poly], h, w) == [expected[0]]


@pytest.mark.parametrize("seed", SEEDS[:10])
def test_uncompressed_rles_match(seed):
    rng = np.random.default_rng(seed)
    h, w, n = random_shape(rng)
    masks = random_masks(rng, h, w, n)
    uncompressed = []
    for k in range(n):
        flat = masks[:, :, k].ravel(order="F")
        change = np.flatnonzero(np.diff(np.r_[0, flat, 1 - flat[-1]]))
        uncompressed.append({"size": [h, w], "counts": np.diff(np.r_[0, change]).tolist()})
    expected = ref.frPyObjects(uncompressed, h, w)
    assert expected == ref.encode(np.asfortranarray(masks))
    assert T.frPyObjects(uncompressed, h, w) == expected
    assert T.frUncompressedRLE(uncompressed, 0, 0) == ref_native.frUncompressedRLE(uncompressed, h, w)
    assert T.frPyObjects(uncompressed[0], h, w) == expected[0]
    # list counts are accepted wherever compressed counts are
    assert T.merge(uncompressed, 0) == ref.merge(expected, 0)
    np.testing.assert_array_equal(T.area(uncompressed), ref.area(expected))


@pytest.mark.parametrize("seed", SEEDS[:10])
def test_larger_polygons_match(seed):
    # Long edges (hundreds of pixels) take the clipped edge walk.
    rng = np.random.default_rng(1000 + seed)
    h, w = int(rng.integers(200, 600)), int(rng.integers(200, 600))
    polys = [list(rng.uniform(-300, 900, 2 * int(rng.integers(3, 12)))) for _ in range(4)]
    polys.append([float(v) for v in (rng.random((20, 2)) * [w, h] * 20).ravel()])
    assert T.frPoly(polys, h, w) == ref.frPyObjects(polys, h, w)


def noncanonical_counts(rng: np.random.Generator, total: int) -> list[int]:
    """Runs adding up to `total` with empty runs sprinkled in (as decoded
    text or hand-written counts may have)."""
    cuts = np.sort(rng.integers(0, total + 1, int(rng.integers(0, 8))))
    runs = np.diff(np.r_[0, cuts, total]).tolist()
    for _ in range(int(rng.integers(0, 4))):
        at = int(rng.integers(0, len(runs) + 1))
        runs[at:at] = [0, 0] if rng.random() < 0.5 else [0]
    if sum(runs) != total:
        runs.append(total - sum(runs))
    return [int(r) for r in runs]


@pytest.mark.parametrize("seed", SEEDS)
def test_noncanonical_runs_match(seed):
    # Runs that add up to h*w but contain empty runs. Empty runs of 1s do not
    # widen a bounding box in pycocotools 2.0.11 (an empty mask of that kind
    # gets the wrapped box [w, h, 2^32 + 1 - w, 2^32 + 1 - h]); the box here
    # follows it.
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(2, 8)), int(rng.integers(1, 8))
    rles = [
        ref_native.frUncompressedRLE(
            [{"size": [h, w], "counts": np.array(noncanonical_counts(rng, h * w), np.uint32)}], h, w
        )[0]
        for _ in range(4)
    ]
    np.testing.assert_array_equal(T.toBbox(rles), ref.toBbox(rles))
    np.testing.assert_array_equal(T.area(rles), ref.area(rles))
    np.testing.assert_array_equal(T.decode(rles), ref.decode(rles))
    # IoU against well-formed masks only: two lists with empty runs can stop
    # each other's walk early (both current runs 0). merge is not compared:
    # pycocotools' output buffer (|A| + |B| runs) overflows on such input.
    plain = ref.encode(np.asfortranarray(random_masks(rng, h, w, 2)))
    np.testing.assert_array_equal(T.iou(rles, plain, [0, 1]), ref.iou(rles, plain, [0, 1]))
    np.testing.assert_array_equal(T.iou(plain, rles, [1, 0, 1, 0]), ref.iou(plain, rles, [1, 0, 1, 0]))
