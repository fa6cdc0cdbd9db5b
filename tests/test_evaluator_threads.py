"""Results never depend on the worker pool: the same evaluation in a child
process restricted to one processor, in a forked child, and from several
Python threads at once gives identical arrays."""

import os
import pickle
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from evaluator_cases import native_bbox_evaluator, random_dataset

# Enough images per category that the per-image loops run in several chunks.
CASE = dict(seed=7, n_images=300, n_cats=3, gts_per_image=3.0, dets_per_gt=2.0, fp_per_image=4.0)
KEYS = ("precision", "recall", "scores")

CHILD = r"""
import os, pickle, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path.insert(0, sys.argv[1])
from evaluator_cases import native_bbox_evaluator, random_dataset
case = pickle.loads(bytes.fromhex(sys.argv[2]))
seed = case.pop("seed")
ev = native_bbox_evaluator(*random_dataset(seed, **case))
r = ev.run(collect_eval_imgs=True)
d, g = ev.per_instance(3, 1, 10)
out = {k: r[k] for k in ("precision", "recall", "scores")}
out["evalImgs"] = r["evalImgs"]
out["per_instance"] = (d, g)
sys.stdout.buffer.write(pickle.dumps(out))
"""


def evaluate(case):
    case = dict(case)
    seed = case.pop("seed")
    ev = native_bbox_evaluator(*random_dataset(seed, **case))
    r = ev.run(collect_eval_imgs=True)
    return ev, r


def assert_same_records(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        assert (x is None) == (y is None)
        if x is not None:
            assert x.keys() == y.keys()
            for k in x:
                assert np.array_equal(np.asarray(x[k]), np.asarray(y[k]), equal_nan=True), k


def test_one_processor_child_gives_identical_results():
    ev, r = evaluate(CASE)
    arg = pickle.dumps(CASE).hex()
    proc = subprocess.run([sys.executable, "-c", CHILD, str(Path(__file__).parent), arg],
                          capture_output=True, check=True)
    child = pickle.loads(proc.stdout)
    for k in KEYS:
        assert np.array_equal(child[k], r[k], equal_nan=True), k
    assert_same_records(child["evalImgs"], r["evalImgs"])
    d, g = ev.per_instance(3, 1, 10)
    cd, cg = child["per_instance"]
    for ours, theirs in ((d, cd), (g, cg)):
        for k in ours:
            assert np.array_equal(ours[k], theirs[k], equal_nan=True), k


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_starts_its_own_pool():
    ev, r = evaluate(CASE)  # the parent's pool exists now
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            again = ev.run()
            payload = pickle.dumps({k: again[k] for k in KEYS})
            with os.fdopen(write, "wb") as f:
                f.write(payload)
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    child = pickle.loads(data)
    for k in KEYS:
        assert np.array_equal(child[k], r[k], equal_nan=True), k


def test_concurrent_runs_on_one_evaluator():
    ev, r = evaluate(CASE)
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(ev.run())
                ev.per_instance(0, 0, 100)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 12
    for other in results:
        for k in KEYS:
            assert np.array_equal(other[k], r[k], equal_nan=True), k
