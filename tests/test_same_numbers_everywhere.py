"""The same numbers on every machine: keypoint similarity through NumPy's own
exp kernel whichever kernel NumPy picks for this processor, a fallback that
still gives NumPy's values, and parameter defaults read independently of the
process locale."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent

# The keypoint tests that compare similarity values and arrays bit for bit with
# pycocotools, which computes them in the same process.
KEYPOINT_TESTS = [
    "tests/test_evaluator_reference.py",
    "tests/test_cocoeval_diff.py",
    "tests/test_evaluator_rules.py",
]
KEYPOINT_SELECTION = "keypoint or oks"


def _cpu_modes() -> dict[str, str]:
    """NPY_DISABLE_CPU_FEATURES values that switch NumPy's AVX-512 kernels off,
    and AVX2 too, limited to what this NumPy dispatches and this machine has."""
    try:
        from numpy._core import _multiarray_umath as umath
    except ImportError:  # NumPy 1.x
        from numpy.core import _multiarray_umath as umath  # type: ignore[no-redef]
    have = umath.__cpu_features__
    dispatch = [f for f in umath.__cpu_dispatch__ if have.get(f)]
    avx512 = [f for f in dispatch if f.startswith("AVX512") or f == "X86_V4"]
    avx2 = [f for f in dispatch if f in ("AVX2", "FMA3", "X86_V3", "AVX", "F16C")]
    modes = {}
    if avx512:
        modes["no-avx512"] = " ".join(avx512)
    if avx2:
        modes["no-avx512-no-avx2"] = " ".join(avx512 + avx2)
    return modes


def _run_child(args: list[str], env_extra: dict[str, str]) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, **env_extra)
    return subprocess.run([sys.executable, *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("mode", ["no-avx512", "no-avx512-no-avx2"])
def test_keypoint_differential_tests_under_other_numpy_kernels(mode):
    modes = _cpu_modes()
    if mode not in modes:
        pytest.skip(f"this machine or NumPy has no kernels to switch off for {mode}")
    proc = _run_child(["-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", KEYPOINT_SELECTION, *KEYPOINT_TESTS],
                      {"NPY_DISABLE_CPU_FEATURES": modes[mode]})
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert " passed" in proc.stdout and "no tests ran" not in proc.stdout


FALLBACK_CHILD = textwrap.dedent(
    """
    import sys
    import numpy as np
    import pytest

    real_exp = np.exp
    calls = [0]

    def exp(x, *args, **kwargs):  # not a ufunc: its loop cannot be taken directly
        calls[0] += 1
        return real_exp(x, *args, **kwargs)

    np.exp = exp
    sys.path.insert(0, "tests")
    from evaluator_cases import standard_evaluator

    before = calls[0]
    standard_evaluator(7, "keypoints").run()
    assert calls[0] > before, "brandor did not compute through numpy.exp"
    sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "-k", "keypoint or oks", *sys.argv[1:]]))
    """
)


def test_keypoint_values_through_a_replaced_numpy_exp():
    # When numpy.exp is not a plain ufunc, its values are taken by calling it,
    # from the worker threads, so they still agree with the reference.
    proc = _run_child(["-c", FALLBACK_CHILD, *KEYPOINT_TESTS], {})
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]


def test_first_keypoint_evaluator_under_strict_numpy_error_settings():
    # Resolving the kernel must neither warn nor raise, whatever numpy.seterr says.
    code = ("import numpy as np; np.seterr(all='raise'); from brandor import _tarnel\n"
            "g = {'image_id': 1, 'category_id': 1, 'bbox': [0, 0, 10, 10], 'area': 100.0,"
            " 'keypoints': [0.0, 0.0, 2, 5.0, 5.0, 2], 'num_keypoints': 2}\n"
            "d = {'image_id': 1, 'category_id': 1, 'keypoints': [1.0, 0.0, 1, 5.0, 6.0, 1], 'score': 0.9}\n"
            "ev = _tarnel.Evaluator([g], [d], {1: (20, 20)}, [1], [1], [0.5], [0.0, 1.0], [20], [[0, 1e10]],"
            " True, 'keypoints', [0.1, 0.1])\n"
            "out = ev.run()\nassert out['precision'].max() > 0.99, out")
    proc = _run_child(["-W", "error", "-c", code], {})
    assert proc.returncode == 0, proc.stderr[-3000:]


def _comma_locale(tmp_path: Path) -> tuple[str, dict[str, str]] | None:
    """A locale whose decimal separator is a comma: an installed one, or one
    compiled into tmp_path with localedef; None when neither is possible."""
    import locale

    for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"):
        try:
            old = locale.setlocale(locale.LC_NUMERIC)
            locale.setlocale(locale.LC_NUMERIC, name)
            locale.setlocale(locale.LC_NUMERIC, old)
            return name, {}
        except locale.Error:
            continue
    if shutil.which("localedef") and Path("/usr/share/i18n/locales/de_DE").exists():
        out = tmp_path / "locales"
        out.mkdir()
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(out / "de_DE.UTF-8")], capture_output=True)
        if (out / "de_DE.UTF-8").exists():
            return "de_DE.UTF-8", {"LOCPATH": str(out)}
    return None


def _boundary_digest(explicit_dilation: bool) -> str:
    """Digest of results whose band width depends on the default dilation: the
    band of a 200 x 300 mask and a Boundary IoU evaluation that reports every
    pair's value."""
    import hashlib

    from brandor import _tarnel
    from test_mask_eval import _one_pair_per_image

    dataset, dets = _one_pair_per_image(13)
    sizes = {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}
    args = [dataset["annotations"], dets, sizes, [im["id"] for im in dataset["images"]], [1],
            [0.0], [0.0, 0.5, 1.0], [10], [[0.0, 1e10]], True, "boundary", []]
    ev = _tarnel.Evaluator(*args, True, 0.02) if explicit_dilation else _tarnel.Evaluator(*args)
    out = ev.run()
    ious = ev.per_instance(0, 0, 10)[0]["iou"]
    full = _tarnel.encode(np.ones((200, 300, 1), np.uint8, order="F"))
    band = _tarnel.toBoundary(full, 0.02) if explicit_dilation else _tarnel.toBoundary(full)
    return hashlib.sha256(b"".join(np.ascontiguousarray(a).tobytes() for a in (out["precision"], ious))
                          + band[0]["counts"]).hexdigest()


LOCALE_CHILD = textwrap.dedent(
    """
    import inspect, locale, sys
    locale.setlocale(locale.LC_ALL, sys.argv[1])
    assert locale.localeconv()["decimal_point"] == ","
    sys.path.insert(0, "tests")
    from brandor import _tarnel
    from test_same_numbers_everywhere import _boundary_digest

    assert inspect.signature(_tarnel.Evaluator).parameters["boundary_dilation"].default == 0.02
    assert inspect.signature(_tarnel.toBoundary).parameters["dilation_ratio"].default == 0.02
    print(_boundary_digest(explicit_dilation=False))
    """
)


def test_defaults_and_results_under_a_comma_decimal_locale(tmp_path):
    found = _comma_locale(tmp_path)
    if found is None:
        pytest.skip("no comma-decimal locale is available on this machine")
    name, env = found
    proc = _run_child(["-c", LOCALE_CHILD, name], env)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert proc.stdout.split()[-1] == _boundary_digest(explicit_dilation=True)
