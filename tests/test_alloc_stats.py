"""Allocation counters, in the default build and in the counting build."""

import glob
import os
import pathlib
import subprocess
import sys

import pytest

from brandor import _tarnel

ZERO = {
    "enabled": False,
    "live_bytes": 0,
    "peak_bytes": 0,
    "total_allocated_bytes": 0,
    "allocations": 0,
    "frees": 0,
}


def test_default_build_reports_counting_off():
    import numpy as np

    assert _tarnel.alloc_stats() == ZERO
    assert list(_tarnel.alloc_stats()) == list(ZERO)
    _tarnel.summary_values(np.zeros((3, 3, 3, 3)), [0, 1], [0, 1, 2], 0, 0)
    assert _tarnel.reset_alloc_peak() is None
    assert _tarnel.alloc_stats() == ZERO


def counting_build():
    root = pathlib.Path(__file__).resolve().parent.parent
    found = glob.glob(str(root / "build" / "*" / "alloc-stats" / "brandor" / "_tarnel*.so"))
    return os.environ.get("BRANDOR_ALLOC_BUILD") or (found[0] if found else None)


COUNTING_SCRIPT = r"""
import importlib.util, sys, threading
import numpy as np
found = importlib.util.spec_from_file_location("brandor._tarnel", sys.argv[1])
t = importlib.util.module_from_spec(found)
found.loader.exec_module(t)
s0 = t.alloc_stats()
assert s0["enabled"] is True and s0["peak_bytes"] >= s0["live_bytes"], s0
big = t.summary_values(np.zeros((10, 101, 80, 4, 3)), list(range(10)), list(range(80)), 0, 2)
s1 = t.alloc_stats()
assert s1["live_bytes"] >= s0["live_bytes"] + big.nbytes, (s0, s1)
assert s1["allocations"] > s0["allocations"] and s1["total_allocated_bytes"] >= big.nbytes
assert s1["peak_bytes"] >= s1["live_bytes"]
del big
s2 = t.alloc_stats()
assert s2["frees"] > s1["frees"] and s2["live_bytes"] < s1["live_bytes"], (s1, s2)
assert s2["peak_bytes"] == s1["peak_bytes"]
t.reset_alloc_peak()
s3 = t.alloc_stats()
assert s3["peak_bytes"] == s3["live_bytes"], s3
# Concurrent allocations from several threads keep the counters consistent.
def work():
    for _ in range(200):
        t.summary_values(np.zeros((2, 3, 4, 2, 2)), [0, 1], [0, 1, 2, 3], 1, 1)
threads = [threading.Thread(target=work) for _ in range(4)]
[th.start() for th in threads]; [th.join() for th in threads]
s4 = t.alloc_stats()
assert s4["peak_bytes"] >= s4["live_bytes"]
assert s4["allocations"] - s3["allocations"] >= 800
print("ok")
"""


def test_counting_build():
    path = counting_build()
    if path is None:
        pytest.skip("the counting build is made by `make install`/`make test`")
    out = subprocess.run([sys.executable, "-c", COUNTING_SCRIPT, path], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
