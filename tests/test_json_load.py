"""load_json, parse_json_only and read_file_only against CPython's json module.

Random documents are written as text (so that number spellings, escapes and
whitespace vary freely) and loaded by both; the results must be equal with
identical types, bit-identical floats and the same key order.
"""

from __future__ import annotations

import errno
import gc
import json
import os
import random
import struct
import sys
import tracemalloc
from pathlib import Path

import pytest

from brandor import _tarnel

# ---------------------------------------------------------------------------
# Random documents


KEY_POOL = ["id", "bbox", "area", "iscrowd", "a", "b", "segmentation", "clé", "😀", "k\"q", ""]
WS = [" ", "\n", "\t", "\r", "  ", "\n  "]
CHARS = (
    list("abcxyz0129 _-.,:{}[]")
    + ["é", "ß", "中", "文", "\u2028", "\u00a0", "😀", "𝄞", "\U0010ffff", "\x7f"]
    + ['"', "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x00", "\x1f"]
)
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def encode_char(rng: random.Random, c: str) -> str:
    """One character as JSON string content: raw, short escape or \\u escape(s)."""
    if c in SHORT_ESCAPES and (c in '"\\' or ord(c) < 0x20 or rng.random() < 0.5):
        return SHORT_ESCAPES[c] if c != "/" or rng.random() < 0.5 else "/"
    cp = ord(c)
    if cp < 0x20 or rng.random() < 0.3:
        if cp >= 0x10000:
            v = cp - 0x10000
            units = [0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)]
        else:
            units = [cp]
        return "".join(("\\u%04x" if rng.random() < 0.5 else "\\u%04X") % u for u in units)
    return c


def random_string(rng: random.Random) -> str:
    n = rng.choice([0, 1, 3, 8, 30])
    return '"' + "".join(encode_char(rng, rng.choice(CHARS)) for _ in range(n)) + '"'


def random_number(rng: random.Random) -> str:
    kind = rng.randrange(8)
    if kind == 0:
        return str(rng.randint(-1000, 1000))
    if kind == 1:  # the 64-bit edges
        return str(rng.choice([2**64 - 1, 2**63, 2**63 - 1, -(2**63), -(2**63) + 1, 2**32, -(2**31), 0]))
    if kind == 2:
        return str(rng.randint(-(2**63), 2**64 - 1))
    if kind == 3:  # long mantissas, wide exponents (never beyond the largest double)
        ip = str(rng.randint(0, 10**rng.randint(0, 25)))
        frac = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 40)))
        exp = rng.randint(-360, 300 - len(ip))
        sign = rng.choice(["", "-"])
        return f"{sign}{ip}.{frac}{rng.choice('eE')}{rng.choice(['', '+'] if exp >= 0 else [''])}{exp}"
    if kind == 4:  # subnormals, extremes, zeros
        return rng.choice(
            ["4.9e-324", "5e-324", "2.4e-324", "2.5e-324", "2.2250738585072014e-308", "2.225073858507201e-308",
             "1.7976931348623157e308", "-0.0", "0.0", "0e0", "-0e-5", "1e-400", "-1e-400", "0.000001",
             "1E5", "1e+5", "1.5E-5", "9007199254740993.0", "123456789012345678901234567890.5"]
        )
    if kind == 5:  # halfway cases of doubles written with many digits
        mantissa, _, exponent = repr(rng.uniform(-1e10, 1e10) * 10.0 ** rng.randint(-30, 30)).partition("e")
        digits = mantissa[:-1] + "5" + "0" * rng.randint(0, 30) + rng.choice(["", "1"])
        return digits + ("e" + exponent if exponent else "")
    if kind == 6:
        return repr(rng.uniform(-1e6, 1e6))
    return f"{rng.randint(1, 9)}e{rng.randint(-330, 307)}"


def random_value(rng: random.Random, depth: int) -> str:
    r = rng.random()
    if depth > 0 and r < 0.35:
        n = rng.choice([0, 1, 2, 5, 20])
        ws = rng.choice(WS) if rng.random() < 0.3 else ""
        if rng.random() < 0.5:
            items = [random_value(rng, depth - 1) for _ in range(n)]
            return "[" + ws + ("," + ws).join(items) + ws + "]"
        members = [
            (random_string(rng) if rng.random() < 0.2 else json.dumps(rng.choice(KEY_POOL)))
            + ws + ":" + ws + random_value(rng, depth - 1)
            for _ in range(n)
        ]
        return "{" + ws + ("," + ws).join(members) + ws + "}"
    if r < 0.6:
        return random_number(rng)
    if r < 0.85:
        return random_string(rng)
    return rng.choice(["true", "false", "null"])


