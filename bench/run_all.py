"""Run every bench/bench_*.py in turn, each in its own interpreter."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def main() -> int:
    here = Path(__file__).resolve().parent
    failed = []
    for script in sorted(here.glob("bench_*.py")):
        print(f"### {script.name}", flush=True)
        if subprocess.call([sys.executable, str(script)]) != 0:
            failed.append(script.name)
        print(flush=True)
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
