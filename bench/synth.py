"""Seeded synthetic COCO-style datasets and detection results.

`make_dataset` builds a dataset dict (images, categories, annotations with
boxes, polygons, crowd RLEs and optionally keypoints) and `make_results` a
list of detection results perturbed from its ground truth, with false
positives, duplicates and tied scores. Everything is drawn from
`numpy.random.default_rng(seed)`, so a seed names a dataset exactly.

The shapes aim at what makes evaluation hard rather than at realism: objects
in every area range (including areas exactly on the range limits), crowds,
images without ground truth, categories without detections, polygons whose
vertices stray slightly outside the image, and many equal scores.
"""

from __future__ import annotations

from typing import Any

import numpy as np

KEYPOINT_NAMES = [
    "nose", "left_eye", "right_eye", "left_ear", "right_ear",
    "left_shoulder", "right_shoulder", "left_elbow", "right_elbow",
    "left_wrist", "right_wrist", "left_hip", "right_hip",
    "left_knee", "right_knee", "left_ankle", "right_ankle",
]
SKELETON = [
    [16, 14], [14, 12], [17, 15], [15, 13], [12, 13], [6, 12], [7, 13],
    [6, 7], [6, 8], [7, 9], [8, 10], [9, 11], [2, 3], [1, 2], [1, 3],
    [2, 4], [3, 5], [4, 6], [5, 7],
]
NUM_KEYPOINTS = len(KEYPOINT_NAMES)


def _images(rng: np.random.Generator, n_images: int) -> list[dict[str, Any]]:
    # Ids with gaps, listed in shuffled order: evaluation must not rely on
    # ids being positions or on the list being sorted.
    ids = np.cumsum(rng.integers(1, 4, n_images)) + 1000
    landscape = rng.random(n_images) < 0.7
    long_side = rng.choice([640, 640, 640, 612, 500], n_images)
    short_side = rng.integers(300, 481, n_images)
    width = np.where(landscape, long_side, short_side)
    height = np.where(landscape, short_side, long_side)
    order = rng.permutation(n_images)
    return [
        {"id": int(ids[i]), "width": int(width[i]), "height": int(height[i]),
         "file_name": f"{int(ids[i]):012d}.jpg"}
        for i in order.tolist()
    ]


