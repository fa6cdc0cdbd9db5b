"""Type stub of the native extension module brandor._tarnel."""

from typing import Any, Iterable, Sequence, TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "Evaluator",
    "CompactBbox",
    "load_compact_bbox",
    "load_compact_array",
    "index_annotations",
    "prepare_bbox_results",
    "prepare_mask_results",
    "prepare_keypoint_results",
    "summary_values",
    "accumulate_eval_imgs",
    "match_greedy",
    "read_partial",
    "merge_partials",
    "encode",
    "decode",
    "merge",
    "area",
    "toBbox",
    "iou",
    "frBbox",
    "frPoly",
    "frUncompressedRLE",
    "frPyObjects",
    "toBoundary",
    "load_json",
    "parse_json_only",
    "read_file_only",
    "alloc_stats",
    "reset_alloc_peak",
]

_Float64Array = npt.NDArray[np.float64]
_RLE = dict[str, Any]
_EvalRecord = dict[str, Any]

class _RunResult(TypedDict, total=False):
    counts: list[int]
    precision: _Float64Array
    recall: _Float64Array
    scores: _Float64Array
    evalImgs: list[_EvalRecord | None]

class _AccumulateResult(TypedDict):
    precision: _Float64Array
    recall: _Float64Array
    scores: _Float64Array

class _PartialInfo(TypedDict):
    version: int
    iou_type: str
    img_ids: npt.NDArray[np.int64]
    pairs: int
    detections: int
    meta: bytes

class _MergedPartials(TypedDict):
    counts: list[int]
    precision: _Float64Array
    recall: _Float64Array
    scores: _Float64Array
    img_ids: npt.NDArray[np.int64]
    meta: list[bytes]

class _AllocStats(TypedDict):
    enabled: bool
    live_bytes: int
    peak_bytes: int
    total_allocated_bytes: int
    allocations: int
    frees: int

@final
class CompactBbox:
    def lvis_annotations(
        self,
        /,
        image_ids: Sequence[int],
        categories: set[int] | frozenset[int],
        verified: dict[int, set[int] | frozenset[int]],
        max_det: int | None,
    ) -> list[dict[str, Any]] | None: ...
    def annotations(self, /) -> list[dict[str, Any]]: ...
    def valid_images(self, /, images: Sequence[int]) -> bool: ...
    @property
    def from_array(self) -> bool: ...
    @property
    def float32(self) -> bool: ...
    def array_rows(self, /) -> _Float64Array: ...
    @property
    def annotation_count(self) -> int: ...
    @property
    def snapshot_bytes(self) -> int: ...
    @property
    def column_bytes(self) -> int: ...

@final
class Evaluator:
    def __new__(
        cls,
        gt_anns: list[dict[str, Any]] | CompactBbox,
        dt_anns: list[dict[str, Any]] | CompactBbox,
        img_sizes: dict[int, tuple[int, int]],
        img_ids: Sequence[int],
        cat_ids: Sequence[int],
        iou_thrs: Sequence[float],
        rec_thrs: Sequence[float],
        max_dets: Sequence[int],
        area_rng: Sequence[Sequence[float]],
        use_cats: bool,
        iou_type: str,
        kpt_sigmas: Sequence[float],
        use_area: bool = True,
        boundary_dilation: float = 0.02,
    ) -> Evaluator: ...
    def configure_lvis(
        self, /, gt_ignore: Sequence[bool], non_exhaustive: Sequence[tuple[int, int]], preserve_crowds: bool = False
    ) -> None: ...
    def run(self, /, collect_eval_imgs: bool = False) -> _RunResult: ...
    def per_instance(
        self, /, t_idx: int = 0, a_idx: int = 0, max_det: int = 100
    ) -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[Any]]]: ...
    def timings(self, /) -> dict[str, float]: ...
    def partial(self, /, meta: bytes | None = None) -> bytes: ...

def load_compact_bbox(path: str, results: bool = False) -> tuple[dict[str, Any], CompactBbox]: ...
def load_compact_array(data: npt.NDArray[np.float32] | npt.NDArray[np.float64]) -> CompactBbox: ...
def index_annotations(
    annotations: list[dict[str, Any]], with_categories: bool
) -> tuple[dict[Any, dict[str, Any]], dict[Any, list[dict[str, Any]]], dict[Any, list[Any]]]: ...
def prepare_bbox_results(annotations: list[dict[str, Any]]) -> None: ...
def prepare_mask_results(annotations: list[dict[str, Any]]) -> None: ...
def prepare_keypoint_results(annotations: list[dict[str, Any]]) -> None: ...
def summary_values(
    array: _Float64Array, thresholds: Sequence[int], categories: Sequence[int], area: int, max_det: int
) -> _Float64Array: ...
def accumulate_eval_imgs(
    eval_imgs: list[_EvalRecord | None],
    block_starts: Sequence[int],
    image_positions: Sequence[int],
    areas: int,
    rec_thrs: Sequence[float],
    max_dets: Sequence[int],
) -> _AccumulateResult: ...
def match_greedy(
    ious: npt.ArrayLike, gt_ignore: Iterable[int], iscrowd: Iterable[int], iou_thrs: Sequence[float]
) -> npt.NDArray[np.int64]: ...
def read_partial(data: bytes) -> _PartialInfo: ...
def merge_partials(partials: Sequence[bytes]) -> _MergedPartials: ...
def encode(mask: npt.NDArray[np.uint8]) -> list[_RLE]: ...
def decode(rle_objs: Iterable[_RLE]) -> npt.NDArray[np.uint8]: ...
def merge(rle_objs: Iterable[_RLE], intersect: int = 0) -> _RLE: ...
def area(rle_objs: Iterable[_RLE]) -> npt.NDArray[np.uint32]: ...
def toBbox(rle_objs: Iterable[_RLE]) -> _Float64Array: ...
def iou(dt: Any, gt: Any, iscrowd: Iterable[int] | None) -> _Float64Array | list[Any]: ...
def frBbox(bb: Any, h: int, w: int) -> list[_RLE]: ...
def frPoly(poly: Iterable[Sequence[float]], h: int, w: int) -> list[_RLE]: ...
def frUncompressedRLE(uc: Iterable[dict[str, Any]], _h: int, _w: int) -> list[_RLE]: ...
def frPyObjects(obj: Any, h: int, w: int) -> list[_RLE] | _RLE: ...
def toBoundary(rle_objs: Iterable[_RLE], dilation_ratio: float = 0.02) -> list[_RLE]: ...
def load_json(path: str) -> Any: ...
def parse_json_only(path: str) -> int: ...
def read_file_only(path: str) -> int: ...
def alloc_stats() -> _AllocStats: ...
def reset_alloc_peak() -> None: ...
