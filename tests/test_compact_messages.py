"""Every message of the compact loaders, with its position, and files cut short
at every byte."""

from __future__ import annotations

import json

import pytest

from brandor import _tarnel as T

R = '"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]'


def load(tmp_path, text: str, results: bool):
    path = tmp_path / "m.json"
    path.write_bytes(text.encode())
    return T.load_compact_bbox(str(path), results)


CASES = [
    (True, '{"a": 1}', 'invalid type: map, expected bbox annotations at line 1 column 0'),
    (True, '[1]', 'invalid type: integer `1`, expected struct Record at line 1 column 2'),
    (True, '[{"image_id": 1.0}]', 'invalid type: floating point `1.0`, expected i64 at line 1 column 17'),
    (True, '[{"image_id": 9223372036854775808}]', 'invalid value: integer `9223372036854775808`, expected i64 at line 1 column 33'),
    (True, '[{"image_id": "1"}]', 'invalid type: string "1", expected i64 at line 1 column 17'),
    (True, '[{"image_id": -0}]', 'invalid type: floating point `-0.0`, expected i64 at line 1 column 16'),
    (True, '[{"image_id": null}]', 'invalid type: null, expected i64 at line 1 column 18'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "bbox" : [1,2,3,4]}]', 'duplicate field `bbox` at line 1 column 64'),
    (True, '[{"category_id": 2, "bbox": [1,2,3,4]}]', 'missing field `image_id` at line 1 column 38'),
    (True, '[{"image_id": 1, "bbox": [1,2,3,4]}]', 'missing field `category_id` at line 1 column 35'),
    (True, '[{"image_id": 1, "category_id": 2}]', 'missing field `bbox` at line 1 column 34'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1,2,3]}]', 'invalid length 3, expected an array of length 4 at line 1 column 50'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1,2,3,4,5]}]', 'trailing characters at line 1 column 53'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1,2,3,4,]}]', 'trailing comma at line 1 column 53'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": {}}]', 'invalid type: map, expected an array of length 4 at line 1 column 43'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": ["a",2,3,4]}]', 'invalid type: string "a", expected a bbox coordinate with an exactly representable integer part at line 1 column 47'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [9007199254740993,2,3,4]}]', 'bbox integer exceeds exact float64 range at line 1 column 60'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1,-9007199254740993,3,4]}]', 'bbox integer exceeds exact float64 range at line 1 column 63'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "score": "x"}]', 'invalid type: string "x", expected f64 at line 1 column 69'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "iscrowd": 1.0}]', 'data did not match any variant of untagged enum Crowd at line 1 column 72'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "iscrowd": [1] }]', 'data did not match any variant of untagged enum Crowd at line 1 column 73'),
    (True, '[{"iscrowd": "1", "image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]}]', 'data did not match any variant of untagged enum Crowd at line 1 column 16'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "caption": null}]', 'caption results require caption loading at line 1 column 73'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]},\n {"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "caption": "a"}]', 'caption results require caption loading at line 2 column 72'),
    (True, '[[null, null, null, 1, 2]]', 'invalid length 5, expected struct Record with 11 elements at line 1 column 25'),
    (True, '[] x', 'trailing characters at line 1 column 4'),
    (True, '', 'EOF while parsing a value at line 1 column 0'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "id": 1.5}]', 'invalid type: floating point `1.5`, expected i64 at line 1 column 66'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]}, ]', 'trailing comma at line 1 column 59'),
    (True, '[{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]} {}]', 'expected `,` or `]` at line 1 column 58'),
    (False, '[]', 'invalid type: sequence, expected COCO dataset at line 1 column 0'),
    (False, '{}', 'missing annotations at line 1 column 2'),
    (False, '{"annotations": [], "annotations": []}', 'duplicate annotation arrays require ordinary JSON loading at line 1 column 33'),
    (False, '{"annotations": [{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]}]}', 'missing GT id at line 1 column 72'),
    (False, '{"annotations": [{"id": 7, "image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]}, {"id": 7, "image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4]}]}', 'duplicate GT ids require dictionary indexing at line 1 column 147'),
    (False, '{"annotations": {}}', 'invalid type: map, expected bbox annotations at line 1 column 16'),
    (False, '{"annotations": []} x', 'trailing characters at line 1 column 21'),
    (False, '', 'EOF while parsing a value at line 1 column 0'),
    (True, '[{' + R + ', "iscrowd": 18446744073709551615}]',
     "data did not match any variant of untagged enum Crowd at line 1 column 89"),
    (True, '[{' + R + ', "iscrowd": 1e400}]', "number out of range at line 1 column 73"),
]


