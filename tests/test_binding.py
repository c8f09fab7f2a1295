"""Argument binding and the constructor's argument checks."""

import pytest

from quorlin import Encoder

pytestmark = pytest.mark.leakcheck


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": "label"}),
     ((), {"encoding": None})],
)
def test_constructor_accepts_label(args, kwargs):
    enc = Encoder(*args, **kwargs)
    assert isinstance(enc, Encoder)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("Label",), {}, ValueError, "Label is not a supported encoding strategy for strings!"),
        (("",), {}, ValueError, " is not a supported encoding strategy for strings!"),
        ((" label",), {}, ValueError, " label is not a supported encoding strategy for strings!"),
        (("label\0",), {}, ValueError, "label\0 is not a supported encoding strategy for strings!"),
        (("ordinal",), {}, ValueError, "ordinal is not a supported encoding strategy for strings!"),
        (("label", "x"), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (("label", None, None), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        ((), {"mode": "label"}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'mode'"),
        (("label",), {"encoding": "label"}, TypeError,
         "Encoder.__new__() got multiple values for argument 'encoding'"),
        # The positional count is checked before any keyword.
        (("a", "b"), {"mode": 1}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        # Keywords are checked in the order given.
        ((), {"encoding": "label", "mode": 1}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'mode'"),
    ],
)
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Encoder(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


class PlainStrSub(str):
    """A str subclass that adds nothing: str() of it gives an exact str."""


def test_constructor_accepts_a_str_subclass():
    assert isinstance(Encoder(PlainStrSub("label")), Encoder)
    with pytest.raises(ValueError, match="^LABEL is not a supported"):
        Encoder(PlainStrSub("LABEL"))


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "'int' object is not an instance of 'str'"),
        (b"label", "'bytes' object is not an instance of 'str'"),
        (["label"], "'list' object is not an instance of 'str'"),
        (Encoder, "'type' object is not an instance of 'str'"),
    ],
)
def test_constructor_type_error_carries_a_note(value, message):
    with pytest.raises(TypeError) as info:
        Encoder(encoding=value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'encoding'"]


def test_constructor_type_error_names_the_qualified_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        Encoder(Outer.Inner())
    assert str(info.value) == (
        "'test_constructor_type_error_names_the_qualified_type.<locals>.Outer.Inner' "
        "object is not an instance of 'str'"
    )


def test_constructor_surrogates_raise_unicode_error_with_note():
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("\udc80label")
    assert info.value.__notes__ == ["while processing 'encoding'"]


def test_constructor_keyword_that_is_not_utf8_matches_nothing():
    with pytest.raises(TypeError) as info:
        Encoder(**{"enc\udc80": 1})
    assert str(info.value) == "Encoder.__new__() got an unexpected keyword argument 'enc\udc80'"


METHODS = [("encode", "obj"), ("decode", "obj"), ("__setstate__", "state")]


@pytest.mark.parametrize("method, param", METHODS)
def test_missing_argument(method, param):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)()
    assert str(info.value) == (
        f"Encoder.{method}() missing 1 required positional argument: '{param}'"
    )


@pytest.mark.parametrize("method, param", METHODS)
@pytest.mark.parametrize("count", [2, 3])
def test_too_many_positional(method, param, count):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(*range(count))
    assert str(info.value) == (
        f"Encoder.{method}() takes 1 positional arguments but {count} were given"
    )


@pytest.mark.parametrize("method, param", METHODS)
def test_positional_count_comes_before_keywords(method, param):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(1, 2, **{param: 3})
    assert "takes 1 positional arguments but 2 were given" in str(info.value)


@pytest.mark.parametrize("method, param", METHODS)
def test_multiple_values(method, param):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(1, **{param: 2})
    assert str(info.value) == f"Encoder.{method}() got multiple values for argument '{param}'"


@pytest.mark.parametrize("method, param", METHODS)
def test_unexpected_keyword_comes_before_missing(method, param):
    with pytest.raises(TypeError) as info:
        getattr(Encoder(), method)(data=1)
    assert str(info.value) == f"Encoder.{method}() got an unexpected keyword argument 'data'"


def test_getstate_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        Encoder().__getstate__(1)
