"""Sharded evaluation: partials of disjoint image shards merge into the single run, bit for bit."""

from __future__ import annotations

import copy
import json
import multiprocessing
import pickle
import struct
import subprocess
import sys
import threading
import types
from pathlib import Path
from typing import Any

import pytest

import brandor
import synth
from brandor import _tarnel
from support.shards import evaluate_file_shard, shard_results, split_images


def assert_bitwise_equal(merged: brandor.EvalResult, single: brandor.EvalResult, where: str = "") -> None:
    for name in ("precision", "recall", "scores"):
        a, b = getattr(merged, name), getattr(single, name)
        assert a.shape == b.shape and a.dtype == b.dtype, f"{where} {name}: {a.shape} != {b.shape}"
        assert a.tobytes() == b.tobytes(), f"{where} {name} differs"
    assert merged.params.to_dict() == single.params.to_dict()
    assert merged.categories == single.categories
    assert (merged.num_gt, merged.num_dt) == (single.num_gt, single.num_dt)
    assert merged.stats == single.stats


def sharded(dataset: dict[str, Any], results: list[dict[str, Any]], seed: int, n_shards: int,
            iou_type: str = "bbox", **params: Any) -> list[brandor.Partial]:
    shards = split_images(dataset, n_shards, seed)
    return [brandor.evaluate_shard(dataset, shard_results(results, ids), iou_type, img_ids=ids, **params)
            for ids in shards]


KINDS = [("bbox", "bbox", {}), ("segm", "segm", {}), ("boundary", "segm", {}),
         ("keypoints", "keypoints", {"keypoints": True})]


@pytest.mark.parametrize("iou_type,results_kind,dataset_kw", KINDS, ids=[k[0] for k in KINDS])
@pytest.mark.parametrize("seed", [11, 12])
def test_merge_equals_single_run_for_every_kind(iou_type, results_kind, dataset_kw, seed):
    # Shards of uneven size, an empty one, images without ground truth, tied
    # scores across images: the merged arrays must be the single run's.
    dataset = synth.make_dataset(36, 5, seed=seed, **dataset_kw)
    results = synth.make_results(dataset, 12, seed=seed + 1, kind=results_kind)
    single = brandor.evaluate(dataset, copy.deepcopy(results), iou_type)
    partials = sharded(dataset, results, seed, 4, iou_type)
    assert any(not p.img_ids for p in partials), "one shard is meant to be empty"
    merged = brandor.merge_partials(reversed(partials))
    assert_bitwise_equal(merged, single, f"seed {seed} {iou_type}")


CUSTOM = [
    {"use_cats": False},
    {"iou_thrs": [0.3, 0.5, 0.5, 0.9], "rec_thrs": [0.0, 0.33, 1.0, 1.01], "max_dets": [5, 1, 3]},
    {"area_rng": [[0, 32 ** 2], [0, 1e10]], "area_labels": ["small", "all"], "max_dets": [1, 2, 4]},
    {"cat_ids": [2, 4]},
]


@pytest.mark.parametrize("params", CUSTOM, ids=["pooled", "thresholds", "areas", "categories"])
def test_merge_equals_single_run_with_custom_parameters(params):
    dataset = synth.make_dataset(30, 5, seed=21)
    results = synth.make_results(dataset, 10, seed=22)
    single = brandor.evaluate(dataset, results, "bbox", **params)
    merged = brandor.merge_partials(sharded(dataset, results, 21, 3, **params))
    assert_bitwise_equal(merged, single, str(params))


def test_shard_ground_truth_may_hold_only_the_shards_images():
    dataset = synth.make_dataset(30, 4, seed=31)
    results = synth.make_results(dataset, 10, seed=32)
    single = brandor.evaluate(dataset, results)
    partials = []
    for ids in split_images(dataset, 3, 31):
        keep = set(ids)
        own = {**dataset, "images": [im for im in dataset["images"] if im["id"] in keep],
               "annotations": [a for a in dataset["annotations"] if a["image_id"] in keep]}
        partials.append(brandor.evaluate_shard(own, shard_results(results, ids)))
    assert_bitwise_equal(brandor.merge_partials(partials), single)


def test_merge_does_not_depend_on_shard_order_or_cut():
    dataset = synth.make_dataset(24, 3, seed=41)
    results = synth.make_results(dataset, 8, seed=42)
    single = brandor.evaluate(dataset, results)
    for n_shards in (1, 2, 7):
        partials = sharded(dataset, results, 41 + n_shards, n_shards)
        for order in (partials, partials[::-1]):
            assert_bitwise_equal(brandor.merge_partials(order), single, f"{n_shards} shards")


def test_all_shards_empty_gives_the_run_without_images():
    dataset = synth.make_dataset(5, 3, seed=51)
    single = brandor.evaluate(dataset, [], img_ids=[])
    merged = brandor.merge_partials([brandor.evaluate_shard(dataset, [], img_ids=[]) for _ in range(2)])
    assert_bitwise_equal(merged, single)
    assert (merged.precision == -1).all()


