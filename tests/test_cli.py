"""The `brandor` command run as a subprocess: reference stats from files, JSON output, errors, compare."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from support.reference import framework_per_class_ap, reference_eval


def brandor_cmd(*args: str, cwd: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "brandor", *args], capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def set_no_cats(p):
    p.useCats = 0


def set_thresholds_and_caps(p):
    p.iouThrs = np.array([0.5, 0.6, 0.75])
    p.maxDets = [1, 5, 20]


# (iou_type, extra command arguments, reference setup)
SETUPS = {
    "bbox": ("bbox", [], None),
    "segm": ("segm", [], None),
    "keypoints": ("keypoints", [], None),
    "bbox-no-cats": ("bbox", ["--no-cats"], set_no_cats),
    "segm-thresholds-caps": ("segm", ["--iou-thrs", "0.5,0.6,0.75", "--max-dets", "1,5,20"], set_thresholds_and_caps),
    "keypoints-caps": ("keypoints", ["--max-dets", "20"], lambda p: setattr(p, "maxDets", [20])),
    "bbox-areas": ("bbox", ["--area-rng", "all=0:1e10,small=0:400,medium=400:4000,large=4000:1e10"],
                   lambda p: setattr(p, "areaRng", [[0, 1e10], [0, 400], [400, 4000], [4000, 1e10]])),
}


@pytest.mark.parametrize("name", list(SETUPS))
def test_eval_gives_the_reference_stats(case_files, tmp_path, name):
    iou_type, extra, setup = SETUPS[name]
    kind = iou_type
    gt, res = case_files(21, n_images=25, n_categories=1 if kind == "keypoints" else 5,
                         keypoints=kind == "keypoints", kind=kind, dets_per_image=10)
    out_json = tmp_path / "out.json"
    run = brandor_cmd("eval", gt, res, "--iou-type", iou_type, "--json", str(out_json), "--per-class", *extra)
    assert run.returncode == 0, run.stderr
    ref, ref_lines = reference_eval(gt, res, iou_type, setup)
    lines = run.stdout.splitlines()
    assert lines[:len(ref_lines)] == ref_lines
    doc = json.loads(out_json.read_text())
    assert list(doc["stats"].values()) == ref.stats.tolist()
    assert np.array_equal(np.array(doc["precision"]), ref.eval["precision"])
    assert np.array_equal(np.array(doc["recall"]), ref.eval["recall"])
    assert [r["AP"] for r in doc["per_category"]] == framework_per_class_ap(ref.eval["precision"])
    # The table: an empty line, a header, one row per category slot.
    assert lines[len(ref_lines)] == ""
    assert len(lines) == len(ref_lines) + 2 + len(doc["per_category"])


def test_boundary_equals_cocoeval(case_files, tmp_path):
    """Boundary IoU has no reference; the command must agree with brandor's own COCOeval."""
    import brandor
    gt, res = case_files(22, n_images=15, n_categories=3, kind="segm", dets_per_image=8)
    run = brandor_cmd("eval", gt, res, "--iou-type", "boundary", "--json", str(tmp_path / "b.json"), "--quiet")
    assert run.returncode == 0 and run.stdout == "", run.stderr
    result = brandor.evaluate(gt, res, "boundary")
    assert json.loads((tmp_path / "b.json").read_text())["stats"] == result.stats
    assert result.stats["AP"] > 0


