"""The Example class: conversion of its value and its shape (binding errors are checked with the
functions', str and repr are fuzzed)."""

import pytest

import valmora
from valmora import Example

pytestmark = pytest.mark.memcheck


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("a", "b", "c"), {"value": "d"}, TypeError, "Example.__new__() takes 1 positional arguments but 3 were given"),
        ((), {"text": "b"}, TypeError, "Example.__new__() got an unexpected keyword argument 'text'"),
        ((5,), {}, TypeError, "argument 'value': 'int' object is not an instance of 'str'"),
        ((None,), {}, TypeError, "argument 'value': 'None' is not an instance of 'str'"),
        ((b"abc",), {}, TypeError, "argument 'value': 'bytes' object is not an instance of 'str'"),
        (("\udc00",), {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
    ],
)
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        Example(*args, **kwargs)
    assert type(e.value) is exc and str(e.value) == message


def test_class_shape():
    assert Example.__module__ == "builtins"
    assert Example.__name__ == Example.__qualname__ == "Example"
    assert Example.__text_signature__ == "(value)"
    assert valmora.Example is Example
    with pytest.raises(TypeError):
        type("Sub", (Example,), {})


def test_instances_are_closed_and_compare_by_identity():
    e = Example("x")
    assert not hasattr(e, "value") and not hasattr(e, "__dict__")
    with pytest.raises(AttributeError):
        e.value = "y"
    assert e != Example("x")
    assert Example.__eq__ is object.__eq__ and Example.__hash__ is object.__hash__
