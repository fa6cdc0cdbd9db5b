"""The error analysis on a hand-built case in which every error type occurs once."""

from __future__ import annotations

import io
import json
import struct
import subprocess
import sys
from contextlib import redirect_stdout

import numpy as np
import pytest

import brandor
from brandor.analysis import STEPS, analyze

# One 1000x1000 image. Category 1 ("a") and 2 ("b") share supercategory X, 3 ("c") is in Y.
# Five objects of "a" (A1..A5), one of "b" (B1), one of "c" (C1), all 100x100.
BOXES = {"A1": [0, 0, 100, 100], "A2": [200, 0, 100, 100], "A3": [400, 0, 100, 100], "A4": [600, 0, 100, 100],
         "A5": [800, 0, 100, 100], "B1": [0, 300, 100, 100], "C1": [300, 300, 100, 100]}
# Detections of "a", in score order, and what each one is.
DETECTIONS = [
    ([0, 0, 100, 100], "exact on A1"),
    ([0, 300, 100, 100], "on B1: confusion within the supercategory"),
    ([600, 0, 100, 60], "on A4 at IoU 0.6"),
    ([300, 300, 100, 100], "on C1: confusion with another supercategory"),
    ([200, 0, 100, 30], "on A2 at IoU 0.3: poor localisation"),
    ([700, 700, 100, 100], "background"),
    ([0, 0, 100, 100], "duplicate of A1"),
    ([400, 0, 100, 100], "exact on A3"),
]
# Hand-derived outcome of each detection at each step: T true positive, F false positive,
# I ignored, - removed. A5 is never found.
OUTCOMES = {
    "C75": "TFFFFFFT",
    "C50": "TFTFFFFT",
    "Loc": "TFTFTFFT",
    "Sim": "TITFTFFT",
    "Oth": "TITITFFT",
    "BG": "TITIT--T",
}
N_GT = 5


def dataset():
    cats = [{"id": 1, "name": "a", "supercategory": "X"}, {"id": 2, "name": "b", "supercategory": "X"},
            {"id": 3, "name": "c", "supercategory": "Y"}]
    anns = [{"id": i + 1, "image_id": 1, "category_id": {"A": 1, "B": 2, "C": 3}[name[0]], "bbox": box,
             "area": float(box[2] * box[3]), "iscrowd": 0} for i, (name, box) in enumerate(BOXES.items())]
    return {"images": [{"id": 1, "width": 1000, "height": 1000}], "annotations": anns, "categories": cats}


def results():
    return [{"image_id": 1, "category_id": 1, "bbox": box, "score": 0.95 - 0.05 * i}
            for i, (box, _) in enumerate(DETECTIONS)]


def ap_of(outcomes: str, n_gt: int) -> float:
    """AP of a ranked T/F/I sequence by the COCO rule: 101 recall points, interpolated precision."""
    seq = [o for o in outcomes if o in "TF"]
    tp = np.cumsum([o == "T" for o in seq])
    fp = np.cumsum([o == "F" for o in seq])
    rc, pr = tp / n_gt, tp / (tp + fp)
    pr = np.maximum.accumulate(pr[::-1])[::-1]
    rec_thrs = np.linspace(0.0, 1.0, 101)
    idx = np.searchsorted(rc, rec_thrs, side="left")
    return float(np.mean([pr[i] if i < len(pr) else 0.0 for i in idx]))


@pytest.fixture(scope="module")
def analysis():
    with redirect_stdout(io.StringIO()):
        gt = brandor.COCO(dataset())
        dt = gt.loadRes(results())
    return analyze(gt, dt, "bbox")


