"""The fuzz harnesses' seeds are valid inputs that run all the way through,
so that fuzzing starts deep inside each entry point; and the harnesses keep
up with the module's interface (run here without atheris or libFuzzer)."""

from __future__ import annotations

import importlib
import sys
import types
from pathlib import Path

import numpy as np
import pytest

from brandor import _tarnel

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
HARNESSES = ("fuzz_load_json", "fuzz_compact", "fuzz_mask", "fuzz_evaluator")


def harness(name: str):
    # The harnesses need atheris only to start libFuzzer: a stand-in keeps
    # its runtime out of this process.
    sys.modules.setdefault("atheris", types.ModuleType("atheris"))
    sys.path.insert(0, str(FUZZ))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(FUZZ))


def evaluator_reads_stores() -> bool:
    store = _tarnel.load_compact_array(np.zeros((0, 7)))
    try:
        _tarnel.Evaluator([], store, {}, [], [], [0.5], [0.0], [1], [[0, 1]], True, "bbox", [])
    except TypeError:
        return False
    return True


SEEDS = [(name, seed) for name in HARNESSES for seed in harness(name).SEEDS]


@pytest.mark.parametrize("name, seed", SEEDS)
def test_seed_runs_through(name, seed):
    module = harness(name)
    data = module.SEEDS[seed]
    if name == "fuzz_evaluator" and data[0] & 0b11100 and not evaluator_reads_stores():
        pytest.skip("this build's Evaluator does not read compact stores")
    module.body(data)