def _categories(rng: np.random.Generator, n_categories: int, keypoints: bool) -> list[dict[str, Any]]:
    pool = np.arange(1, n_categories + n_categories // 8 + 2)
    ids = np.sort(rng.choice(pool, n_categories, replace=False))
    cats = []
    for cid in ids.tolist():
        cat: dict[str, Any] = {"id": cid, "name": f"class_{cid}", "supercategory": f"group_{cid % 12}"}
        if keypoints:
            cat["keypoints"] = list(KEYPOINT_NAMES)
            cat["skeleton"] = [list(pair) for pair in SKELETON]
        cats.append(cat)
    return cats


def _boxes(rng: np.random.Generator, n: int, width: np.ndarray, height: np.ndarray,
           min_size: float, max_size: float) -> np.ndarray:
    """Boxes [x, y, w, h] whose square-rooted areas are log-uniform in [min_size, max_size]."""
    side = np.exp(rng.uniform(np.log(min_size), np.log(max_size), n))
    aspect = np.exp(rng.normal(0.0, 0.45, n))
    w = np.minimum(side * np.sqrt(aspect), width - 1.0)
    h = np.minimum(side / np.sqrt(aspect), height - 1.0)
    x = rng.uniform(0.0, 1.0, n) * (width - w)
    y = rng.uniform(0.0, 1.0, n) * (height - h)
    # Some objects touch the image border, as cut-off objects do.
    edge = rng.random(n) < 0.08
    x = np.where(edge & (rng.random(n) < 0.5), 0.0, x)
    y = np.where(edge & (rng.random(n) < 0.5), height - h, y)
    return np.stack([x, y, w, h], axis=1)


def _polygons(rng: np.random.Generator, boxes: np.ndarray) -> tuple[list[list[list[float]]], np.ndarray, np.ndarray]:
    """Star-shaped polygons of 1-3 rings inside each box.

    Radii reach slightly beyond the box, so for objects at the border some
    vertices lie outside the image. Returns the polygons, their tight boxes and
    their (shoelace) areas.
    """
    n = len(boxes)
    rings = rng.choice([1, 2, 3], n, p=[0.8, 0.14, 0.06])
    ring_owner = np.repeat(np.arange(n), rings)
    ring_index = np.arange(len(ring_owner)) - np.repeat(np.cumsum(rings) - rings, rings)
    n_rings = len(ring_owner)
    verts = rng.integers(4, 13, n_rings)
    vert_ring = np.repeat(np.arange(n_rings), verts)
    ring_start = np.cumsum(verts) - verts
    k = np.arange(len(vert_ring)) - ring_start[vert_ring]
    # Ring j of r splits the box into vertical strips.
    owner = ring_owner[vert_ring]
    r = rings[owner]
    j = ring_index[vert_ring]
    x0, y0, w, h = boxes[owner, 0], boxes[owner, 1], boxes[owner, 2], boxes[owner, 3]
    strip_w = w / r
    cx = x0 + strip_w * (j + 0.5)
    cy = y0 + h * 0.5
    angle = 2 * np.pi * (k + rng.uniform(0.1, 0.9, len(k))) / verts[vert_ring]
    radius = rng.uniform(0.72, 1.06, len(k))
    px = np.round(cx + np.cos(angle) * radius * strip_w * 0.5, 2)
    py = np.round(cy + np.sin(angle) * radius * h * 0.5, 2)
    # Shoelace area per ring, then per annotation.
    nxt = np.arange(len(k)) + 1
    ring_end = ring_start + verts
    nxt = np.where(nxt == ring_end[vert_ring], ring_start[vert_ring], nxt)
    cross = px * py[nxt] - px[nxt] * py
    ring_area = np.abs(np.add.reduceat(cross, ring_start)) * 0.5
    area = np.bincount(ring_owner, weights=ring_area, minlength=n)
    lo_x = np.full(n, np.inf)
    lo_y = np.full(n, np.inf)
    hi_x = np.full(n, -np.inf)
    hi_y = np.full(n, -np.inf)
    np.minimum.at(lo_x, owner, px)
    np.minimum.at(lo_y, owner, py)
    np.maximum.at(hi_x, owner, px)
    np.maximum.at(hi_y, owner, py)
    tight = np.stack([lo_x, lo_y, hi_x - lo_x, hi_y - lo_y], axis=1)
    coords = np.stack([px, py], axis=1).ravel().tolist()
    ring_bounds = (np.concatenate([[0], np.cumsum(verts)]) * 2).tolist()
    polys: list[list[list[float]]] = [[] for _ in range(n)]
    for ring, who in enumerate(ring_owner.tolist()):
        polys[who].append(coords[ring_bounds[ring]:ring_bounds[ring + 1]])
    return polys, tight, area


def _crowd_rle(rng: np.random.Generator, box: np.ndarray, height: int, width: int) -> tuple[dict[str, Any], list[float], float]:
    """An uncompressed RLE of an elliptic blob inside `box`, with its tight box and area."""
    x0 = int(np.clip(np.floor(box[0]), 0, width - 1))
    x1 = int(np.clip(np.ceil(box[0] + box[2]), x0 + 1, width))
    y0 = int(np.clip(np.floor(box[1]), 0, height - 1))
    y1 = int(np.clip(np.ceil(box[1] + box[3]), y0 + 1, height))
    cols = np.arange(x0, x1)
    half_w = max((x1 - x0) / 2.0, 0.5)
    rel = (cols + 0.5 - (x0 + x1) / 2.0) / half_w
    half_h = (y1 - y0) / 2.0 * np.sqrt(np.clip(1.0 - rel * rel, 0.05, 1.0))
    mid = (y0 + y1) / 2.0 + rng.normal(0.0, 0.05 * (y1 - y0) + 0.01, len(cols))
    top = np.clip(np.round(mid - half_h), y0, y1 - 1).astype(np.int64)
    bottom = np.clip(np.round(mid + half_h), top + 1, y1).astype(np.int64)
    counts = [x0 * height + int(top[0])]
    for c in range(len(cols)):
        counts.append(int(bottom[c] - top[c]))
        if c + 1 < len(cols):
            counts.append(int(height - bottom[c] + top[c + 1]))
    counts.append(int(height - bottom[-1] + (width - x1) * height))
    area = float(np.sum(bottom - top))
    lo, hi = int(top.min()), int(bottom.max())
    return {"counts": counts, "size": [height, width]}, [float(x0), float(lo), float(x1 - x0), float(hi - lo)], area


def _keypoints(rng: np.random.Generator, boxes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Integer keypoints inside each box; visibility 0/1/2, more often 0 for small objects."""
    n = len(boxes)
    u = rng.uniform(0.05, 0.95, (n, NUM_KEYPOINTS))
    v = rng.uniform(0.05, 0.95, (n, NUM_KEYPOINTS))
    xs = np.round(boxes[:, 0:1] + u * boxes[:, 2:3])
    ys = np.round(boxes[:, 1:2] + v * boxes[:, 3:4])
    side = np.sqrt(boxes[:, 2] * boxes[:, 3])
    p_hidden = np.clip(0.9 - side / 120.0, 0.15, 0.9)[:, None]
    draw = rng.random((n, NUM_KEYPOINTS))
    vis = np.where(draw < p_hidden, 0, np.where(draw < p_hidden + (1 - p_hidden) * 0.25, 1, 2))
    # A share of objects has no labelled keypoint at all.
    vis[rng.random(n) < 0.1] = 0
    xs[vis == 0] = 0
    ys[vis == 0] = 0
    kp = np.stack([xs, ys, vis], axis=2).reshape(n, 3 * NUM_KEYPOINTS).astype(np.int64)
    return kp, (vis > 0).sum(axis=1)


def make_dataset(n_images: int, n_categories: int = 80, anns_per_image: float = 7.2, seed: int = 0,
                 keypoints: bool = False, crowd_fraction: float = 0.01, min_size: float = 4.0,
                 max_size: float = 420.0) -> dict[str, Any]:
    """A COCO dataset dict with `n_images` images and about `anns_per_image` objects each.

    Object counts per image follow a negative binomial (some images have none),
    categories a skewed distribution, object sizes a log-uniform law between
    `min_size` and `max_size` (square root of the area). With `keypoints`, every
    category carries 17 keypoints and every object keypoints and num_keypoints.
    """
    rng = np.random.default_rng(seed)
    images = _images(rng, n_images)
    categories = _categories(rng, n_categories, keypoints)
    dispersion = 2.0
    per_image = rng.negative_binomial(dispersion, dispersion / (dispersion + anns_per_image), n_images)
    n = int(per_image.sum())
    img_pos = np.repeat(np.arange(n_images), per_image)
    width = np.array([img["width"] for img in images], dtype=np.float64)[img_pos]
    height = np.array([img["height"] for img in images], dtype=np.float64)[img_pos]
    weights = 1.0 / (np.arange(n_categories) + 3.0)
    weights = rng.permutation(weights / weights.sum())
    cat_ids = np.array([c["id"] for c in categories])
    cat = cat_ids[rng.choice(n_categories, n, p=weights)] if n_categories else np.zeros(n, np.int64)
    boxes = _boxes(rng, n, width, height, min_size, max_size)
    polys, tight, area = _polygons(rng, boxes)
    crowd = rng.random(n) < crowd_fraction
    # A few areas exactly on the limits of the standard area ranges.
    on_limit = rng.random(n) < 0.006
    area = np.where(on_limit, rng.choice([32.0 ** 2, 96.0 ** 2], n), area)
    if keypoints:
        kps, nkp = _keypoints(rng, tight)
    ann_ids = rng.permutation(n) * 2 + 1 + rng.integers(0, 2, n)
    annotations = []
    tight_l = np.round(tight, 2).tolist()
    area_l = area.tolist()
    for i in rng.permutation(n).tolist():
        img = images[int(img_pos[i])]
        ann: dict[str, Any] = {"id": int(ann_ids[i]), "image_id": img["id"], "category_id": int(cat[i])}
        if crowd[i]:
            seg, bbox, a = _crowd_rle(rng, boxes[i], img["height"], img["width"])
            ann.update(segmentation=seg, area=a, bbox=bbox, iscrowd=1)
            if keypoints:
                ann.update(keypoints=[0] * (3 * NUM_KEYPOINTS), num_keypoints=0)
        else:
            ann.update(segmentation=polys[i], area=area_l[i], bbox=tight_l[i], iscrowd=0)
            if keypoints:
                ann.update(keypoints=kps[i].tolist(), num_keypoints=int(nkp[i]))
        annotations.append(ann)
    return {
        "info": {"description": f"brandor synthetic dataset, seed {seed}", "version": "1.0", "year": 2026},
        "licenses": [{"id": 1, "name": "synthetic", "url": ""}],
        "images": images,
        "annotations": annotations,
        "categories": categories,
    }


def _scores(rng: np.random.Generator, a: float, b: float, n: int) -> np.ndarray:
    s = rng.beta(a, b, n)
    # About a third of the scores are rounded to three decimals: tied scores
    # within and across images are common in real result files.
    rounded = rng.random(n) < 0.35
    return np.where(rounded, np.round(s, 3), s)


def make_results(dataset: dict[str, Any], dets_per_image: int = 100, seed: int = 0,
                 kind: str = "bbox") -> list[dict[str, Any]]:
    """Detection results for `dataset`: about `dets_per_image` per image.

    True positives are jittered copies of most ground truths (sometimes with
    the wrong category), some duplicated (a few exactly, with the same score),
    some detections fall on crowds, and false positives fill each image up to
    `dets_per_image`. One category never receives a detection; about 2% of the
    images receive none. `kind` is "bbox", "segm" (compressed RLE
    segmentation, no bbox) or "keypoints".
    """
    if kind not in ("bbox", "segm", "keypoints"):
        raise ValueError(f"unknown kind {kind!r}")
    rng = np.random.default_rng(seed)
    images = dataset["images"]
    anns = dataset["annotations"]
    cat_ids = np.array([c["id"] for c in dataset["categories"]], dtype=np.int64)
    img_index = {img["id"]: i for i, img in enumerate(images)}
    n_img = len(images)
    img_w = np.array([img["width"] for img in images], dtype=np.float64)
    img_h = np.array([img["height"] for img in images], dtype=np.float64)
    g_img = np.array([img_index[a["image_id"]] for a in anns], dtype=np.int64)
    g_cat = np.array([a["category_id"] for a in anns], dtype=np.int64)
    g_box = np.array([a["bbox"] for a in anns], dtype=np.float64).reshape(-1, 4)
    g_crowd = np.array([a.get("iscrowd", 0) for a in anns], dtype=bool)

    # True positives and duplicates.
    src = np.flatnonzero(~g_crowd & (rng.random(len(anns)) < 0.85))
    dup = src[rng.random(len(src)) < 0.15]
    exact = src[rng.random(len(src)) < 0.03]
    on_crowd = np.flatnonzero(g_crowd & (rng.random(len(anns)) < 0.6))
    on_crowd = np.repeat(on_crowd, rng.integers(1, 4, len(on_crowd)))
    base = np.concatenate([src, dup, on_crowd])
    noise = rng.normal(0.0, 1.0, (len(base), 4)) * np.array([0.07, 0.07, 0.1, 0.1])
    noise[len(src):] *= 2.0
    b = g_box[base]
    tp_box = np.stack([b[:, 0] + noise[:, 0] * b[:, 2], b[:, 1] + noise[:, 1] * b[:, 3],
                       b[:, 2] * np.exp(noise[:, 2]), b[:, 3] * np.exp(noise[:, 3])], axis=1)
    tp_score = _scores(rng, 5.0, 2.0, len(base))
    tp_score[len(src):len(src) + len(dup)] *= rng.uniform(0.3, 1.0, len(dup))
    tp_cat = g_cat[base].copy()
    if len(cat_ids):
        wrong = rng.random(len(base)) < 0.05
        tp_cat[wrong] = rng.choice(cat_ids, int(wrong.sum()))
    # Exact duplicates: the same box and score as their true positive.
    pos = np.searchsorted(src, exact)
    det_src = np.concatenate([base, exact])
    det_img = g_img[det_src]
    det_box = np.concatenate([tp_box, tp_box[pos]])
    det_score = np.concatenate([tp_score, tp_score[pos]])
    det_cat = np.concatenate([tp_cat, tp_cat[pos]])
    det_gt = det_src.copy()

    # False positives fill every image up to dets_per_image.
    have = np.bincount(det_img, minlength=n_img)
    n_fp = np.maximum(dets_per_image - have, 0)
    fp_img = np.repeat(np.arange(n_img), n_fp)
    fp_box = _boxes(rng, len(fp_img), img_w[fp_img], img_h[fp_img], 3.0, 400.0)
    fp_score = _scores(rng, 1.0, 6.0, len(fp_img))
    fp_cat = rng.choice(cat_ids, len(fp_img)) if len(cat_ids) else np.zeros(len(fp_img), np.int64)
    det_img = np.concatenate([det_img, fp_img])
    det_box = np.concatenate([det_box, fp_box])
    det_score = np.concatenate([det_score, fp_score])
    det_cat = np.concatenate([det_cat, fp_cat])
    det_gt = np.concatenate([det_gt, np.full(len(fp_img), -1)])

    # One category never detected, some images without any detection, and at
    # most dets_per_image per image (the best-scoring ones, as detectors cap).
    keep = np.ones(len(det_img), dtype=bool)
    if len(cat_ids) >= 3:
        keep &= det_cat != cat_ids[rng.integers(len(cat_ids))]
    keep &= ~(rng.random(n_img) < 0.02)[det_img]
    order = np.lexsort((-det_score, det_img))
    order = order[keep[order]]
    rank = np.arange(len(order)) - np.searchsorted(det_img[order], det_img[order])
    order = order[rank < dets_per_image]
    # Within an image, list the detections in random order.
    order = order[np.lexsort((rng.random(len(order)), det_img[order]))]

    img_ids = [images[i]["id"] for i in det_img[order].tolist()]
    cats = det_cat[order].tolist()
    scores = det_score[order].tolist()
    boxes = det_box[order]
    if kind == "bbox":
        return [{"image_id": i, "category_id": c, "bbox": bb, "score": s}
                for i, c, bb, s in zip(img_ids, cats, np.round(boxes, 2).tolist(), scores)]
    if kind == "keypoints":
        kps = _result_keypoints(rng, anns, det_gt[order], boxes)
        return [{"image_id": i, "category_id": c, "keypoints": kp, "score": s}
                for i, c, kp, s in zip(img_ids, cats, kps, scores)]
    return [{"image_id": i, "category_id": c, "segmentation": seg, "score": s}
            for i, c, seg, s in zip(img_ids, cats, _result_masks(rng, images, det_img[order], boxes), scores)]


def add_result_boxes(results: list[dict[str, Any]]) -> None:
    """Give mask and keypoint results the box a detector writes beside them
    (the mask's tight box, the keypoints' extent), rounded to 2 decimals and
    placed before the score."""
    from brandor import mask

    masks = [r["segmentation"] for r in results if "segmentation" in r]
    boxes = iter(np.round(mask.toBbox(masks), 2).tolist()) if masks else iter(())
    for r in results:
        if "segmentation" in r:
            box = next(boxes)
        else:
            k = np.asarray(r["keypoints"], dtype=np.float64)
            x, y = k[0::3], k[1::3]
            box = np.round([x.min(), y.min(), x.max() - x.min(), y.max() - y.min()], 2).tolist()
        score = r.pop("score")
        r["bbox"] = box
        r["score"] = score


def _result_keypoints(rng: np.random.Generator, anns: list[dict[str, Any]], gt: np.ndarray,
                      boxes: np.ndarray) -> list[list[float]]:
    """Keypoints near those of the detection's ground truth, or random inside its box."""
    n = len(gt)
    u = rng.uniform(0.0, 1.0, (n, NUM_KEYPOINTS))
    v = rng.uniform(0.0, 1.0, (n, NUM_KEYPOINTS))
    xs = boxes[:, 0:1] + u * boxes[:, 2:3]
    ys = boxes[:, 1:2] + v * boxes[:, 3:4]
    for row in np.flatnonzero(gt >= 0).tolist():
        kp = anns[int(gt[row])].get("keypoints")
        if not kp:
            continue
        g = np.asarray(kp, dtype=np.float64).reshape(NUM_KEYPOINTS, 3)
        scale = np.sqrt(max(boxes[row, 2] * boxes[row, 3], 1.0))
        jitter = rng.normal(0.0, 0.04 * scale, (2, NUM_KEYPOINTS))
        seen = g[:, 2] > 0
        xs[row, seen] = g[seen, 0] + jitter[0, seen]
        ys[row, seen] = g[seen, 1] + jitter[1, seen]
    conf = np.ones((n, NUM_KEYPOINTS))
    out = np.round(np.stack([xs, ys, conf], axis=2).reshape(n, 3 * NUM_KEYPOINTS), 2)
    return out.tolist()


def _result_masks(rng: np.random.Generator, images: list[dict[str, Any]], det_img: np.ndarray,
                  boxes: np.ndarray) -> list[dict[str, Any]]:
    """Compressed RLEs of polygons drawn inside each detection box."""
    from pycocotools import mask as mask_utils  # test/bench dependency, only needed here

    polys, _, _ = _polygons(rng, boxes)
    out = []
    for i, poly in zip(det_img.tolist(), polys):
        h, w = images[i]["height"], images[i]["width"]
        rle = mask_utils.merge(mask_utils.frPyObjects(poly, h, w))
        out.append({"size": [h, w], "counts": rle["counts"].decode("ascii")})
    return out


def _lvis_polygon(rng: np.random.Generator, box: list[float]) -> list[list[float]]:
    x, y, w, h = box
    n = int(rng.integers(3, 8))
    ang = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(0.5, 1.0, n)
    pts = np.stack([x + w / 2 + np.cos(ang) * r * w / 2, y + h / 2 + np.sin(ang) * r * h / 2], 1)
    return [[float(round(v, 2)) for v in pts.ravel()]]


def make_lvis_case(seed: int, n_images: int = 12, n_cats: int = 9, kind: str = "bbox", crowded: bool = False,
                   dets_per_image: int = 10) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """An LVIS-style dataset and results: negative and not-exhaustive
    categories per image, frequency groups, images with nothing verified,
    categories only in the ground truth or only in the results, tied scores,
    zero-area boxes, ground truth marked as crowd, and with `crowded` more than
    300 detections per image."""
    rng = np.random.default_rng(seed)
    freqs = ["r", "c", "f"]
    cats = [{"id": c, "name": f"cat{c}", "frequency": freqs[int(rng.integers(0, 3))], "synset": f"s{c}"}
            for c in range(1, n_cats + 1)]
    images, anns, results = [], [], []
    aid = 0
    for img in range(1, n_images + 1):
        h, w = int(rng.integers(40, 320)), int(rng.integers(40, 320))
        present: set[int] = set()
        boxes = []
        if rng.random() > 0.15:
            for _ in range(int(rng.integers(0, 8))):
                c = int(rng.integers(1, n_cats))  # the last category never has ground truth
                bw, bh = rng.uniform(2, w / 2), rng.uniform(2, h / 2)
                if rng.random() < 0.04:
                    bw = 0.0
                box = [float(round(rng.uniform(0, w - bw), 2)), float(round(rng.uniform(0, h - bh), 2)),
                       float(round(bw, 2)), float(round(bh, 2))]
                aid += 1
                anns.append({"id": aid, "image_id": img, "category_id": c, "bbox": box,
                             "area": float(round(box[2] * box[3], 2)), "segmentation": _lvis_polygon(rng, box)})
                if rng.random() < 0.05:
                    anns[-1]["iscrowd"] = 1  # federated evaluation has no crowds
                present.add(c)
                boxes.append((c, box))
        absent = [c for c in range(1, n_cats + 1) if c not in present]
        neg = sorted(int(c) for c in rng.choice(absent, size=min(len(absent), int(rng.integers(0, 9))),
                                                 replace=False))
        not_exhaustive = [c for c in sorted(present) if rng.random() < 0.3]
        images.append({"id": img, "height": h, "width": w, "neg_category_ids": neg,
                       "not_exhaustive_category_ids": not_exhaustive})
        n_dets = int(rng.integers(0, 2 * dets_per_image)) + (int(rng.integers(290, 340)) if crowded and img % 3 == 0 else 0)
        for _ in range(n_dets):
            if boxes and rng.random() < 0.5:
                c, (x, y, bw, bh) = boxes[int(rng.integers(0, len(boxes)))]
                box = [x + rng.normal(0, 2), y + rng.normal(0, 2), max(0.5, bw + rng.normal(0, 2)),
                       max(0.5, bh + rng.normal(0, 2))]
            else:
                c = int(rng.integers(1, n_cats + 1))
                bw, bh = rng.uniform(1, w / 2), rng.uniform(1, h / 2)
                box = [rng.uniform(0, w - bw), rng.uniform(0, h - bh), bw, bh]
            if rng.random() < 0.03:
                box[3] = 0.0
            box = [float(round(v, 2)) for v in box]
            score = float(round(rng.random(), 2 if rng.random() < 0.5 else 6))
            det: dict[str, Any] = {"image_id": img, "category_id": c, "score": score}
            if kind == "bbox":
                det["bbox"] = box
            else:
                from brandor import mask

                det["segmentation"] = mask.merge(mask.frPyObjects(_lvis_polygon(rng, box), h, w))
                det["segmentation"]["counts"] = det["segmentation"]["counts"].decode()
            results.append(det)
    return {"images": images, "annotations": anns, "categories": cats}, results
