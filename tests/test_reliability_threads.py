"""Threads, fork and signals: the module used from many Python threads at
once gives exactly the serial results, a forked child evaluates and loads
correctly even when the parent's pool was busy at the fork, and an interrupt
during long native work leaves the process usable."""

from __future__ import annotations

import os
import signal
import threading
import time

import numpy as np
import pytest

from brandor import _tarnel
from reliability_cases import evaluator, prepared_case, results_file, same_run

POLYS = [[[float(x) for x in np.random.default_rng(i).uniform(0, 60, 12)]] for i in range(40)]
BOXES = np.random.default_rng(1).uniform(0, 50, (30, 4))


def mask_work():
    rles = [_tarnel.frPyObjects(p, 64, 70)[0] for p in POLYS]
    return (_tarnel.iou(rles, rles, [0] * len(rles)), _tarnel.decode(rles), _tarnel.merge(rles),
            _tarnel.toBoundary(rles[:5]), _tarnel.iou(BOXES, BOXES, [1] * 30), _tarnel.area(rles))


def equal(a, b) -> bool:
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(equal(a[k], b[k]) for k in a)
    return a == b


@pytest.fixture(scope="module")
def segm_case():
    return prepared_case("segm", n_images=30)


def test_everything_at_once_equals_serial(tmp_path, segm_case):
    """Evaluator runs, per_instance, construction (rasteriser thread and pool),
    mask functions and both loaders (the big file takes the parallel path) from
    eight threads at once, each result compared with the one computed alone."""
    big = results_file(tmp_path / "big.json", 60_000)
    small = results_file(tmp_path / "small.json", 50)
    ev = evaluator("segm", segm_case)
    jobs = {
        "run": lambda: ev.run(True),
        "per_instance": lambda: ev.per_instance(2, 1, 10),
        "construct": lambda: evaluator("segm", segm_case).run(),
        "masks": mask_work,
        "compact": lambda: _tarnel.load_compact_bbox(big, True)[1].array_rows(),
        "json": lambda: _tarnel.load_json(small),
        "parse": lambda: _tarnel.parse_json_only(big),
        "array": lambda: _tarnel.load_compact_array(BOXES.repeat(2, axis=1)[:, :7].copy()).array_rows(),
    }
    serial = {name: job() for name, job in jobs.items()}
    names = list(jobs) * 2
    barrier = threading.Barrier(len(names))
    failures = []

    def worker(name):
        try:
            barrier.wait()
            for _ in range(2):
                got = jobs[name]()
                if not equal(got, serial[name]):
                    failures.append(f"{name}: differs from the serial result")
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(f"{name}: {type(e).__name__}: {e}")

    threads = [threading.Thread(target=worker, args=(n,)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def wait_for_child(pid: int, limit: float = 120.0) -> int:
    """The child's exit status; a child still running after `limit` seconds
    (a deadlock inherited through fork) is killed and fails the test."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_while_the_pool_is_busy(tmp_path, segm_case):
    """The parent keeps the pool busy from another thread while it forks; the
    child builds masks, evaluates and loads a big file on a pool of its own,
    and gets the parent's numbers."""
    big = results_file(tmp_path / "big.json", 60_000)
    ev = evaluator("segm", segm_case)
    expected = ev.run()
    rows = _tarnel.load_compact_bbox(big, True)[1].array_rows()
    stop = threading.Event()

    def keep_busy():
        while not stop.is_set():
            ev.run()

    busy = threading.Thread(target=keep_busy)
    busy.start()
    try:
        for _ in range(3):
            time.sleep(0.05)
            pid = os.fork()
            if pid == 0:  # pragma: no cover - the child reports through its exit code
                code = 1
                try:
                    ok = same_run(evaluator("segm", segm_case).run(), expected)
                    ok = ok and same_run(ev.run(), expected)
                    ok = ok and np.array_equal(_tarnel.load_compact_bbox(big, True)[1].array_rows(), rows)
                    code = 0 if ok else 3
                finally:
                    os._exit(code)
            status = wait_for_child(pid)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    finally:
        stop.set()
        busy.join()


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm


@pytest.mark.parametrize("how", ["SIGINT", "SIGALRM"])
def test_interrupt_during_run_leaves_the_process_usable(how, segm_case):
    """A signal arriving while `run` works natively is delivered when it
    returns; the evaluator, the pool and the mask functions all keep working
    and give the same numbers afterwards."""
    ev = evaluator("segm", segm_case)
    expected = ev.run()
    masks = mask_work()
    previous = signal.signal(signal.SIGALRM, raise_alarm) if how == "SIGALRM" else None
    expected_exc = KeyboardInterrupt if how == "SIGINT" else Alarm
    timer = threading.Timer(0.2, os.kill, (os.getpid(), getattr(signal, how)))

    def run_until_interrupted():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ev.run(True)

    caught = None
    try:
        timer.start()
        run_until_interrupted()
    except BaseException as e:  # noqa: BLE001 - checked below
        caught = e
    finally:
        timer.cancel()
        timer.join()
        if previous is not None:
            signal.signal(signal.SIGALRM, previous)
    assert isinstance(caught, expected_exc), repr(caught)
    assert same_run(ev.run(), expected)
    assert equal(mask_work(), masks)