def same(a, b, path="$") -> None:
    """Equal values of identical types; floats bit-identical; dict order kept."""
    assert type(a) is type(b), f"{path}: {type(a).__name__} vs {type(b).__name__}"
    if isinstance(a, float):
        assert struct.pack("<d", a) == struct.pack("<d", b), f"{path}: {a!r} vs {b!r}"
    elif isinstance(a, dict):
        assert list(a) == list(b), f"{path}: keys {list(a)} vs {list(b)}"
        for k in a:
            same(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, list):
        assert len(a) == len(b), f"{path}: lengths {len(a)} vs {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    else:
        assert a == b, f"{path}: {a!r} vs {b!r}"


def write(tmp_path: Path, data: str | bytes, name: str = "doc.json") -> str:
    p = tmp_path / name
    p.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return str(p)


@pytest.mark.parametrize("seed", range(40))
def test_random_documents_load_like_json(tmp_path, seed):
    rng = random.Random(seed)
    text = rng.choice(WS + [""]) + random_value(rng, rng.randint(1, 12)) + rng.choice(WS + [""])
    path = write(tmp_path, text)
    try:
        same(_tarnel.load_json(path), json.loads(text))
        assert _tarnel.parse_json_only(path) == _tarnel.read_file_only(path) == len(text.encode())
    except AssertionError as e:
        raise AssertionError(f"seed {seed}: {e}") from None


@pytest.mark.slow
def test_many_random_documents_and_floats(tmp_path):
    for seed in range(1000, 1600):
        test_random_documents_load_like_json(tmp_path, seed)
    rng = random.Random(99)
    numbers = [random_number(rng) for _ in range(200_000)]
    path = write(tmp_path, "[" + ",".join(numbers) + "]")
    same(_tarnel.load_json(path), [json.loads(n) if n.lstrip("-").isdigit() else float(n) for n in numbers])


def test_wide_and_deep_document(tmp_path):
    rng = random.Random(1234)
    doc = {
        "images": [{"id": i, "file_name": f"{i:012d}.jpg", "height": 480, "width": 640} for i in range(2000)],
        "annotations": [
            {"id": i, "bbox": [rng.random() * 600, rng.random() * 400, rng.random() * 50, 1e-300 * rng.random()],
             "segmentation": [[rng.uniform(0, 640) for _ in range(12)]], "iscrowd": 0, "nested": [[[[[[i]]]]]]}
            for i in range(3000)
        ],
        "deep": json.loads("[" * 126 + "1" + "]" * 126),
    }
    text = json.dumps(doc, ensure_ascii=False)
    same(_tarnel.load_json(write(tmp_path, text)), doc)


# ---------------------------------------------------------------------------
# The mapping's own choices, where json.load differs


@pytest.mark.parametrize(
    "text, expected",
    [
        ("18446744073709551615", 18446744073709551615),
        ("18446744073709551616", 18446744073709551616.0),
        ("-9223372036854775808", -9223372036854775808),
        ("-9223372036854775809", -9223372036854775808.0),
        ("-18446744073709551617", -1.8446744073709552e19),
        ("1" + "0" * 400 + ".0e-300", 1e100),
        ("-0", -0.0),
        ("[-0, 0, -0.0]", [-0.0, 0, -0.0]),
        ("0.1", 0.1),
        ("1e-400", 0.0),
        ('{"a": 1, "b": 3, "a": 2}', {"a": 2, "b": 3}),
    ],
)
def test_number_and_key_mapping(tmp_path, text, expected):
    same(_tarnel.load_json(write(tmp_path, text)), expected)


