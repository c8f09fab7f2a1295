"""The module surface: import, the Encoder type and its properties."""

import importlib.util
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import quorlin
from quorlin import Encoder


def test_module_exports_only_encoder():
    assert quorlin.__all__ == ["Encoder"]
    public = {name for name in vars(quorlin) if not name.startswith("__")}
    assert public == {"Encoder"}
    assert quorlin.__doc__


def test_encoder_type_properties():
    assert Encoder.__module__ == "builtins"
    assert Encoder.__name__ == "Encoder"
    assert Encoder.__qualname__ == "Encoder"
    assert str(inspect.signature(Encoder)) == "(encoding=None)"
    assert Encoder.__text_signature__ == "(encoding=None)"
    assert Encoder.__mro__ == (Encoder, object)
    assert repr(Encoder()).startswith("<builtins.Encoder object at ")


@pytest.mark.parametrize(
    "method, signature",
    [("encode", "(self, /, obj)"), ("decode", "(self, /, obj)"), ("__getstate__", "(self, /)"),
     ("__setstate__", "(self, /, state)")],
)
def test_method_signatures(method, signature):
    assert str(inspect.signature(getattr(Encoder, method))) == signature


def test_subclassing_is_refused():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Encoder,), {})


def test_instances_take_no_attributes_or_weakrefs():
    enc = Encoder()
    with pytest.raises(AttributeError):
        enc.anything = 1
    with pytest.raises(AttributeError):
        enc.__dict__
    with pytest.raises(TypeError):
        weakref.ref(enc)


def test_reimport_shares_the_type():
    first = sys.modules.pop("quorlin")
    try:
        again = importlib.import_module("quorlin")
        assert again is not first
        assert again.Encoder is first.Encoder
        assert again.__all__ == ["Encoder"]
    finally:
        sys.modules["quorlin"] = first


def _fresh_module():
    spec = importlib.util.spec_from_file_location("quorlin", quorlin.__file__)
    return spec, importlib.util.module_from_spec(spec)


def test_exec_hook_appends_to_an_existing_all():
    spec, module = _fresh_module()
    module.__all__ = ["before"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["before", "Encoder"]
    assert module.Encoder is Encoder


@pytest.mark.parametrize("value, shown", [(("x",), "'tuple' object"), ("Encoder", "'str' object"), (None, "'None'")])
def test_exec_hook_refuses_an_all_that_is_not_a_list(value, shown):
    spec, module = _fresh_module()
    module.__all__ = value
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == f"{shown} is not an instance of 'list'"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", quorlin.__file__], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_quorlin"]


def test_import_works_without_numpy(python_child):
    proc = python_child(
        """
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is blocked")
        sys.meta_path.insert(0, Block())
        import quorlin
        enc = quorlin.Encoder("label")
        assert "numpy" not in sys.modules
        print(quorlin.__all__, type(enc).__name__)
        """
    )
    assert proc.stdout.strip() == "['Encoder'] Encoder"