@pytest.mark.parametrize("results, text, message", CASES)
def test_messages(tmp_path, results, text, message):
    with pytest.raises(ValueError) as info:
        load(tmp_path, text, results)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "text",
    [
        '[{' + R + ', "iscrowd": 2}, {' + R + ', "iscrowd": -1}, {' + R + ', "iscrowd": null}]',
        '[{' + R + ', "iscrowd": true, "id": null, "area": null, "score": null, "keypoints": null}]',
        '[{' + R + ', "unknown": {"bbox": [1], "caption": 1}, "unknown": [[[]]]}]',
        '[{"image_id": 1, "category_id": 2, "bbox": [9007199254740992, -9007199254740992, 9007199254740993.0, 1e300]}]',
        '[{"image_id": -9223372036854775808, "category_id": 9223372036854775807, "bbox": [0, 0, 0, 0]}]',
    ],
)
def test_accepted_results(tmp_path, text):
    _, handle = load(tmp_path, text, True)
    ref = json.loads(text)
    assert handle.annotation_count == len(ref)
    assert handle.array_rows().tolist() == [
        [float(a["image_id"]), *map(float, a["bbox"]), float(a.get("score") or 0.0), float(a["category_id"])]
        for a in ref
    ]


def test_positional_annotations(tmp_path):
    text = '[[{"counts": "0"}, null, 9, 1, 2, [1, 2, 3, 4], 5, 0.5, true, [1, 2, 1], 1]]'
    _, handle = load(tmp_path, text, True)
    assert handle.array_rows().tolist() == [[1, 1, 2, 3, 4, 0.5, 2]]
    assert handle.annotation_count == 1 and handle.column_bytes == 48 + 16
    with pytest.raises(ValueError, match="^caption results require caption loading at line 1 column 74$"):
        load(tmp_path, text.replace("null", '"a"'), True)
    _, handle = load(tmp_path, '{"annotations": ' + text.replace("null", '"a"') + '}', False)
    assert handle.column_bytes == 48 + 24 + 16


def test_caption_loads_in_dataset_mode(tmp_path):
    _, handle = load(tmp_path, '{"annotations": [{"id": 1, "caption": null, ' + R + '}]}', False)
    assert handle.annotations() == [{"id": 1, "caption": None, **json.loads("{" + R + "}")}]


SMALL_RESULTS = json.dumps([
    {"image_id": 1, "category_id": 2, "bbox": [1, 2.5, 3, 4], "score": 0.5, "segmentation": [[1, 2, 3, 4, 5, 6]]},
    {"image_id": 2, "category_id": 3, "bbox": [0, 0, 1e3, 2], "iscrowd": True, "note": "a\u00e9\"}"},
])
SMALL_DATASET = json.dumps({
    "info": {"year": 2024}, "images": [{"id": 1}],
    "annotations": [{"id": 3, "image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "area": 5, "iscrowd": 0}],
    "categories": [{"id": 2, "name": "x"}],
})


@pytest.mark.parametrize("text, results", [(SMALL_RESULTS, True), (SMALL_DATASET, False)])
def test_files_cut_short_at_every_byte(tmp_path, text, results):
    load(tmp_path, text, results)  # the whole file loads
    for end in range(len(text)):
        with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
            load(tmp_path, text[:end], results)


def test_snapshot_errors_surface_when_objects_are_built(tmp_path):
    # Skipped values are checked for syntax only; building them converts numbers.
    text = '[{' + R + ', "x": 1e400}]'
    _, handle = load(tmp_path, text, True)
    assert handle.annotation_count == 1
    with pytest.raises(ValueError) as info:
        handle.annotations()
    assert str(info.value) == "JSON snapshot: number out of range at line 1 column 67"
    with pytest.raises(ValueError) as info:
        handle.lvis_annotations([1], {2}, {1: {2}}, None)
    assert str(info.value) == "number out of range at line 1 column 67"
