"""Shared test helpers: the synthetic generator on sys.path, dataset files, deep comparison."""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import synth  # noqa: E402


def write_json(path: Path, obj: Any) -> str:
    path.write_text(json.dumps(obj))
    return str(path)


@pytest.fixture
def case_files(tmp_path: Path) -> Callable[..., tuple[str, str]]:
    """Write a synthetic dataset and its results as JSON files; returns (gt_path, res_path)."""

    def make(seed: int, n_images: int = 30, n_categories: int = 6, keypoints: bool = False,
             kind: str = "bbox", dets_per_image: int = 15, **dataset_kw: Any) -> tuple[str, str]:
        dataset = synth.make_dataset(n_images, n_categories, seed=seed, keypoints=keypoints, **dataset_kw)
        results = synth.make_results(dataset, dets_per_image, seed=seed + 1, kind=kind)
        gt = write_json(tmp_path / f"gt_{seed}_{kind}.json", dataset)
        res = write_json(tmp_path / f"res_{seed}_{kind}.json", results)
        return gt, res

    return make


def without_timings(text: str) -> str:
    """Printed progress lines with their varying time figures blanked."""
    return re.sub(r"t=\d+\.\d\ds", "t=#s", text)


def assert_same(ours: Any, ref: Any, where: str = "") -> None:
    """Deep equality that also requires equal types, dict key order and array dtypes."""
    assert type(ours) is type(ref), f"{where}: type {type(ours).__name__} != {type(ref).__name__}"
    if isinstance(ref, dict):
        assert list(ours.keys()) == list(ref.keys()), f"{where}: keys {list(ours)} != {list(ref)}"
        for key in ref:
            assert_same(ours[key], ref[key], f"{where}[{key!r}]")
    elif isinstance(ref, (list, tuple)):
        assert len(ours) == len(ref), f"{where}: length {len(ours)} != {len(ref)}"
        for i, (a, b) in enumerate(zip(ours, ref)):
            assert_same(a, b, f"{where}[{i}]")
    elif isinstance(ref, np.ndarray):
        assert ours.dtype == ref.dtype and ours.shape == ref.shape, f"{where}: {ours.dtype}{ours.shape} != {ref.dtype}{ref.shape}"
        assert np.array_equal(ours, ref, equal_nan=True), f"{where}: arrays differ"
    elif isinstance(ref, float) and np.isnan(ref):
        assert np.isnan(ours), f"{where}: {ours!r} != nan"
    else:
        assert ours == ref, f"{where}: {ours!r} != {ref!r}"
