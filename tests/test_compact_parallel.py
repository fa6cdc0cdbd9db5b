"""Large results files are parsed in pieces on the worker pool; the outcome
(rows, boxes, ids and which optional columns exist) must be exactly that of
the sequential parse, which a child process restricted
to one processor (a pool of one thread) always takes."""

from __future__ import annotations

import json
import os
import pickle
import random
import subprocess
import sys

import pytest

from brandor import _tarnel as T

pytestmark = pytest.mark.skipif(
    not hasattr(os, "sched_getaffinity") or len(os.sched_getaffinity(0)) < 2,
    reason="needs two processors for a pool of several threads",
)

CHILD = """
import os, pickle, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from brandor import _tarnel as T
try:
    _, h = T.load_compact_bbox(sys.argv[1], True)
    out = (h.array_rows().tobytes(), h.annotation_count, h.column_bytes)
except ValueError as e:
    out = str(e)
sys.stdout.buffer.write(pickle.dumps(out))
"""


def sequential(path: str):
    done = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, check=True)
    return pickle.loads(done.stdout)


def parallel(path: str):
    try:
        _, h = T.load_compact_bbox(path, True)
        return h.array_rows().tobytes(), h.annotation_count, h.column_bytes
    except ValueError as e:
        return str(e)


def big_results(seed: int, size: int = 11_000_000, note: str | None = None) -> list:
    rng = random.Random(seed)
    out, total = [], 0
    while total < size:
        det = {"image_id": rng.randint(1, 5000), "category_id": rng.randint(1, 80),
               "bbox": [round(rng.uniform(0, 600), 2) for _ in range(4)], "score": round(rng.random(), 4)}
        if note is not None:
            det = {"note": note, **det}
        out.append(det)
        total += 90 + (len(note) if note else 0)
    n = len(out)
    # Optional columns that only some pieces see.
    for i in range(n // 3, n // 3 + 5):
        out[i]["keypoints"] = [1, 2, 2, 3, 4, 1]
        out[i]["num_keypoints"] = 2
    for i in range(n - 5, n):
        out[i]["segmentation"] = [[1, 2, 3, 4, 5, 6]]
    out[n - 2]["image_id"] = 2**40
    return out


def write(tmp_path, anns, **dump) -> str:
    path = tmp_path / "big.json"
    path.write_text(json.dumps(anns, **dump))
    assert path.stat().st_size >= 10 * 2**20
    return str(path)


@pytest.mark.parametrize("dump", [{}, pytest.param({"indent": 1}, marks=pytest.mark.slow)])
def test_pieces_give_the_sequential_result(tmp_path, dump):
    path = write(tmp_path, big_results(1), **dump)
    ours = parallel(path)
    assert ours == sequential(path)
    _, count, column_bytes = ours
    assert column_bytes == (48 + 16 + 16) * count  # wide ids and pose spans joined in


def test_split_inside_strings_falls_back(tmp_path):
    # Most of each record is a string full of "},{", so split points land in strings.
    path = write(tmp_path, big_results(2, note="},{" * 300 + "} ,\n {"))
    assert parallel(path) == sequential(path)


def test_errors_are_those_of_the_sequential_parse(tmp_path):
    anns = big_results(3)
    anns[len(anns) * 3 // 4]["caption"] = "x"
    anns[len(anns) // 2]["iscrowd"] = 1.0
    path = write(tmp_path, anns)
    message = parallel(path)
    assert message == sequential(path)
    assert message.startswith("data did not match any variant of untagged enum Crowd at line 1 column ")
