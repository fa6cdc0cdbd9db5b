"""Federated flags installed by Evaluator.configure_lvis: ignored ground
truths, crowd semantics off or kept, and unmatched detections of
not-exhaustively-annotated pairs not counted as false positives."""

import threading

import numpy as np
import pytest

from brandor import _tarnel
from test_evaluator_rules import dt, evaluator, gt, verdicts


def test_ignore_flags_replace_the_base_flags_and_run_honours_them():
    g = [gt(id=1), gt(id=2, b=(50, 50, 10, 10))]
    d = [dt(score=0.9), dt(b=(50, 50, 10, 10), score=0.8)]
    ev = evaluator(g, d)
    assert ev.run()["recall"].ravel().tolist() == [1.0]
    ev.configure_lvis([False, True], [])
    gt_ids, ignored, matched = verdicts(ev)
    # The detection matched to the ignored ground truth is neither TP nor FP.
    assert gt_ids == [1, 2] and ignored == [False, True]
    out = ev.run()
    assert out["counts"] == [1, 3, 1, 1, 1]
    assert out["recall"].ravel().tolist() == [1.0]
    # A later call replaces everything; the last call wins.
    ev.configure_lvis([True, True], [])
    assert ev.run()["recall"].ravel().tolist() == [-1.0]


def test_wrong_ignore_length_changes_nothing():
    g = [gt(id=1), gt(id=2, b=(50, 50, 10, 10))]
    ev = evaluator(g, [dt(cat=1, b=(80, 80, 5, 5))])
    ev.configure_lvis([True, False], [(1, 1)])
    before = verdicts(ev)
    with pytest.raises(ValueError, match="^LVIS ignore flags do not match ground-truth length$"):
        ev.configure_lvis([False], [])
    assert verdicts(ev) == before


def test_crowds_cleared_unless_preserved():
    # One crowd box absorbs both detections while crowd semantics hold.
    g = [gt(id=5, b=(0, 0, 100, 100), iscrowd=1)]
    d = [dt(b=(10, 10, 20, 20), score=0.9), dt(b=(40, 40, 20, 20), score=0.8)]
    ev = evaluator(g, d)
    ev.configure_lvis([False], [], preserve_crowds=True)
    assert verdicts(ev)[0] == [5, 5]
    # Without crowds the IoU uses the plain union (0.04) and nothing matches.
    ev.configure_lvis([False], [])
    assert verdicts(ev) == ([-1, -1], [False, False], [False])


def test_non_exhaustive_pairs_ignore_only_unmatched_detections():
    g = [gt(img=1, cat=1, id=1)]
    d = [dt(img=1, cat=1, b=(60, 60, 9, 9), score=0.95), dt(img=1, cat=1, score=0.9),
         dt(img=2, cat=1, score=0.99)]
    ev = evaluator(g, d, img_ids=[1, 2])
    ev.configure_lvis([False], [(1, 1), (99, 1), (1, 42)])
    gt_ids, ignored, _ = verdicts(ev)
    # Matched TP stays a TP; the unmatched one on image 1 is ignored; image 2
    # is exhaustively annotated, so its detection stays a false positive.
    assert gt_ids == [-1, 1, -1] and ignored == [True, False, False]
    assert ev.run()["precision"].ravel().tolist() == [0.5] * 3
    ev.configure_lvis([False], [(1, 1), (2, 1)])
    assert ev.run()["precision"].ravel().tolist() == [1.0 / (1.0 + 2.220446049250313e-16)] * 3
    # A second list replaces the first; an empty list clears every flag.
    ev.configure_lvis([False], [(2, 1)])
    assert verdicts(ev)[1] == [False, False, True]
    ev.configure_lvis([False], [])
    assert verdicts(ev)[1] == [False, False, False]
    assert ev.run()["precision"].ravel().tolist() == [1.0 / 3.0] * 3


def test_without_ground_truth_and_with_unknown_images():
    ev = evaluator([], [dt(img=1), dt(img=7)], img_ids=[1])
    ev.configure_lvis([], [(7, 1)])  # image 7 is not evaluated: changes nothing
    assert verdicts(ev)[1] == [False]
    ev.configure_lvis([], [(1, 1)])
    assert verdicts(ev)[1] == [True]
    ev.configure_lvis([], [])
    assert verdicts(ev)[1] == [False]


@pytest.mark.parametrize(
    "args, name, exc, text",
    [
        (("ab", []), "gt_ignore", TypeError, None),
        (([1], []), "gt_ignore", TypeError, None),
        (([True], [(1, 2, 3)]), "non_exhaustive", ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (([True], [[1, 2]]), "non_exhaustive", TypeError, None),
        (([True], [(1, "x")]), "non_exhaustive", TypeError, None),
        (([True], None), "non_exhaustive", TypeError, None),
    ],
)
def test_argument_errors_name_the_argument_and_change_nothing(args, name, exc, text):
    ev = evaluator([gt(id=1)], [dt(b=(50, 50, 5, 5))])
    ev.configure_lvis([False], [(1, 1)])
    with pytest.raises(exc) as info:
        ev.configure_lvis(*args)
    if text:
        assert str(info.value) == text
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])
    assert verdicts(ev)[1] == [True]


def test_configure_during_a_running_run_is_refused():
    rng = np.random.default_rng(0)
    n = 40000
    g = [gt(img=int(i), id=j + 1, b=tuple(rng.uniform(0, 50, 4))) for j, i in enumerate(rng.integers(0, 50, n))]
    d = [dt(img=int(i), b=tuple(rng.uniform(0, 50, 4)), score=float(s))
         for i, s in zip(rng.integers(0, 50, n), rng.random(n))]
    ev = evaluator(g, d, img_ids=range(50), max_dets=[n])
    flags = [False] * len(g)
    started, refused = threading.Event(), []

    def try_configure():
        started.wait()
        while worker.is_alive():
            try:
                ev.configure_lvis(flags, [])
            except RuntimeError as e:
                refused.append(str(e))
                return

    worker = threading.Thread(target=lambda: (started.set(), ev.run()))
    other = threading.Thread(target=try_configure)
    other.start()
    worker.start()
    worker.join()
    other.join()
    assert refused == ["Already borrowed"]
