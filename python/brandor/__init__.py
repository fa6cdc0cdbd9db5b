"""brandor: COCO-protocol evaluation with pycocotools' numbers, natively."""

from brandor import _tarnel
from . import mask
from .coco import COCO
from .cocoeval import COCOeval, Params

__all__ = ["COCO", "COCOeval", "Params", "mask"]
