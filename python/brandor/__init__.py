"""brandor: COCO-protocol evaluation with pycocotools' numbers, computed natively."""

from .coco import COCO
from .cocoeval import COCOeval, Params

__all__ = ["COCO", "COCOeval", "Params"]
