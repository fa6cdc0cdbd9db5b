"""The package's types: mypy --strict passes, and the native module's stub matches the module."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "mypy-cache"


def run(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)


def test_package_passes_mypy_strict():
    result = run("mypy", "--strict", "--cache-dir", str(CACHE), "python/brandor", cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_covers_every_name_and_signature_of_the_native_module():
    # stubtest compares the installed stub with the imported extension module.
    result = run("mypy.stubtest", "--mypy-config-file", "/dev/null", "brandor._tarnel", cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_ships_its_types():
    import brandor

    package = Path(brandor.__file__).parent
    assert (package / "py.typed").exists() and (package / "_tarnel.pyi").exists()
