"""Building, running and failing Evaluators leaves no Python objects behind."""

import gc
import sys

import numpy as np
import pytest

from brandor import _tarnel
from evaluator_cases import native_bbox_evaluator, random_dataset
from support.leaks import block_growth


DATA = random_dataset(11, n_images=20)


def evaluate_everything():
    ev = native_bbox_evaluator(*DATA)
    r = ev.run(collect_eval_imgs=True)
    assert r["evalImgs"]
    ev.per_instance(0, 0, 100)
    ev.timings()


def failing_constructions():
    bad_sources = ([{"image_id": 1, "bbox": [1, 2, 3]}], [{"image_id": 1.5}], [{}], [3],
                   [{"image_id": 1, "keypoints": [1]}])
    for gt in bad_sources:
        try:
            _tarnel.Evaluator(gt, [], {}, [1], [1], [0.5], [0.0], [1], [[0, 1]], True, "keypoints", [])
        except (ValueError, TypeError, KeyError):
            pass
        else:
            raise AssertionError("construction should have failed")
    try:  # a conversion error, which carries a note
        _tarnel.Evaluator([], [], {1: (1, 2)}, [1], [1], [0.5], "0", [1], [[0, 1]], True, "bbox", [])
    except TypeError:
        pass


RECORDS = native_bbox_evaluator(*DATA).run(collect_eval_imgs=True)["evalImgs"]
FIRST = next(r for r in RECORDS if r is not None)


def accumulate_records():
    """Accumulation from records in the forms it reads in place, converts, or refuses."""
    n = len(RECORDS) // 4
    starts = list(range(0, len(RECORDS), n))
    _tarnel.accumulate_eval_imgs(RECORDS, starts, range(n), 4, [0.0, 0.5, 1.0], [1, 10, 100])
    converted = [None if r is None else dict(r, dtScores=np.array(r["dtScores"]), gtIgnore=list(r["gtIgnore"]))
                 for r in RECORDS[:n]]
    _tarnel.accumulate_eval_imgs(converted, [0], range(n), 1, [0.5], [100])
    for bad, error in (([{"dtScores": [0.5]}], KeyError), ([3], TypeError),
                       ([dict(FIRST, dtMatches=np.zeros((1, 9)))], ValueError)):
        with pytest.raises(error):
            _tarnel.accumulate_eval_imgs(bad, [0], [0], 1, [0.5], [100])


@pytest.mark.parametrize("action", [evaluate_everything, failing_constructions, accumulate_records])
def test_no_growth(action):
    # A leak of one object per round adds at least 100 blocks every time;
    # caches filling up once do not show in both measurements.
    assert min(block_growth(action), block_growth(action)) < 40


def test_results_outlive_the_evaluator():
    ev = native_bbox_evaluator(*DATA)
    r = ev.run(collect_eval_imgs=True)
    d, _ = ev.per_instance()
    expected = r["precision"].copy()
    del ev
    gc.collect()
    assert np.array_equal(r["precision"], expected)
    assert d["dt_id"].size > 0
    records = [e for e in r["evalImgs"] if e is not None]
    assert records and all(e["dtMatches"].flags.owndata or e["dtMatches"].base is not None for e in records)