def test_keys_are_shared_within_a_load(tmp_path):
    keys = [f"key{i}" for i in range(500)]  # beyond the cache's first size
    text = json.dumps([dict.fromkeys(keys, 1), dict.fromkeys(keys, 2)])[:-1] + ', {"k\\u00e9y": 3, "k\u00e9y": 4}]'
    a, b, c = _tarnel.load_json(write(tmp_path, text))
    assert all(x is y for x, y in zip(a, b))
    assert list(c) == ["k\u00e9y"]
    # Equal string values are not shared, and no references are held back.
    d = _tarnel.load_json(write(tmp_path, '[{"key_x": "some value"}, {"key_x": "some value"}]'))
    e = json.loads('[{"key_x": "some value"}, {"key_x": "some value"}]')
    assert d[0]["key_x"] is not d[1]["key_x"]
    (ours,), (theirs,) = list(d[0]), list(e[0])
    assert sys.getrefcount(ours) == sys.getrefcount(theirs)


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(tmp_path, enabled):
    good = write(tmp_path, '[{"a": [1]}]', "good.json")
    bad = write(tmp_path, '[{"a": [1]}', "bad.json")
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        assert gc.is_tracked(_tarnel.load_json(good))
        with pytest.raises(ValueError):
            _tarnel.load_json(bad)
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


# ---------------------------------------------------------------------------
# Errors

CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"

# (document, error and position); the last column says whether
# parse_json_only, which converts and decodes nothing, rejects it too.
ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0", True),
    ("  \n  ", "EOF while parsing a value at line 2 column 2", True),
    ("[1, 2", "EOF while parsing a list at line 1 column 5", True),
    ('{"a": 1', "EOF while parsing an object at line 1 column 7", True),
    ('{"a"', "EOF while parsing an object at line 1 column 4", True),
    ('"abc', "EOF while parsing a string at line 1 column 4", True),
    ('"\\u12', "EOF while parsing a string at line 1 column 5", True),
    ("[1,", "EOF while parsing a value at line 1 column 3", True),
    ("[-", "EOF while parsing a value at line 1 column 2", True),
    ("1.", "EOF while parsing a value at line 1 column 2", True),
    ("1e+", "EOF while parsing a value at line 1 column 3", True),
    ("nul", "EOF while parsing a value at line 1 column 3", True),
    ('{"a" 1}', "expected `:` at line 1 column 6", True),
    ("[1 2]", "expected `,` or `]` at line 1 column 4", True),
    ('{"a": 1 "b": 2}', "expected `,` or `}` at line 1 column 9", True),
    ("nulL", "expected ident at line 1 column 4", True),
    ("[tru]", "expected ident at line 1 column 5", True),
    ("NaN", "expected value at line 1 column 1", True),
    ("[Infinity]", "expected value at line 1 column 2", True),
    ("[1, 'a']", "expected value at line 1 column 5", True),
    ('{\n  "a": [1,\n   x]\n}', "expected value at line 3 column 4", True),
    ('["\u00e9", x]', "expected value at line 1 column 8", True),  # columns count bytes
    ('"\\x"', "invalid escape at line 1 column 3", True),
    ('"\\u12G4"', "invalid escape at line 1 column 7", True),
    ("01", "invalid number at line 1 column 2", True),
    ("[-x]", "invalid number at line 1 column 3", True),
    ("1.e5", "invalid number at line 1 column 3", True),
    ("1ex", "invalid number at line 1 column 3", True),
    ('"a\tb"', CONTROL + " at line 1 column 3", True),
    ('{1: 2}', "key must be a string at line 1 column 2", True),
    ("[1,]", "trailing comma at line 1 column 4", True),
    ('{"a": 1,}', "trailing comma at line 1 column 9", True),
    ("1e400", "number out of range at line 1 column 5", False),
    ("[-1e400]", "number out of range at line 1 column 7", False),
    ("1" * 400, "number out of range at line 1 column 400", False),
    (b'["\xff"]', "invalid unicode code point at line 1 column 4", False),
    (b'"\xed\xa0\x80"', "invalid unicode code point at line 1 column 5", False),  # encoded surrogate
    (b'"\xc0\xaf"', "invalid unicode code point at line 1 column 4", False),  # overlong
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8", False),
    ('"\\ud800\\n"', "unexpected end of hex escape at line 1 column 9", False),
    ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7", False),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13", False),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128", True),
    ("[" * 200, "recursion limit exceeded at line 1 column 128", True),
    ('{"a":' * 130, "recursion limit exceeded at line 1 column 636", True),
]

TRAILING = [
    ("[1] [2]", "trailing characters at line 1 column 5"),
    ("1 2\n", "trailing characters at line 1 column 3"),
    ("{}\n\n x", "trailing characters at line 3 column 2"),
    ('"a"x', "trailing characters at line 1 column 4"),
]


