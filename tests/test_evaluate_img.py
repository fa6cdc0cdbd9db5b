"""COCOeval.evaluateImg over given similarities: the reference's records, ties, NaN and crowds included."""

from __future__ import annotations

import copy
import io
from contextlib import redirect_stdout
from typing import Any

import numpy as np
import pytest

from conftest import assert_same
from test_framework_patterns import LIBRARIES, case, loaded


def prepared(lib: str, dataset: dict[str, Any], results: list[dict[str, Any]]) -> Any:
    E = loaded(lib, dataset, results, "bbox")
    p = E.params
    p.imgIds = list(np.unique(p.imgIds))
    p.catIds = list(np.unique(p.catIds))
    E._prepare()
    return E


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_records_over_random_similarities(seed):
    """Coarse values give ties; NaN and values of exactly a threshold or 1 appear too."""
    dataset, results = case("bbox", seed=20 + seed, n_images=10)
    rng = np.random.default_rng(seed)
    pair = [prepared(lib, dataset, results) for lib in LIBRARIES]
    p = pair[1].params
    ious = {}
    for i in p.imgIds:
        for c in p.catIds:
            g, d = len(pair[1]._gts[i, c]), min(len(pair[1]._dts[i, c]), p.maxDets[-1])
            if g and d:
                m = rng.choice([0.0, 0.3, 0.5, 0.55, 0.75, 0.9, 0.95, 1.0, np.nan], size=(d, g),
                               p=[0.3, 0.1, 0.15, 0.1, 0.1, 0.1, 0.05, 0.05, 0.05])
                ious[i, c] = m if seed % 2 else m.astype(np.float32)
            else:
                ious[i, c] = []
    records = []
    for E in pair:
        E.ious = copy.deepcopy(ious)
        with redirect_stdout(io.StringIO()):
            records.append([E.evaluateImg(i, c, a, max_det) for c in p.catIds for a in p.areaRng
                            for i in p.imgIds for max_det in (p.maxDets[-1], 3)])
    assert_same(records[0], records[1], "records")
