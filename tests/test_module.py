"""The module's surface: registration order, signatures, docstrings, exports."""

import inspect
import subprocess
import sys

import pytest

from brandor import _tarnel

# The full surface in registration order: classes first, then functions.
CLASS_ORDER = ["Evaluator", "CompactBbox"]
FUNCTION_SIGNATURES = {
    "load_compact_bbox": "(path, results=False)",
    "load_compact_array": "(data)",
    "index_annotations": "(annotations, with_categories)",
    "prepare_bbox_results": "(annotations)",
    "prepare_mask_results": "(annotations)",
    "prepare_keypoint_results": "(annotations)",
    "summary_values": "(array, thresholds, categories, area, max_det)",
    "accumulate_eval_imgs": "(eval_imgs, block_starts, image_positions, areas, rec_thrs, max_dets)",
    "match_greedy": "(ious, gt_ignore, iscrowd, iou_thrs)",
    "read_partial": "(data)",
    "merge_partials": "(partials)",
    "encode": "(mask)",
    "decode": "(rle_objs)",
    "merge": "(rle_objs, intersect=0)",
    "area": "(rle_objs)",
    "toBbox": "(rle_objs)",
    "iou": "(dt, gt, iscrowd)",
    "frBbox": "(bb, h, w)",
    "frPoly": "(poly, h, w)",
    "frUncompressedRLE": "(uc, _h, _w)",
    "frPyObjects": "(obj, h, w)",
    "toBoundary": "(rle_objs, dilation_ratio=0.02)",
    "load_json": "(path)",
    "parse_json_only": "(path)",
    "read_file_only": "(path)",
    "alloc_stats": "()",
    "reset_alloc_peak": "()",
}
FULL_ORDER = CLASS_ORDER + list(FUNCTION_SIGNATURES)


def test_all_lists_registered_names_in_table_order():
    names = _tarnel.__all__
    assert len(set(names)) == len(names)
    # Only names of the tables, in the tables' relative order.
    assert all(n in FULL_ORDER for n in names)
    assert names == sorted(names, key=FULL_ORDER.index)
    for n in names:
        assert hasattr(_tarnel, n)
    public = {n for n in dir(_tarnel) if not n.startswith("_")}
    assert public == set(names)


@pytest.mark.parametrize("name", [n for n in FUNCTION_SIGNATURES])
def test_function_signatures_match_the_table(name):
    if name not in _tarnel.__all__:
        pytest.skip(f"{name} is not registered yet")
    fn = getattr(_tarnel, name)
    assert str(inspect.signature(fn)) == FUNCTION_SIGNATURES[name]
    assert fn.__module__ == "brandor._tarnel"
    assert fn.__self__ is _tarnel
    assert fn.__doc__ is None or not fn.__doc__.startswith(name + "(")


def test_docstrings():
    assert _tarnel.reset_alloc_peak.__doc__ == (
        "Drop the allocation high-water mark to the current live figure, so the\n"
        "next phase can be measured on its own."
    )
    first, second = _tarnel.alloc_stats.__doc__.split("\n\n")
    assert "\n" not in first and "allocation counters" in first
    assert second == (
        "`enabled` is false unless the extension was built with the `alloc-stats`\n"
        "feature, in which case every other field is zero and should be ignored\n"
        'rather than reported as "no allocations".'
    )
    assert _tarnel.summary_values.__doc__ is None


def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _tarnel.__file__], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__tarnel"]


def test_module_definition_is_multi_phase_and_declares_the_gil():
    code = (
        "import sys, brandor._tarnel as t\n"
        "print(t.__name__, t.__doc__)\n"
        "if hasattr(sys, '_is_gil_enabled'): print(sys._is_gil_enabled())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.split()
    assert lines[:2] == ["brandor._tarnel", "None"]
    if len(lines) > 2:
        assert lines[2] == "True"
