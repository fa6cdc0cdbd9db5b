"""brandor: COCO-protocol evaluation with pycocotools' numbers, natively."""

from brandor import _tarnel
from . import mask
from .api import InputError, evaluate
from .coco import COCO
from .cocoeval import COCOeval, Params
from .result import EvalResult
from .shards import Partial, evaluate_shard, merge_partials

__all__ = ["COCO", "COCOeval", "EvalResult", "InputError", "Params", "Partial", "evaluate", "evaluate_shard",
           "mask", "merge_partials"]