# ---------------------------------------------------------------- bytes

@pytest.fixture(scope="module")
def small_partial() -> brandor.Partial:
    dataset = synth.make_dataset(6, 3, seed=61)
    return brandor.evaluate_shard(dataset, synth.make_results(dataset, 5, seed=62))


def test_bytes_and_pickle_round_trip(small_partial):
    data = small_partial.to_bytes()
    for copy in (brandor.Partial.from_bytes(data), brandor.Partial.from_bytes(bytearray(data)),
                 pickle.loads(pickle.dumps(small_partial))):
        assert copy.to_bytes() == data
        assert copy.img_ids == small_partial.img_ids and copy.iou_type == "bbox"
    a = brandor.merge_partials([small_partial])
    b = brandor.merge_partials([data])
    assert a.precision.tobytes() == b.precision.tobytes()


def test_every_changed_byte_is_refused(small_partial):
    data = small_partial.to_bytes()
    for at in range(len(data)):
        corrupted = bytearray(data)
        corrupted[at] ^= 0x5A
        with pytest.raises(ValueError, match="partial result"):
            _tarnel.read_partial(bytes(corrupted))
    for cut in (0, 5, 12, len(data) // 2, len(data) - 1):
        with pytest.raises(ValueError, match="partial result"):
            _tarnel.read_partial(data[:cut])
    with pytest.raises(ValueError, match="partial result"):
        _tarnel.read_partial(data + b"\0")


def test_messages_for_garbage_and_other_versions(small_partial):
    with pytest.raises(ValueError, match=r"^not a brandor partial result \(the bytes do not start with its tag\)$"):
        brandor.Partial.from_bytes(b"{\"images\": []}")
    data = small_partial.to_bytes()
    newer = data[:8] + struct.pack("<I", 2) + data[12:]
    with pytest.raises(ValueError, match=r"^partial result has format version 2; this brandor reads version 1$"):
        brandor.Partial.from_bytes(newer)
    with pytest.raises(ValueError, match=r"^partial result is corrupted \(its checksum does not match\)$"):
        brandor.merge_partials([data[:-9] + bytes([data[-9] ^ 1]) + data[-8:]])
    with pytest.raises(TypeError):
        _tarnel.merge_partials(["not bytes"])
    with pytest.raises(ValueError, match="^there are no partial results to merge$"):
        brandor.merge_partials([])
    # Native bytes made without the Python layer's settings.
    bare = _tarnel.Evaluator([], [], {}, [1], [1], [0.5], [0.0], [1], [[0, 1e10]], True, "bbox", []).partial()
    with pytest.raises(ValueError, match="not made by brandor.evaluate_shard"):
        brandor.Partial.from_bytes(bare)


# ---------------------------------------------------------------- refusals

def test_overlapping_shards_name_the_repeated_images():
    dataset = synth.make_dataset(10, 3, seed=71)
    ids = sorted(im["id"] for im in dataset["images"])
    a = brandor.evaluate_shard(dataset, [], img_ids=ids[:6])
    b = brandor.evaluate_shard(dataset, [], img_ids=ids[4:])
    with pytest.raises(ValueError, match=rf"^partial results overlap: 2 image\(s\) are in more than one shard "
                                         rf"\(image ids {ids[4]}, {ids[5]}\)$"):
        brandor.merge_partials([a, b])


def test_partials_with_different_settings_are_refused():
    dataset = synth.make_dataset(8, 3, seed=81)
    ids = sorted(im["id"] for im in dataset["images"])
    base = brandor.evaluate_shard(dataset, [], img_ids=ids[:4])
    other = brandor.evaluate_shard(dataset, [], img_ids=ids[4:], iou_thrs=[0.5])
    with pytest.raises(ValueError, match=r"^partial results were evaluated with different parameters: iou_thrs of "
                                         r"partial 1 differs from that of partial 0$"):
        brandor.merge_partials([base, other])
    relabelled = brandor.evaluate_shard(dataset, [], img_ids=ids[4:],
                                        area_labels=["all", "s", "m", "l"])
    with pytest.raises(ValueError, match="different settings: params of partial 1"):
        brandor.merge_partials([base, relabelled])
    segm = brandor.evaluate_shard(dataset, [], "segm", img_ids=ids[4:])
    with pytest.raises(ValueError, match="different parameters: iou_type"):
        brandor.merge_partials([base, segm])


def test_non_integer_image_ids_are_refused():
    dataset = {"images": [{"id": "a", "height": 10, "width": 10}], "annotations": [],
               "categories": [{"id": 1, "name": "x"}]}
    with pytest.raises(ValueError, match="^sharded evaluation needs integer image ids$"):
        brandor.evaluate_shard(dataset, [])


# ---------------------------------------------------------------- recipes

def test_multiprocessing_pool_run(tmp_path):
    dataset = synth.make_dataset(40, 4, seed=91)
    results = synth.make_results(dataset, 10, seed=92)
    gt_path = tmp_path / "gt.json"
    res_path = tmp_path / "res.json"
    gt_path.write_text(json.dumps(dataset))
    res_path.write_text(json.dumps(results))
    shards = split_images(dataset, 3, 91)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        data = pool.starmap(evaluate_file_shard, [(str(gt_path), str(res_path), ids) for ids in shards])
    assert all(isinstance(d, bytes) for d in data)
    assert_bitwise_equal(brandor.merge_partials(data), brandor.evaluate(str(gt_path), str(res_path)))


class FakeProcessGroup:
    """torch.distributed's object gather over threads: each thread is one rank."""

    def __init__(self, world: int) -> None:
        self.world = world
        self.slots: list[Any] = [None] * world
        self.barrier = threading.Barrier(world)
        self.ranks = threading.local()

    def module(self) -> types.ModuleType:
        dist = types.ModuleType("torch.distributed")
        dist.is_available = lambda: True  # type: ignore[attr-defined]
        dist.is_initialized = lambda: True  # type: ignore[attr-defined]
        dist.get_rank = lambda group=None: self.ranks.rank  # type: ignore[attr-defined]
        dist.get_world_size = lambda group=None: self.world  # type: ignore[attr-defined]
        dist.gather_object = self.gather_object  # type: ignore[attr-defined]
        return dist

    def gather_object(self, obj: Any, object_gather_list: list[Any] | None = None, dst: int = 0,
                      group: Any = None) -> None:
        rank = self.ranks.rank
        # As torch does: the object travels pickled.
        self.slots[rank] = pickle.dumps(obj)
        self.barrier.wait()
        if rank == dst:
            assert object_gather_list is not None and len(object_gather_list) == self.world
            object_gather_list[:] = [pickle.loads(s) for s in self.slots]
        else:
            assert object_gather_list is None
        self.barrier.wait()


def test_gather_evaluate_over_a_fake_process_group(monkeypatch):
    from brandor.distributed import gather_evaluate

    dataset = synth.make_dataset(30, 4, seed=101)
    results = synth.make_results(dataset, 10, seed=102)
    shards = split_images(dataset, 3, 101)
    group = FakeProcessGroup(len(shards))
    torch = types.ModuleType("torch")
    torch.distributed = group.module()  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "torch", torch)
    monkeypatch.setitem(sys.modules, "torch.distributed", torch.distributed)  # type: ignore[attr-defined]

    out: list[Any] = [None] * len(shards)
    errors: list[BaseException] = []

    def rank_main(rank: int) -> None:
        group.ranks.rank = rank
        try:
            out[rank] = gather_evaluate(dataset, shard_results(results, shards[rank]), img_ids=shards[rank])
        except BaseException as exc:  # handed to the test thread
            errors.append(exc)
            group.barrier.abort()

    threads = [threading.Thread(target=rank_main, args=(r,)) for r in range(len(shards))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert out[1] is None and out[2] is None
    assert_bitwise_equal(out[0], brandor.evaluate(dataset, results))


def test_distributed_module_does_not_import_torch():
    code = "import sys, brandor.distributed; assert 'torch' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_dask_local_cluster_run():
    pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    dataset = synth.make_dataset(24, 3, seed=111)
    results = synth.make_results(dataset, 8, seed=112)
    shards = split_images(dataset, 3, 111)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        futures = [client.submit(brandor.evaluate_shard, dataset, shard_results(results, ids), img_ids=ids,
                                 pure=False) for ids in shards]
        merged = brandor.merge_partials(client.gather(futures))
    assert_bitwise_equal(merged, brandor.evaluate(dataset, results))


ONE_PROCESSOR_CHILD = r"""
import os, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.path[:0] = sys.argv[1:3]
import brandor, synth
from support.shards import shard_results, split_images
dataset = synth.make_dataset(60, 4, seed=121)
results = synth.make_results(dataset, 12, seed=122)
parts = [brandor.evaluate_shard(dataset, shard_results(results, ids), img_ids=ids)
         for ids in split_images(dataset, 2, 121)]
sys.stdout.buffer.write(b"".join(p.to_bytes() for p in parts))
sys.stdout.buffer.write(brandor.merge_partials(parts).precision.tobytes())
"""


def test_partials_and_merge_do_not_depend_on_the_worker_pool():
    here = Path(__file__).resolve().parent
    child = subprocess.run([sys.executable, "-c", ONE_PROCESSOR_CHILD, str(here), str(here.parent / "bench")],
                           capture_output=True, check=True)
    dataset = synth.make_dataset(60, 4, seed=121)
    results = synth.make_results(dataset, 12, seed=122)
    parts = [brandor.evaluate_shard(dataset, shard_results(results, ids), img_ids=ids)
             for ids in split_images(dataset, 2, 121)]
    ours = b"".join(p.to_bytes() for p in parts) + brandor.merge_partials(parts).precision.tobytes()
    assert child.stdout == ours
