"""brandor: COCO-protocol evaluation with pycocotools' numbers, natively."""

from brandor import _tarnel
from .coco import COCO
from .cocoeval import COCOeval, Params

__all__ = ["_tarnel", "COCO", "COCOeval", "Params"]
