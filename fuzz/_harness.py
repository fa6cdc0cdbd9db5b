"""Shared driver of the fuzz harnesses (`make fuzz`).

Each harness turns libFuzzer's bytes into the arguments of one group of entry
points and calls them. Any ordinary Python exception is the module refusing
bad input, which is what it should do. A finding is anything else, and
libFuzzer reports it with the input that caused it:

- a crash, or a sanitizer report (the module is built with ASan and UBSan);
- a call running longer than libFuzzer's -timeout;
- `PanicException` (derived from BaseException, so it is never swallowed here);
- MemoryError: every input is at most a few KiB, and the harnesses do not ask
  for results whose size the input legitimately claims (see each harness);
- `Finding`, raised by a harness when a result breaks a stated invariant.
"""

from __future__ import annotations

import os
import sys
import tempfile
from typing import Callable

import atheris


class Finding(BaseException):
    """A result that breaks an invariant the module promises."""


def check(condition: bool, what: str) -> None:
    if not condition:
        raise Finding(what)


def guarded(body: Callable[[bytes], None]) -> Callable[[bytes], None]:
    def one_input(data: bytes) -> None:
        try:
            body(data)
        except MemoryError:
            raise  # a small input must never exhaust memory
        except Exception:  # noqa: BLE001 - refusing bad input is the expected outcome
            pass

    return one_input


class ScratchFile:
    """One file, rewritten for every input, for the entry points that take a path."""

    def __init__(self) -> None:
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        fd, self.path = tempfile.mkstemp(prefix="brandor-fuzz-", suffix=".json", dir=base)
        os.close(fd)

    def write(self, data: bytes) -> str:
        with open(self.path, "wb") as f:
            f.write(data)
        return self.path


def main(body: Callable[[bytes], None], seeds: dict[str, bytes]) -> None:
    """Write the seeds into the corpus directory (the first non-option
    argument) and hand over to libFuzzer."""
    corpus = next((a for a in sys.argv[1:] if not a.startswith("-")), None)
    if corpus:
        os.makedirs(corpus, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(corpus, f"seed-{name}"), "wb") as f:
                f.write(data)
    atheris.Setup(sys.argv, guarded(body))
    atheris.Fuzz()
