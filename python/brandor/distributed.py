"""Sharded evaluation over `torch.distributed`: each rank evaluates its images, one rank merges.

torch is imported only when `gather_evaluate` is called, so importing this
module costs nothing where torch is not installed.
"""

from __future__ import annotations

import importlib
from typing import Any, Sequence

import numpy as np

from .api import PathLike
from .result import EvalResult
from .shards import evaluate_shard, merge_partials


def gather_evaluate(gt: PathLike | dict[str, Any] | Any,
                    results: PathLike | list[dict[str, Any]] | np.ndarray | Any,
                    iou_type: str = "bbox", *, img_ids: Sequence[Any] | None = None, dst: int = 0,
                    group: Any = None, **params: Any) -> EvalResult | None:
    """Evaluate this rank's shard and merge every rank's partial result on rank `dst`.

    Every rank of `group` (the default process group when None) calls it with
    its own `results` and the ids of the images it predicted on (`img_ids`;
    ranks must not share an image). `gt` and the keyword parameters are those
    of `brandor.evaluate_shard`. The partials, a few bytes per detection, are
    collected with the group's `gather_object`; rank `dst` returns the
    `EvalResult` of all the ranks' images, the other ranks None.
    """
    # By name, so that neither importing this module nor type-checking it needs torch.
    dist: Any = importlib.import_module("torch.distributed")

    partial = evaluate_shard(gt, results, iou_type, img_ids=img_ids, **params).to_bytes()
    is_dst = dist.get_rank(group) == dst
    gathered: list[Any] | None = [None] * dist.get_world_size(group) if is_dst else None
    dist.gather_object(partial, gathered, dst=dst, group=group)
    if gathered is None:
        return None
    return merge_partials(gathered)
