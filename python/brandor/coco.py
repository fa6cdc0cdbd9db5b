"""`COCO`: a COCO dataset held as Python objects, with pycocotools' indexes and getters.

The class behaves as `pycocotools.coco.COCO` does (same attributes, same
return values and printed lines, same quirks of its filters), so that code
written against pycocotools runs unchanged. It can also be built from a
dataset dict directly. Files are parsed by the native JSON loader, which
gives the same Python objects as `json.load`.
"""

from __future__ import annotations

import contextlib
import copy
import gc
import itertools
import os
import time
from collections import defaultdict
from typing import Any, Iterable

import numpy as np

from . import _tarnel, mask


def _is_array_like(obj: Any) -> bool:
    # A str counts as array-like here, as in pycocotools: a name filter given
    # as one string then matches by substring.
    return hasattr(obj, "__iter__") and hasattr(obj, "__len__")


@contextlib.contextmanager
def _gc_paused() -> Any:
    """Pause the cyclic garbage collector while building many acyclic objects.

    Each container allocated counts towards a collection, and every collection
    walks the freshly loaded annotations again; the loops below create no cycles.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


class COCO:
    """A COCO dataset with indexes by annotation, image and category id.

    A dataset file is read into a compact native store: images, categories
    and every other top-level member become Python objects at once, but the
    annotations, `dataset["annotations"]`, `anns`, `imgToAnns` and
    `catToImgs` are built only when some code first reads one of them.
    `COCOeval` on an untouched object hands the store to the native engine,
    so no Python object is ever built per annotation. Results loaded with
    `loadRes` from a file or an N×7 array are held the same way.
    """

    # Members built on first read while the annotations are still in the store.
    _LAZY = frozenset({"dataset", "anns", "imgToAnns", "catToImgs"})

    def __init__(self, annotation_file: str | os.PathLike[str] | dict[str, Any] | None = None) -> None:
        self.imgs: dict[Any, dict[str, Any]] = {}
        self.cats: dict[Any, dict[str, Any]] = {}
        self._store: Any = None
        self._ids_from_positions = False  # a results store numbers its annotations from 1
        if annotation_file is None or isinstance(annotation_file, dict):
            self.dataset: dict[str, Any] = {} if annotation_file is None else annotation_file
            self.anns: dict[Any, dict[str, Any]] = {}
            self.imgToAnns: defaultdict[Any, list[dict[str, Any]]] = defaultdict(list)
            self.catToImgs: defaultdict[Any, list[Any]] = defaultdict(list)
            if annotation_file is not None:
                self.createIndex()
            return
        print("loading annotations into memory...")
        tic = time.time()
        path = os.fspath(annotation_file)
        loaded = _compact_or_none(path, False)
        if loaded is None:
            dataset = _tarnel.load_json(path)
            assert type(dataset) == dict, "annotation file format {} not supported".format(type(dataset))
            print("Done (t={:0.2f}s)".format(time.time() - tic))
            self.dataset = dataset
            self.createIndex()
            return
        members, store = loaded
        print("Done (t={:0.2f}s)".format(time.time() - tic))
        # The annotations stay in the store; the dict waits for them.
        self._defer(members, store, store.annotations)
        print("creating index...")
        self._index_images_and_categories(members)
        print("index created!")

    def _defer(self, members: dict[str, Any], store: Any, materialize: Any) -> None:
        """Holds `members` (a dataset dict without its annotations) and the
        store; `materialize()` gives the annotation list when first needed."""
        self._members = members
        self._store = store
        self._materialize_annotations = materialize
        for name in COCO._LAZY:
            self.__dict__.pop(name, None)

    def __getattr__(self, name: str) -> Any:
        # Reached only for members not built yet: build them from the store.
        if name in COCO._LAZY and self.__dict__.get("_store") is not None:
            self._materialize()
            return getattr(self, name)
        raise AttributeError("'{}' object has no attribute '{}'".format(type(self).__name__, name))

    def _materialize(self) -> None:
        members = self._members
        members["annotations"] = self._materialize_annotations()
        self._store = None
        self._materialize_annotations = None
        self.dataset = members
        self._index_annotations(members)

    def _untouched_store(self) -> Any:
        """The compact store, while no code has read or replaced the annotations."""
        store = self.__dict__.get("_store")
        return None if type(store) is list else store

    def _untouched_annotations(self) -> list[dict[str, Any]] | None:
        """Result dicts this object made itself (from a file or an array that
        no store took), while no code has read them or their indexes."""
        store = self.__dict__.get("_store")
        return store if type(store) is list else None

    def _store_keeps_file_ids(self) -> bool:
        """Whether the store's annotation ids are the file's own (a dataset),
        rather than positions from 1 (results)."""
        return not self._ids_from_positions

    def _member(self, key: str) -> Any:
        """A top-level dataset member other than the annotations, without
        building the annotations."""
        if self.__dict__.get("_store") is not None:
            return self._members[key]
        return self.dataset[key]

    def _has_member(self, key: str) -> bool:
        if self.__dict__.get("_store") is not None:
            return key in self._members
        return key in self.dataset

    def __getstate__(self) -> dict[str, Any]:
        # The store is not picklable: a pickled or deep-copied COCO carries
        # its annotations as Python objects.
        if self.__dict__.get("_store") is not None:
            self._materialize()
        state = dict(self.__dict__)
        for name in ("_members", "_materialize_annotations"):
            state.pop(name, None)
        return state

    def createIndex(self) -> None:
        print("creating index...")
        self._index_annotations(self.dataset)
        self._index_images_and_categories(self.dataset)
        print("index created!")

    def _index_annotations(self, dataset: dict[str, Any]) -> None:
        anns: dict[Any, dict[str, Any]] = {}
        img_to_anns: dict[Any, list[dict[str, Any]]] = {}
        cat_to_imgs: dict[Any, list[Any]] = {}
        if "annotations" in dataset:
            anns, img_to_anns, cat_to_imgs = _tarnel.index_annotations(dataset["annotations"],
                                                                      "categories" in dataset)
        self.anns = anns
        self.imgToAnns = defaultdict(list, img_to_anns)
        self.catToImgs = defaultdict(list, cat_to_imgs)

    def _index_images_and_categories(self, dataset: dict[str, Any]) -> None:
        self.imgs = {img["id"]: img for img in dataset["images"]} if "images" in dataset else {}
        self.cats = {cat["id"]: cat for cat in dataset["categories"]} if "categories" in dataset else {}

    def info(self) -> None:
        for key, value in self.dataset["info"].items():
            print("{}: {}".format(key, value))

    def getAnnIds(self, imgIds: Any = [], catIds: Any = [], areaRng: Any = [], iscrowd: Any = None) -> list[Any]:
        """Ids of the annotations that pass every given filter.

        An area range is open at both ends; `iscrowd` compares by equality.
        """
        imgIds = imgIds if _is_array_like(imgIds) else [imgIds]
        catIds = catIds if _is_array_like(catIds) else [catIds]
        if len(imgIds) == len(catIds) == len(areaRng) == 0:
            anns = self.dataset["annotations"]
        else:
            if len(imgIds) != 0:
                lists = [self.imgToAnns[i] for i in imgIds if i in self.imgToAnns]
                anns = list(itertools.chain.from_iterable(lists))
            else:
                anns = self.dataset["annotations"]
            if len(catIds) != 0:
                anns = [ann for ann in anns if ann["category_id"] in catIds]
            if len(areaRng) != 0:
                anns = [ann for ann in anns if ann["area"] > areaRng[0] and ann["area"] < areaRng[1]]
        if iscrowd is not None:
            return [ann["id"] for ann in anns if ann["iscrowd"] == iscrowd]
        return [ann["id"] for ann in anns]

    def getCatIds(self, catNms: Any = [], supNms: Any = [], catIds: Any = []) -> list[Any]:
        catNms = catNms if _is_array_like(catNms) else [catNms]
        supNms = supNms if _is_array_like(supNms) else [supNms]
        catIds = catIds if _is_array_like(catIds) else [catIds]
        cats = self._member("categories")
        if len(catNms) != 0:
            cats = [cat for cat in cats if cat["name"] in catNms]
        if len(supNms) != 0:
            cats = [cat for cat in cats if cat["supercategory"] in supNms]
        if len(catIds) != 0:
            cats = [cat for cat in cats if cat["id"] in catIds]
        return [cat["id"] for cat in cats]

    def getImgIds(self, imgIds: Any = [], catIds: Any = []) -> list[Any]:
        """Ids of the images among `imgIds` (all when empty) holding every category of `catIds`."""
        imgIds = imgIds if _is_array_like(imgIds) else [imgIds]
        catIds = catIds if _is_array_like(catIds) else [catIds]
        if len(imgIds) == len(catIds) == 0:
            return list(self.imgs.keys())
        ids = set(imgIds)
        for i, cat_id in enumerate(catIds):
            # catToImgs is a defaultdict: looking up an unknown category adds
            # an empty entry, as the reference does.
            if i == 0 and len(ids) == 0:
                ids = set(self.catToImgs[cat_id])
            else:
                ids &= set(self.catToImgs[cat_id])
        return list(ids)

    def loadAnns(self, ids: Any = []) -> list[dict[str, Any]] | None:
        return self._load(self.anns, ids)

    def loadCats(self, ids: Any = []) -> list[dict[str, Any]] | None:
        return self._load(self.cats, ids)

    def loadImgs(self, ids: Any = []) -> list[dict[str, Any]] | None:
        return self._load(self.imgs, ids)

    @staticmethod
    def _load(index: dict[Any, dict[str, Any]], ids: Any) -> list[dict[str, Any]] | None:
        # Only sequences and exact ints are understood; anything else (a NumPy
        # integer, for one) gives None, as in the reference.
        if _is_array_like(ids):
            return [index[i] for i in ids]
        if type(ids) == int:
            return [index[ids]]
        return None

    def loadRes(self, resFile: str | os.PathLike[str] | np.ndarray | list[dict[str, Any]]) -> "COCO":
        """A result set on this dataset's images, from a file, a list of dicts or an N×7 array.

        The result dicts are completed in place with the fields evaluation
        needs: `id` (1-based position), and by kind `area`, `iscrowd`, `bbox`
        or `segmentation`.
        """
        res = COCO()
        res.dataset["info"] = copy.deepcopy(self._member("info")) if self._has_member("info") else {}
        res.dataset["images"] = [img for img in self._member("images")]
        print("Loading and preparing results...")
        tic = time.time()
        store, source = self._results_store(resFile)
        if store is not None:
            # Box results held in a compact store; their dicts are built, as
            # the list path builds them, only when some code reads them.
            res.dataset["categories"] = copy.deepcopy(self._member("categories"))
            print("DONE (t={:0.2f}s)".format(time.time() - tic))
            res._defer_results(store, lambda: _box_results_from_store(store, source))
            return res
        anns = self._prepare_results(res, resFile)
        print("DONE (t={:0.2f}s)".format(time.time() - tic))
        if anns is not resFile:
            # Dicts made here from a file or an array: no other code holds
            # them, so the indexes (and `dataset["annotations"]`) can wait
            # for their first reader, and evaluation reads the list as it is.
            res._defer_results(anns, lambda: anns)
            return res
        res.dataset["annotations"] = anns
        res.createIndex()
        return res

    def _defer_results(self, store: Any, materialize: Any) -> None:
        """Holds results (a store, or dicts no other code has) numbered from 1,
        with the index lines the reference prints; only images and categories
        are indexed now."""
        self._defer(self.dataset, store, materialize)
        self._ids_from_positions = True
        print("creating index...")
        self._index_images_and_categories(self._members)
        print("index created!")

    def _results_store(self, resFile: Any) -> tuple[Any, tuple[str, Any] | None]:
        """A compact store of box results from a file or an N×7 float array,
        checked as the list path checks them, and the file with its size and
        time; no store when it refuses the input, which then takes the list
        path."""
        source = None
        if isinstance(resFile, (str, os.PathLike)):
            path = os.fspath(resFile)
            source = (path, _file_stamp(path))
            loaded = _compact_or_none(path, True)
            store = loaded[1] if loaded is not None else None
        elif type(resFile) == np.ndarray:
            _announce_array(resFile)
            store = None
            if resFile.ndim == 2 and resFile.dtype in (np.float32, np.float64):
                try:
                    store = _tarnel.load_compact_array(resFile)
                except (ValueError, TypeError, OverflowError):
                    store = None
        else:
            return None, None
        if store is None:
            return None, None
        assert store.valid_images(list(self.getImgIds())), "Results do not correspond to current coco set"
        if store.annotation_count == 0:
            raise IndexError("list index out of range")  # as the list path, on an empty list
        return store, source

    def _prepare_results(self, res: "COCO", resFile: Any) -> list[dict[str, Any]]:
        if isinstance(resFile, (str, os.PathLike)):
            anns = _tarnel.load_json(os.fspath(resFile))
        elif type(resFile) == np.ndarray:
            anns = _array_annotations(resFile)
        else:
            anns = resFile
        assert type(anns) == list, "results in not an array of objects"
        ann_img_ids = set(ann["image_id"] for ann in anns)
        assert ann_img_ids == (ann_img_ids & set(self.getImgIds())), "Results do not correspond to current coco set"
        first = anns[0]
        if "caption" in first:
            img_ids = set(img["id"] for img in res.dataset["images"]) & set(ann["image_id"] for ann in anns)
            res.dataset["images"] = [img for img in res.dataset["images"] if img["id"] in img_ids]
            for i, ann in enumerate(anns):
                ann["id"] = i + 1
        elif "bbox" in first and not first["bbox"] == []:
            res.dataset["categories"] = copy.deepcopy(self._member("categories"))
            with _gc_paused():
                _prepare_box_results(anns)
        elif "segmentation" in first:
            res.dataset["categories"] = copy.deepcopy(self._member("categories"))
            # Per result, in order: the mask's area, its box when the result
            # has none, id and iscrowd, each segmentation decoded once.
            _tarnel.prepare_mask_results(anns)
        elif "keypoints" in first:
            res.dataset["categories"] = copy.deepcopy(self._member("categories"))
            _tarnel.prepare_keypoint_results(anns)
        return anns

    def showAnns(self, anns: list[dict[str, Any]], draw_bbox: bool = False) -> Any:
        """Draw instance annotations on the current matplotlib axes, or print captions.

        matplotlib is needed (and imported) only to draw.
        """
        if len(anns) == 0:
            return 0
        if "segmentation" in anns[0] or "keypoints" in anns[0]:
            from .plot import show_instances

            show_instances(self, anns, draw_bbox)
        elif "caption" in anns[0]:
            for ann in anns:
                print(ann["caption"])
        else:
            raise Exception("datasetType not supported")
        return None

    def download(self, tarDir: str | os.PathLike[str] | None = None, imgIds: Any = []) -> Any:
        """Fetch the images (all, or those of `imgIds`) from their `coco_url` into `tarDir`.

        Files already there are kept.
        """
        import urllib.request  # here, not at module level: it takes a while to import

        if tarDir is None:
            print("Please specify target directory")
            return -1
        imgs: Any = self.imgs.values() if len(imgIds) == 0 else self.loadImgs(imgIds)
        n = len(imgs)
        if not os.path.exists(tarDir):
            os.makedirs(tarDir)
        for i, img in enumerate(imgs):
            tic = time.time()
            fname = os.path.join(tarDir, img["file_name"])
            if not os.path.exists(fname):
                urllib.request.urlretrieve(img["coco_url"], fname)
            print("downloaded {}/{} images (t={:0.1f}s)".format(i, n, time.time() - tic))
        return None

    def loadNumpyAnnotations(self, data: np.ndarray) -> list[dict[str, Any]]:
        """Result dicts from an N×7 array of [image_id, x, y, w, h, score, category_id] rows."""
        _announce_array(data)
        return _array_annotations(data)

    def annToRLE(self, ann: dict[str, Any]) -> dict[str, Any]:
        """The annotation's segmentation as one compressed RLE at its image's size."""
        img = self.imgs[ann["image_id"]]
        h, w = img["height"], img["width"]
        segm = ann["segmentation"]
        if type(segm) == list:
            return mask.merge(mask.frPyObjects(segm, h, w))
        rle: dict[str, Any] = mask.frPyObjects(segm, h, w) if type(segm["counts"]) == list else segm
        return rle

    def annToMask(self, ann: dict[str, Any]) -> np.ndarray:
        return mask.decode(self.annToRLE(ann))


def _compact_or_none(path: str, results: bool) -> tuple[dict[str, Any], Any] | None:
    """`load_compact_bbox(path, results)`, or None when the store refuses the
    file (another shape, ids it cannot hold, malformed JSON): the caller then
    reads it as ordinary JSON, which gives the ordinary result or error."""
    try:
        return _tarnel.load_compact_bbox(path, results)
    except (ValueError, OverflowError):
        return None


def _announce_array(data: np.ndarray) -> None:
    """The lines (and the check) the reference prints while converting an N×7 array."""
    print("Converting ndarray to lists...")
    assert type(data) == np.ndarray
    print(data.shape)
    assert data.shape[1] == 7
    n = data.shape[0]
    for i in range(0, n, 1000000):
        print("{}/{}".format(i, n))


def _array_annotations(data: np.ndarray) -> list[dict[str, Any]]:
    anns = []
    for i in range(data.shape[0]):
        row = data[i]
        anns.append({
            "image_id": int(row[0]),
            "bbox": [row[1], row[2], row[3], row[4]],
            "score": row[5],
            "category_id": int(row[6]),
        })
    return anns


def _file_stamp(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size, st.st_mtime_ns


def _box_results_from_store(store: Any, source: tuple[str, Any] | None = None) -> list[dict[str, Any]]:
    """The completed result dicts of a store, as the list path gives them.

    A results file that is still as it was when loaded is read again, so that
    every dict is exactly the list path's; otherwise they come from the
    store's snapshot of the file."""
    with _gc_paused():  # the box polygons are built by a Python loop
        return _box_results(store, source)


