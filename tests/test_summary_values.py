"""summary_values against a NumPy selection of the same cells."""

import numpy as np
import pytest

from brandor._tarnel import summary_values


def reference_selection(array, thresholds, categories, area, max_det):
    values = []
    if array.ndim == 5:
        for t in thresholds:
            for r in range(array.shape[1]):
                for k in categories:
                    values.append(array[t, r, k, area, max_det])
    else:
        for t in thresholds:
            for k in categories:
                values.append(array[t, k, area, max_det])
    values = np.array(values, dtype=np.float64)
    return values[values > -1]


def random_array(rng, ndim):
    shape = tuple(int(s) for s in rng.integers(1, 5, size=ndim))
    base = rng.choice([-1.0, np.nan, -0.5, 0.0, 0.25, 1.0], size=shape)
    base = np.where(rng.random(shape) < 0.5, rng.random(shape), base)
    view = rng.integers(0, 3)
    if view == 1:  # a non-contiguous view
        big = np.full(tuple(2 * s for s in shape), 7.0)
        big[tuple(slice(None, None, 2) for _ in shape)] = base
        base = big[tuple(slice(None, None, 2) for _ in shape)]
    elif view == 2:  # Fortran order, reversed axis
        base = np.asfortranarray(base)[::-1][::-1]
    return base


@pytest.mark.parametrize("seed", range(60))
def test_matches_numpy_selection(seed):
    rng = np.random.default_rng(seed)
    ndim = 5 if seed % 2 else 4
    a = random_array(rng, ndim)
    t = list(rng.integers(0, a.shape[0], size=rng.integers(0, 4)))
    k = list(rng.integers(0, a.shape[-3], size=rng.integers(0, 4)))
    area = int(rng.integers(0, a.shape[-2]))
    max_det = int(rng.integers(0, a.shape[-1]))
    got = summary_values(a, t, k, area, max_det)
    want = reference_selection(a, t, k, area, max_det)
    assert got.dtype == np.float64 and got.ndim == 1
    assert got.flags.c_contiguous
    if got.size:  # the values buffer is handed over, not copied
        assert got.flags.owndata is False and got.base is not None
    np.testing.assert_array_equal(got, want, err_msg=f"seed {seed}")


def test_repeated_positions_and_order():
    a = np.arange(2 * 3 * 2 * 1 * 1, dtype=np.float64).reshape(2, 3, 2, 1, 1)
    got = summary_values(a, [1, 0, 1], [1, 0], 0, 0)
    want = [a[t, r, k, 0, 0] for t in [1, 0, 1] for r in range(3) for k in [1, 0]]
    assert got.tolist() == want


def test_only_values_above_minus_one_survive():
    a = np.array([-1.0, -0.5, np.nan, -1.0000001, 0.0]).reshape(1, 5, 1, 1)
    assert summary_values(a, [0], [0, 1, 2, 3, 4], 0, 0).tolist() == [-0.5, 0.0]
    assert summary_values(a, [], [0], 0, 0).shape == (0,)
    assert summary_values(a, [0], [0], 0, 0).shape == (0,)


@pytest.mark.parametrize(
    "array, args, message",
    [
        (np.zeros((2, 2, 2)), ([0], [0], 0, 0), "summary array must have four or five axes"),
        (np.zeros((2,) * 6), ([0], [0], 0, 0), "summary array must have four or five axes"),
        (np.zeros((2, 2, 2, 2)), ([2], [0], 0, 0), "summary selection is outside the array"),
        (np.zeros((2, 2, 2, 2)), ([0], [2], 0, 0), "summary selection is outside the array"),
        (np.zeros((2, 2, 2, 2)), ([0], [0], 2, 0), "summary selection is outside the array"),
        (np.zeros((2, 2, 2, 2, 2)), ([0], [0], 0, 2), "summary selection is outside the array"),
    ],
)
def test_errors(array, args, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        summary_values(array, *args)


def test_unaligned_array_is_refused():
    raw = np.zeros(8 * 16 + 1, dtype=np.uint8)[1:]
    a = raw.view(np.float64).reshape(2, 2, 2, 2)
    assert not a.flags.aligned
    with pytest.raises(ValueError, match="^summary array must be aligned$"):
        summary_values(a, [0], [0], 0, 0)


def test_result_outlives_input():
    a = np.full((1, 1, 1, 1), 0.5)
    got = summary_values(a, [0], [0], 0, 0)
    del a
    assert got.tolist() == [0.5]
