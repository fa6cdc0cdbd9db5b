"""Drawing annotations with matplotlib, which is imported only here and only when drawing."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import mask as maskUtils


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError as exc:
        raise ImportError("COCO.showAnns needs matplotlib, which is not installed: pip install matplotlib") from exc
    return plt


def show_instances(coco: Any, anns: list[dict[str, Any]], draw_bbox: bool) -> None:
    """Draw segmentations, keypoints and (optionally) boxes on the current axes, as pycocotools does.

    Polygons and boxes become translucent filled patches, masks translucent
    coloured images (crowds in one fixed colour), keypoints dots joined by
    their category's skeleton. Colours are random.
    """
    plt = _pyplot()
    from matplotlib.collections import PatchCollection  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.patches import Polygon  # type: ignore[import-not-found, unused-ignore]

    ax = plt.gca()
    ax.set_autoscale_on(False)
    polygons: list[Any] = []
    colors: list[Any] = []
    for ann in anns:
        c = (np.random.random((1, 3)) * 0.6 + 0.4).tolist()[0]
        if "segmentation" in ann:
            seg = ann["segmentation"]
            if type(seg) == list:
                for ring in seg:
                    polygons.append(Polygon(np.array(ring).reshape((int(len(ring) / 2), 2))))
                    colors.append(c)
            else:
                ax.imshow(_mask_image(coco, ann))
        if "keypoints" in ann and type(ann["keypoints"]) == list:
            _draw_keypoints(plt, coco, ann, c)
        if draw_bbox:
            x, y, w, h = ann["bbox"]
            corners = [[x, y], [x, y + h], [x + w, y + h], [x + w, y]]
            polygons.append(Polygon(np.array(corners).reshape((4, 2))))
            colors.append(c)
    ax.add_collection(PatchCollection(polygons, facecolor=colors, linewidths=0, alpha=0.4))
    ax.add_collection(PatchCollection(polygons, facecolor="none", edgecolors=colors, linewidths=2))


def _mask_image(coco: Any, ann: dict[str, Any]) -> np.ndarray:
    """An RGBA image of the annotation's mask: its colour, half opaque where set."""
    seg = ann["segmentation"]
    img_info = coco.imgs[ann["image_id"]]
    if type(seg["counts"]) == list:
        rles = maskUtils.frPyObjects([seg], img_info["height"], img_info["width"])
    else:
        rles = [seg]
    m = maskUtils.decode(rles)
    img = np.ones((m.shape[0], m.shape[1], 3))
    if ann["iscrowd"] == 1:
        color_mask = np.array([2.0, 166.0, 101.0]) / 255
    if ann["iscrowd"] == 0:
        color_mask = np.random.random((1, 3)).tolist()[0]
    for i in range(3):
        img[:, :, i] = color_mask[i]
    return np.dstack((img, m * 0.5))


def _draw_keypoints(plt: Any, coco: Any, ann: dict[str, Any], c: list[float]) -> None:
    bones = np.array(coco.loadCats(ann["category_id"])[0]["skeleton"]) - 1  # one-based in the dataset
    kp = np.array(ann["keypoints"])
    x, y, v = kp[0::3], kp[1::3], kp[2::3]
    for bone in bones:
        if np.all(v[bone] > 0):
            plt.plot(x[bone], y[bone], linewidth=3, color=c)
    plt.plot(x[v > 0], y[v > 0], "o", markersize=8, markerfacecolor=c, markeredgecolor="k", markeredgewidth=2)
    plt.plot(x[v > 1], y[v > 1], "o", markersize=8, markerfacecolor=c, markeredgecolor=c, markeredgewidth=2)