def _box_results(store: Any, source: tuple[str, Any] | None) -> list[dict[str, Any]]:
    if source is not None and source[1] is not None and _file_stamp(source[0]) == source[1]:
        anns: list[dict[str, Any]] = _tarnel.load_json(source[0])
        _prepare_box_results(anns)
        return anns
    if store.from_array:
        rows = store.array_rows()
        # The values were held as float64; a float32 array's scalars are
        # float32 again, exactly, as the array itself gives them.
        anns = _array_annotations(rows.astype(np.float32) if store.float32 else rows)
        _prepare_box_results(anns)
        return anns
    anns = store.annotations()  # area, id and iscrowd filled, in that order
    for i, ann in enumerate(anns):
        if "segmentation" not in ann:
            _insert_box_polygon(ann, i + 1)
    return anns


def _insert_box_polygon(ann: dict[str, Any], ann_id: int) -> None:
    """Adds the box polygon where the list path puts it: before the filled
    fields that the result did not have. Those are taken to be the trailing
    ones among area, id and iscrowd holding the filled values; a result that
    had such a field as its last member already gets the polygon before it."""
    bb = ann["bbox"]
    filled = {"area": bb[2] * bb[3], "id": ann_id, "iscrowd": 0}
    keys = list(ann)
    cut = len(keys)
    order = ["area", "id", "iscrowd"]
    while cut > 0 and keys[cut - 1] in order and ann[keys[cut - 1]] == filled[keys[cut - 1]] \
            and all(order.index(keys[cut - 1]) < order.index(k) for k in keys[cut:]):
        cut -= 1
    tail = {k: ann.pop(k) for k in keys[cut:]}
    x1, x2, y1, y2 = bb[0], bb[0] + bb[2], bb[1], bb[1] + bb[3]
    ann["segmentation"] = [[x1, y1, x1, y2, x2, y2, x2, y1]]
    ann.update(tail)


def _prepare_box_results(anns: Iterable[dict[str, Any]]) -> None:
    """Complete box results as the reference does: a box polygon, area w*h, id, iscrowd 0."""
    for i, ann in enumerate(anns):
        bb = ann["bbox"]
        x1, x2, y1, y2 = bb[0], bb[0] + bb[2], bb[1], bb[1] + bb[3]
        if "segmentation" not in ann:
            ann["segmentation"] = [[x1, y1, x1, y2, x2, y2, x2, y1]]
        ann["area"] = bb[2] * bb[3]
        ann["id"] = i + 1
        ann["iscrowd"] = 0