@pytest.mark.parametrize("text, message, both", ERRORS)
def test_load_json_errors(tmp_path, text, message, both):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as info:
        _tarnel.load_json(path)
    assert str(info.value) == "JSON snapshot: " + message
    if both:
        with pytest.raises(ValueError) as info:
            _tarnel.parse_json_only(path)
        assert str(info.value) == f"{path}: {message}"
    else:
        assert _tarnel.parse_json_only(path) == len(Path(path).read_bytes())


@pytest.mark.parametrize("text, message", TRAILING)
def test_trailing_data(tmp_path, text, message):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as info:
        _tarnel.load_json(path)
    assert str(info.value) == "JSON snapshot: trailing data: " + message
    with pytest.raises(ValueError) as info:
        _tarnel.parse_json_only(path)
    assert str(info.value) == f"{path}: trailing data: {message}"


def test_nesting_limit_accepts_127_levels(tmp_path):
    text = '{"a":' * 63 + "[" * 64 + "0" + "]" * 64 + "}" * 63
    expected = json.loads(text)
    path = write(tmp_path, text)
    same(_tarnel.load_json(path), expected)
    assert _tarnel.parse_json_only(path) == len(text)


# ---------------------------------------------------------------------------
# Files


@pytest.mark.parametrize("fn", [_tarnel.load_json, _tarnel.parse_json_only, _tarnel.read_file_only])
def test_unreadable_files_raise_os_errors(tmp_path, fn):
    missing = str(tmp_path / "missing.json")
    with pytest.raises(FileNotFoundError) as info:
        fn(missing)
    assert info.value.errno == errno.ENOENT
    assert info.value.strerror == os.strerror(errno.ENOENT)
    assert info.value.filename == missing
    with pytest.raises(IsADirectoryError) as info:
        fn(str(tmp_path))
    assert info.value.strerror == os.strerror(errno.EISDIR)
    with pytest.raises(TypeError) as info:
        fn(Path(missing))
    assert info.value.__notes__ == ["while processing 'path'"]


@pytest.mark.skipif(not os.path.exists("/proc/self/cmdline"), reason="needs procfs")
def test_files_that_report_no_size_are_read_whole():
    # Pseudo-files report a size of 0; the reader keeps going until the end.
    assert os.stat("/proc/self/cmdline").st_size == 0
    with open("/proc/self/cmdline", "rb") as f:
        assert _tarnel.read_file_only("/proc/self/cmdline") == len(f.read()) > 0


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not stop root")
def test_permission_denied(tmp_path):
    path = write(tmp_path, "[]")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        _tarnel.load_json(path)


def test_nothing_leaks(tmp_path):
    """Repeated loads, failing at the very end or succeeding, leave no memory behind."""
    body = json.dumps([{"k%d" % (i % 50): [i, "v" * (i % 7), 1.5]} for i in range(2000)])
    good = write(tmp_path, body, "good.json")
    bad_paths = [
        write(tmp_path, body[:-1] + ", x]", "bad.json"),
        write(tmp_path, body + " 1", "trailing.json"),
        write(tmp_path, body[:-1] + ', "\\ud800"]', "escape.json"),
        str(tmp_path / "missing.json"),
    ]

    def cycle():
        _tarnel.load_json(good)
        for p in bad_paths:
            for fn in (_tarnel.load_json, _tarnel.parse_json_only):
                try:
                    fn(p)
                except (ValueError, OSError):
                    pass

    cycle()
    tracemalloc.start()
    try:
        cycle()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            cycle()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes retained over 20 cycles"


DOCS = {
    "load_json": "Parse a JSON file into Python objects.\n\nEquivalent to `json.load(open(path))` for the subset "
    "JSON actually\ncontains; duplicate object keys keep the last value, as CPython does.",
    "parse_json_only": "Read and parse the file, building nothing. Benchmarking only.\n\nSplits the loader's cost in "
    "two. Everything this does \u2014 the read, the\ntokenizer, the number and string parsing \u2014 `load_json` "
    "also does; what it\nskips is allocating the `PyDict`/`PyList`/`PyFloat` objects and hashing the\nkeys. The "
    "difference between the two says which half to attack, and the\nanswer decided against a SIMD tokenizer: "
    "see docs/design.md.",
    "read_file_only": "Read the file and nothing else. Benchmarking only: the floor both of the\nabove sit on, so "
    "neither gets credited with the disk.",
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings(name):
    assert getattr(_tarnel, name).__doc__ == DOCS[name]
