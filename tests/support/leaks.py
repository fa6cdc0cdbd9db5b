"""Leak measurement shared by the leak tests."""

from __future__ import annotations

import gc
import sys
from typing import Callable


def block_growth(action: Callable[[], object], rounds: int = 100) -> int:
    """Python memory blocks still allocated after `rounds` more calls: a
    leaked object of any kind (dict, list, array, int) adds one per round."""
    action()
    action()  # warm up caches, free lists and interned keys
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before