def test_every_step_on_the_hand_built_case(analysis):
    assert analysis.steps == STEPS
    all_area = analysis.area_labels.index("all")
    expected = {step: ap_of(seq, N_GT) for step, seq in OUTCOMES.items()}
    expected["FN"] = 1.0
    # Two by hand: C75 has precision 1 up to recall .2, then .25 up to .4; BG is a step,
    # precision 1 up to recall .8 (A5 is never found).
    assert expected["C75"] == pytest.approx(26 / 101)
    assert expected["BG"] == pytest.approx(81 / 101)
    for s, step in enumerate(STEPS):
        p = analysis.precision[s, :, 0, all_area]
        assert float(np.mean(p)) == pytest.approx(expected[step], abs=1e-12), step
        # "b" and "c" have ground truth but no detections: nothing is found until FN.
        for k in (1, 2):
            assert np.all(analysis.precision[s, :, k, all_area] == (1.0 if step == "FN" else 0.0)), (step, k)
    groups = {g.name: g for g in analysis.groups}
    assert list(groups) == ["all", "X", "Y"]
    for s, step in enumerate(STEPS):
        a_ap = expected[step]
        assert groups["all"].aps[s, all_area] == pytest.approx((a_ap + 2 * (step == "FN")) / 3, abs=1e-12)
        assert groups["X"].aps[s, all_area] == pytest.approx((a_ap + (step == "FN")) / 2, abs=1e-12)
        assert groups["Y"].aps[s, all_area] == (1.0 if step == "FN" else 0.0)
    # Steps only ever forgive more.
    assert np.all(np.diff(groups["all"].aps[:, all_area]) >= 0)


def test_c75_and_c50_equal_the_standard_evaluation(analysis):
    result = brandor.evaluate(dataset(), results())
    for s, thr in ((0, 0.75), (1, 0.5)):
        t = int(np.where(result.params.iou_thrs == thr)[0][0])
        assert np.array_equal(analysis.precision[s], result.precision[t, :, :, :, 2])


def png_size(path) -> tuple[int, int]:
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_analyze_command(tmp_path):
    gt, res = tmp_path / "gt.json", tmp_path / "res.json"
    gt.write_text(json.dumps(dataset()))
    res.write_text(json.dumps(results()))
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, "-m", "brandor", "analyze", str(gt), str(res), "--out", str(out)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].split() == ["group", "area", *STEPS]
    assert len(lines) == 1 + 3 * 4
    doc = json.loads((out / "analysis.json").read_text())
    assert doc["groups"][0]["ap"]["all"]["C75"] == pytest.approx(26 / 101 / 3)
    pytest.importorskip("matplotlib")
    pngs = sorted(p.name for p in out.glob("*.png"))
    assert pngs == sorted(f"{g}-{a}.png" for g in ("all", "X", "Y") for a in ("all", "small", "medium", "large"))
    assert all(png_size(out / name) == (800, 600) for name in pngs)


def test_pr_plot_png(tmp_path):
    pytest.importorskip("matplotlib")
    result = brandor.evaluate(dataset(), results())
    result.plot_pr(tmp_path / "all.png")
    result.plot_pr(tmp_path / "one.png", iou=0.5, category=1, area="large", max_dets=10)
    assert png_size(tmp_path / "all.png") == png_size(tmp_path / "one.png") == (800, 600)
    fig = result.plot_pr(iou=0.5)
    (line,) = fig.axes[0].get_lines()
    # The mean over three categories, of which only "a" has detections (precision 1 to
    # recall .2, 2/3 to .4, then 3/8 to .6).
    assert np.allclose(line.get_ydata()[[0, 20, 40, 41, 60, 61]], np.array([1, 1, 2 / 3, 3 / 8, 3 / 8, 0]) / 3)


def test_plot_without_matplotlib_names_the_extra(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "import brandor\n"
            f"r = brandor.evaluate({dataset()!r}, {results()!r})\n"
            "try:\n    r.plot_pr('x.png')\nexcept ImportError as e:\n    print(e)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert run.stdout == "plotting needs matplotlib: pip install 'brandor[plot]'\n", run.stderr


def test_copies_only_where_boxes_overlap_change_nothing(monkeypatch):
    """Leaving out the copies that no detection's box overlaps is exact: compare with copying everything."""
    from conftest import synth
    from brandor import analysis as mod

    data = synth.make_dataset(40, 30, seed=31)
    with redirect_stdout(io.StringIO()):
        gt = brandor.COCO(data)
        dt = gt.loadRes(synth.make_results(data, 25, seed=32))
    filtered = analyze(gt, dt)
    monkeypatch.setattr(mod, "_boxes_overlap", lambda a, b: np.ones((len(a), len(b)), dtype=bool))
    everything = analyze(gt, dt)
    assert np.array_equal(filtered.precision, everything.precision)
    # The case has confusions of both kinds for the comparison to mean something.
    aps = filtered.groups[0].aps[:, 0]
    assert aps[3] > aps[2] and aps[4] > aps[3]