def test_console_script_and_compare_with_itself(case_files):
    gt, res = case_files(23, n_images=20, n_categories=4)
    script = Path(sys.executable).with_name("brandor")
    run = subprocess.run([str(script), "compare", gt, res, res], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    stats, cats = run.stdout.split("\n\n")
    stat_lines = stats.splitlines()
    assert stat_lines[0].split() == ["stat", "A", "B", "delta"] and len(stat_lines) == 13
    cat_lines = cats.splitlines()
    assert len(cat_lines) == 5
    for line in stat_lines[1:] + cat_lines[1:]:
        assert line.split()[-1] == "+0.000", line


def test_compare_two_results(case_files, tmp_path):
    """B loses every detection of one category: that category leads with a negative delta; stats deltas are B - A."""
    gt, res = case_files(28, n_images=20, n_categories=4)
    results = json.loads(Path(res).read_text())
    counts = {}
    for r in results:
        counts[r["category_id"]] = counts.get(r["category_id"], 0) + 1
    lost = max(counts, key=counts.get)
    b = write(tmp_path, "b.json", json.dumps([r for r in results if r["category_id"] != lost]))
    run = brandor_cmd("compare", gt, res, b)
    assert run.returncode == 0, run.stderr
    stats, cats = run.stdout.split("\n\n")
    ref_a, _ = reference_eval(gt, res, "bbox")
    ref_b, _ = reference_eval(gt, b, "bbox")
    for line, va, vb in zip(stats.splitlines()[1:], ref_a.stats, ref_b.stats):
        assert line.split()[1:] == [f"{va:.3f}", f"{vb:.3f}", f"{vb - va:+.3f}"], line
    rows = [line.split() for line in cats.splitlines()[1:]]
    assert int(rows[0][0]) == lost and rows[0][3] == "0.000" and float(rows[0][4]) < 0
    assert [r[4] for r in rows[1:]] == ["+0.000"] * (len(rows) - 1)


def write(tmp_path: Path, name: str, text: str) -> str:
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_errors_exit_2_with_one_line(case_files, tmp_path):
    gt, res = case_files(24, n_images=10, n_categories=3)
    results = json.loads(Path(res).read_text())
    stray = write(tmp_path, "stray.json", json.dumps(results + [dict(results[0], image_id=123456789)]))
    broken = write(tmp_path, "broken.json", '[{"image_id": 1,\n  "bbox": [1, 2,, 3]}]')
    missing = str(tmp_path / "missing.json")
    no_anns = write(tmp_path, "no_anns.json", '{"images": [{"id": 1}]}')
    no_cats = write(tmp_path, "no_cats.json", '{"images": [{"id": 1}], "annotations": []}')
    cases = [
        ([missing, res], f"{missing}: No such file or directory"),
        ([gt, broken], f"{broken}: JSON snapshot: expected value at line 2 column 17"),
        ([res, res], f"{res}: ground truth must be a JSON object with images, annotations and categories, not an array"),
        ([broken, res], f"{broken}: JSON snapshot: expected value at line 2 column 17"),
        ([no_anns, res], f"{no_anns}: ground truth has no 'annotations', 'categories'"),
        ([no_cats, res], f"{no_cats}: ground truth has no 'categories'"),
        ([gt, gt], f"{gt}: results must be a JSON array of detections, not an object"),
        ([gt, stray], f"{stray}: results on 1 image(s) that are not in the ground truth (image_id 123456789)"),
        ([gt, res, "--iou-type", "keypoints"], f"{res}: detections have no 'keypoints', which keypoints evaluation needs"),
    ]
    for args, message in cases:
        run = brandor_cmd("eval", *args)
        assert (run.returncode, run.stdout, run.stderr) == (2, "", f"brandor: error: {message}\n"), args
    for command in (["compare", gt, res, stray], ["analyze", gt, stray, "--out", str(tmp_path / "an")]):
        run = brandor_cmd(*command)
        assert (run.returncode, run.stdout) == (2, ""), command
        assert run.stderr == f"brandor: error: {stray}: results on 1 image(s) that are not in the ground truth " \
                             "(image_id 123456789)\n"


def test_usage_errors_exit_2(case_files):
    gt, res = case_files(25, n_images=5, n_categories=2)
    run = brandor_cmd("eval", gt, res, "--max-dets", "1,x")
    assert run.returncode == 2 and "expected integers separated by commas" in run.stderr
    run = brandor_cmd("eval", gt, res, "--max-dets", "1,10")
    assert (run.returncode, run.stderr) == (2, "brandor: error: the bbox summary needs three detection caps; got [1, 10]\n")


def test_no_progress_without_terminal(case_files):
    gt, res = case_files(26, n_images=5, n_categories=2)
    run = brandor_cmd("eval", gt, res)
    assert run.returncode == 0 and run.stderr == ""
    assert len(run.stdout.splitlines()) == 12


def test_plot_option_writes_a_png(case_files, tmp_path):
    pytest.importorskip("matplotlib")
    gt, res = case_files(27, n_images=8, n_categories=3)
    out = tmp_path / "pr.png"
    run = brandor_cmd("eval", gt, res, "--plot", str(out), "--quiet")
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    with open(out, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[16:24] == (800).to_bytes(4, "big") + (600).to_bytes(4, "big")


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("seconds, shown", [(0.0, "loading x...\r\x1b[K"), (1.2, "loading x... 1.2 s\n")])
def test_progress_on_a_terminal(monkeypatch, seconds, shown):
    from brandor import cli
    clock = iter([100.0, 100.0 + seconds])
    monkeypatch.setattr(cli.time, "perf_counter", lambda: next(clock))
    err = FakeTerminal()
    monkeypatch.setattr(sys, "stderr", err)
    with cli._Progress(True).step("loading x"):
        pass
    assert err.getvalue() == shown
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    with cli._Progress(True).step("loading x"):
        assert sys.stderr.getvalue() == ""


def test_closed_stdout_ends_quietly(case_files):
    """`brandor eval ... | head -1`: no traceback, no error line, when the reader leaves early."""
    gt, res = case_files(29, n_images=30, n_categories=1500, dets_per_image=5)
    proc = subprocess.Popen([sys.executable, "-m", "brandor", "eval", gt, res, "--per-class"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().startswith(" Average Precision")
    proc.stdout.close()
    assert proc.wait(timeout=120) == 1
    assert proc.stderr.read() == ""
    proc.stderr.close()


def test_plot_without_matplotlib_exits_2_before_evaluating(case_files, tmp_path):
    gt, res = case_files(30, n_images=5, n_categories=2)
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from brandor.cli import main\n"
            f"sys.exit(main(['eval', {gt!r}, {res!r}, '--plot', 'pr.png']))\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr == "brandor: error: plotting needs matplotlib: pip install 'brandor[plot]'\n"
