"""Sharded evaluation: what each shard sends, and the time to merge and accumulate on one rank.

COCO scale (5 000 images, 80 categories, about 36 000 ground truths, 100 box
detections per image), cut into 8 shards as a distributed sampler deals
images (image n to shard n mod 8). For each shard:

- brandor: `evaluate_shard` gives a partial result, sent as its bytes;
- the reference way (torchvision's and the DETR family's evaluators): the
  shard's pycocotools-style `evalImgs` records, arranged (K, A, I_shard),
  sent pickled with the shard's image ids.

`torch.distributed`'s object gather pickles what it sends, so the bytes per
detection are those of the pickles. On the receiving rank, the time is from
the 8 pickles to the precision, recall and score arrays: for brandor, unpickling
and `merge_partials`; for the reference, unpickling, joining the records along
the image axis in the order of the sorted image ids, and pycocotools'
`accumulate()`. The records are made by brandor's `COCOeval`, whose `evalImgs`
equal pycocotools' (bench_accumulate.py relies on the same), which spares
running pycocotools' evaluation eight times; both ways must give the single
run's arrays.

Usage: bench_shards.py [--images N] [--shards S]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import io
import pickle
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synth  # noqa: E402


def reference_shard(gt: Any, dt: Any, img_ids: list[int]) -> bytes:
    """The shard's records as the reference-based evaluators gather them."""
    import brandor

    E = brandor.COCOeval(gt, dt, "bbox")
    E.params.imgIds = img_ids
    E.evaluate()
    p = E.params
    records = np.asarray(E.evalImgs, dtype=object).reshape(len(p.catIds), len(p.areaRng), len(p.imgIds))
    return pickle.dumps((list(p.imgIds), records))


def reference_merge(gt: Any, dt: Any, sent: list[bytes]) -> tuple[float, Any]:
    """Unpickle, join along the image axis in sorted image order, accumulate with pycocotools."""
    from pycocotools.cocoeval import COCOeval as RefCOCOeval

    ref = RefCOCOeval(gt, dt, "bbox")
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        received = [pickle.loads(s) for s in sent]
        img_ids = np.concatenate([np.asarray(ids, dtype=np.int64) for ids, _ in received])
        records = np.concatenate([r for _, r in received], axis=2)
        img_ids, first = np.unique(img_ids, return_index=True)
        records = records[..., first]
        ref.evalImgs = list(records.flatten())
        ref.params.imgIds = list(img_ids)
        ref._paramsEval = copy.deepcopy(ref.params)
        ref.accumulate()
        return time.perf_counter() - t0, ref.eval


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", type=int, default=5000)
    parser.add_argument("--shards", type=int, default=8)
    args = parser.parse_args()

    import brandor

    dataset = synth.make_dataset(args.images, 80, 7.2, seed=11)
    results = synth.make_results(dataset, 100, seed=12)
    ids = sorted(im["id"] for im in dataset["images"])
    shards = [ids[s::args.shards] for s in range(args.shards)]
    with contextlib.redirect_stdout(io.StringIO()):
        gt = brandor.COCO(dataset)
        dt = gt.loadRes(results)
    single = brandor.evaluate(gt, dt)
    n_dets = len(results)
    print(f"{args.images} images, {n_dets} detections, {args.shards} shards")

    ours: list[bytes] = []
    t_shards = 0.0
    for img_ids in shards:
        t0 = time.perf_counter()
        partial = brandor.evaluate_shard(gt, dt, img_ids=img_ids)
        t_shards += time.perf_counter() - t0
        ours.append(pickle.dumps(partial))
    with contextlib.redirect_stdout(io.StringIO()):
        theirs = [reference_shard(gt, dt, img_ids) for img_ids in shards]

    t0 = time.perf_counter()
    merged = brandor.merge_partials([pickle.loads(s) for s in ours])
    t_ours = time.perf_counter() - t0
    t_ref, ref_eval = reference_merge(gt, dt, theirs)
    for key in ("precision", "recall", "scores"):
        assert getattr(merged, key).tobytes() == getattr(single, key).tobytes(), f"merged {key} differs"
        assert np.array_equal(ref_eval[key], getattr(single, key)), f"reference {key} differs"

    b_ours, b_ref = sum(map(len, ours)), sum(map(len, theirs))
    print(f"{'evaluate_shard, all shards':<40} brandor {t_shards:7.3f} s")
    print(f"{'bytes sent per detection':<40} brandor {b_ours / n_dets:7.1f}     "
          f"evalImgs {b_ref / n_dets:7.1f}     x{b_ref / b_ours:.1f}")
    print(f"{'bytes sent, all shards':<40} brandor {b_ours / 1e6:7.1f} MB  "
          f"evalImgs {b_ref / 1e6:7.1f} MB")
    print(f"{'merge and accumulate on one rank':<40} brandor {t_ours:7.3f} s   "
          f"pycocotools {t_ref:7.3f} s   x{t_ref / t_ours:.1f}")


if __name__ == "__main__":
    main()
