"""Argument binding and conversion, checked against CPython's own wording.

Every registered callable is paired with a pure-Python function of the same
text signature; each kind of binding error must produce the same message,
apart from the callable's name prefix.
"""

import inspect
import re

import numpy as np
import pytest

from brandor import _tarnel

FUNCTIONS = [getattr(_tarnel, n) for n in _tarnel.__all__ if inspect.isbuiltin(getattr(_tarnel, n))]
CLASSES = [getattr(_tarnel, n) for n in _tarnel.__all__ if inspect.isclass(getattr(_tarnel, n))]


def _methods():
    for cls in CLASSES:
        for name, member in vars(cls).items():
            if callable(member) and getattr(member, "__text_signature__", None) and not name.startswith("__"):
                yield cls, name


def _twin(signature: inspect.Signature):
    """A pure-Python function with `signature` (positional-or-keyword parameters)."""
    params = ", ".join(str(p) for p in signature.parameters.values())
    namespace: dict = {}
    exec(f"def twin({params}):\n    pass\n", namespace)
    return namespace["twin"]


def _python_message(call) -> str:
    with pytest.raises(TypeError) as info:
        call()
    # CPython 3.13 appends a spelling suggestion to unexpected keywords; the
    # module words the error without one.
    return re.sub(r"\. Did you mean '[^']*'\?$", "", str(info.value))


def _bad_calls(signature: inspect.Signature):
    names = list(signature.parameters)
    required = [n for n, p in signature.parameters.items() if p.default is inspect.Parameter.empty]
    filler = [object()] * len(names)
    if required:
        yield "missing all", (), {}
    if len(required) > 1:
        yield "missing last", tuple(filler[: len(required) - 1]), {}
    yield "surplus", tuple(filler) + (object(),), {}
    yield "surplus two", tuple(filler) + (object(), object()), {}
    yield "unexpected", (), {"no_such_argument": 1}
    if names:
        yield "repeated", tuple(filler[:1]), {names[0]: 1}
        yield "repeated beyond surplus", tuple(filler) + (object(),), {names[0]: 1}


def _cases():
    for fn in FUNCTIONS:
        sig = inspect.signature(fn)
        for label, args, kwargs in _bad_calls(sig):
            yield pytest.param(fn, fn.__name__, sig, args, kwargs, id=f"{fn.__name__}-{label}")


@pytest.mark.parametrize("fn, qualname, sig, args, kwargs", list(_cases()))
def test_binding_errors_match_cpython(fn, qualname, sig, args, kwargs):
    twin = _twin(sig)
    expected = _python_message(lambda: twin(*args, **kwargs)).replace("twin()", f"{qualname}()", 1)
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize("cls, name", list(_methods()))
def test_method_binding_errors_match_cpython(cls, name):
    method = getattr(cls, name)
    sig = inspect.signature(method)
    params = list(sig.parameters.values())[1:]  # without self
    bare = sig.replace(parameters=params)
    qualname = f"{cls.__name__}.{name}"
    twin = _twin(bare)
    for _label, args, kwargs in _bad_calls(bare):
        expected = _python_message(lambda: twin(*args, **kwargs)).replace("twin()", f"{qualname}()", 1)
        # Methods are checked unbound with a receiver that binding never reaches.
        with pytest.raises(TypeError) as info:
            method(_instance(cls), *args, **kwargs)
        assert str(info.value) == expected


def _instance(cls):
    factory = INSTANCE_FACTORIES.get(cls.__name__)
    if factory is None:
        pytest.skip(f"no sample instance of {cls.__name__}")
    return factory()


# Sample instances for the method checks, by class name.
INSTANCE_FACTORIES: dict = {
    "Evaluator": lambda: _tarnel.Evaluator(
        [], [], {}, [1], [1], [0.5], [0.0, 1.0], [1, 10], [[0.0, 1e10]], True, "bbox", []
    ),
    "CompactBbox": lambda: _tarnel.load_compact_array(np.zeros((0, 7))),
}


@pytest.mark.parametrize("cls", [c for c in CLASSES if c.__text_signature__])
def test_constructor_binding_errors_match_cpython(cls):
    sig = inspect.signature(cls)
    twin = _twin(sig)
    for _label, args, kwargs in _bad_calls(sig):
        expected = _python_message(lambda: twin(*args, **kwargs))
        expected = expected.replace("twin()", f"{cls.__name__}.__new__()", 1)
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == expected


def test_missing_names_are_listed_like_cpython():
    # The three-name form uses CPython's serial comma.
    with pytest.raises(TypeError) as info:
        _tarnel.summary_values(np.zeros((1, 1, 1, 1)), [0])
    assert str(info.value) == (
        "summary_values() missing 3 required positional arguments: 'categories', 'area', and 'max_det'"
    )


def test_keywords_bind_by_name():
    a = np.arange(4.0).reshape(1, 2, 2, 1)
    by_keyword = _tarnel.summary_values(max_det=0, area=0, categories=[1], thresholds=[0], array=a)
    assert by_keyword.tolist() == _tarnel.summary_values(a, [0], [1], 0, 0).tolist() == [2.0]


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "position, value, exc, message",
    [
        (1, "01", TypeError, None),  # a str is refused as a sequence
        (1, 5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (1, [0.5], TypeError, "'float' object cannot be interpreted as an integer"),
        (1, [-1], OverflowError, None),
        (2, [2**64], OverflowError, None),
        (3, None, TypeError, None),
        (4, -1, OverflowError, None),
    ],
)
def test_converter_failures_keep_type_and_gain_note(position, value, exc, message):
    names = ["array", "thresholds", "categories", "area", "max_det"]
    args = [np.zeros((1, 1, 1, 1)), [0], [0], 0, 0]
    args[position] = value
    with pytest.raises(exc) as info:
        _tarnel.summary_values(*args)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{names[position]}'"]


def test_index_protocol_and_numpy_integers_convert():
    a = np.arange(4.0).reshape(1, 2, 2, 1)
    got = _tarnel.summary_values(a, (Indexable(0),), np.array([1, 0]), np.int64(1), Indexable(0))
    assert got.tolist() == [3.0, 1.0]


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError) as info:
        _tarnel.summary_values(np.zeros((1, 1, 1, 1), dtype=np.float32), "x", "y", None, None)
    assert info.value.__notes__ == ["while processing 'array'"]
