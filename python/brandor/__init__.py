"""brandor: COCO-protocol evaluation with pycocotools' numbers, natively."""

from brandor import _tarnel

__all__ = ["_tarnel"]
