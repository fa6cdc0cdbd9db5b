"""Sharded evaluation: a partial result per shard of images, merged exactly.

Matching is independent per image, and accumulation reads only each image's
detection scores, their matched and ignored flags per threshold and its
number of non-ignored ground truths. `evaluate_shard` evaluates one shard of
images where its predictions are and keeps just that, natively, as a
`Partial`: compact, version-tagged bytes that travel between processes and
machines. `merge_partials` merges the partials of disjoint shards natively into the
`EvalResult` of evaluating all their images at once, bit for bit.

The merged run's images are the union of the shards' images; every other
parameter (categories, thresholds, area ranges, caps, sigmas, labels) must be
the same in every shard, and partials that differ are refused.
"""

from __future__ import annotations

import json
import time
from typing import Any, Iterable, Sequence

import numpy as np

from . import _tarnel
from .api import PathLike, _quiet, count_instances, prepare_evaluation, result_params
from .result import EvalParams, EvalResult

# The settings carried beside the native record that every shard must share.
_SHARED = ("iou_type", "params", "categories", "dilation_ratio")


class Partial:
    """The partial result of one shard of images.

    Build one with `evaluate_shard`; send it as `to_bytes()` (or pickle it,
    which does the same) and read it back with `Partial.from_bytes`. Bytes
    that are not a partial result, of another format version, truncated or
    corrupted raise ValueError.
    """

    __slots__ = ("_data", "_info", "_meta")

    def __init__(self, data: bytes | bytearray | memoryview) -> None:
        self._data = bytes(data)
        self._info = _tarnel.read_partial(self._data)
        self._meta = _read_meta(self._info["meta"])

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> "Partial":
        return cls(data)

    def to_bytes(self) -> bytes:
        return self._data

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (Partial, (self._data,))

    @property
    def iou_type(self) -> str:
        return str(self._info["iou_type"])

    @property
    def img_ids(self) -> list[int]:
        """The shard's images, ascending."""
        return [int(i) for i in self._info["img_ids"]]

    @property
    def num_detections(self) -> int:
        """The ranked detections the partial holds (at most the last cap per image and category)."""
        return int(self._info["detections"])

    def __repr__(self) -> str:
        return (f"<brandor.Partial {self.iou_type}: {len(self._info['img_ids'])} images, "
                f"{self.num_detections} detections, {len(self._data)} bytes>")


def evaluate_shard(gt: PathLike | dict[str, Any] | Any,
                   results: PathLike | list[dict[str, Any]] | np.ndarray | Any,
                   iou_type: str = "bbox", *, img_ids: Sequence[Any] | None = None,
                   cat_ids: Sequence[Any] | None = None, iou_thrs: Sequence[float] | None = None,
                   rec_thrs: Sequence[float] | None = None, max_dets: Sequence[int] | None = None,
                   area_rng: Sequence[Sequence[float]] | None = None, area_labels: Sequence[str] | None = None,
                   use_cats: bool = True, kpt_sigmas: Sequence[float] | None = None,
                   dilation_ratio: float = 0.02) -> Partial:
    """The partial result of the images `img_ids` (all of `gt`'s images when None).

    Takes what `brandor.evaluate` takes. `gt` may be the whole ground truth
    (then `img_ids` names the shard) or one holding only the shard's images;
    `results` are the shard's detections. Shards must not share an image, and
    an image of the shard without detections still counts: its ground truths
    can be missed. Image ids must be integers.
    """
    E, gt, dt = prepare_evaluation(gt, results, iou_type, {}, img_ids=img_ids, cat_ids=cat_ids,
                                   iou_thrs=iou_thrs, rec_thrs=rec_thrs, max_dets=max_dets, area_rng=area_rng,
                                   area_labels=area_labels, use_cats=use_cats, kpt_sigmas=kpt_sigmas,
                                   dilation_ratio=dilation_ratio)
    E._normalize_params()
    params, categories = result_params(E, gt, iou_type)
    num_gt, num_dt = count_instances(gt, dt, E.params, params.cat_ids, iou_type)
    shared = params.to_dict()
    del shared["img_ids"]
    meta = {"iou_type": iou_type, "params": shared, "categories": categories,
            "dilation_ratio": float(dilation_ratio) if iou_type == "boundary" else None,
            "num_gt": num_gt, "num_dt": num_dt}
    with _quiet():
        data = E._partial(json.dumps(meta, sort_keys=True).encode())
    return Partial(data)


def merge_partials(partials: Iterable[Partial | bytes | bytearray | memoryview]) -> EvalResult:
    """The result of evaluating all the partials' images at once.

    Partials are merged in any order; the result is the same. Partials with
    different parameters, or that share an image (the message names it),
    raise ValueError.
    """
    tic = time.perf_counter()
    data = [p.to_bytes() if isinstance(p, Partial) else bytes(p) for p in partials]
    merged = _tarnel.merge_partials(data)
    metas = [_read_meta(m) for m in merged["meta"]]
    first = metas[0]
    for n, meta in enumerate(metas[1:], 1):
        for key in _SHARED:
            if _canonical(meta[key]) != _canonical(first[key]):
                raise ValueError(f"partial results were evaluated with different settings: {key} of partial "
                                 f"{n} differs from that of partial 0")
    params = EvalParams.from_dict({**first["params"], "img_ids": [int(i) for i in merged["img_ids"]]})
    num_gt = [sum(column) for column in zip(*(m["num_gt"] for m in metas))]
    num_dt = [sum(column) for column in zip(*(m["num_dt"] for m in metas))]
    return EvalResult(iou_type=first["iou_type"], params=params, precision=merged["precision"],
                      recall=merged["recall"], scores=merged["scores"], categories=first["categories"],
                      num_gt=num_gt, num_dt=num_dt, timings={"merge": time.perf_counter() - tic})


def _read_meta(raw: bytes) -> dict[str, Any]:
    try:
        meta = json.loads(raw)
    except ValueError:
        meta = None
    if not isinstance(meta, dict) or not all(k in meta for k in _SHARED + ("num_gt", "num_dt")):
        raise ValueError("partial result was not made by brandor.evaluate_shard (its settings are missing)")
    return meta


def _canonical(value: Any) -> str:
    """A comparable form (NaN equals NaN in it, unlike in ==)."""
    return json.dumps(value, sort_keys=True)


__all__ = ["Partial", "evaluate_shard", "merge_partials"]
