import subprocess
import sys
import textwrap

import pytest
import tidemark

CLASS_NAMES = [
    "MessageCacheReader",
    "StreamingBinaryLoader",
    "OrderbookBuilder",
    "FeedPathBuilder",
    "SymbolMaster",
]


def test_all_lists_the_five_classes_in_order():
    assert tidemark.__all__ == CLASS_NAMES
    assert [name for name in vars(tidemark) if name[0].isupper()] == CLASS_NAMES
    assert tidemark.__doc__ == ""


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_registration(name):
    cls = getattr(tidemark, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__text_signature__ == "()"
    assert cls.__bases__ == (object,)
    obj = cls()
    assert type(obj).__module__ == "builtins"
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_constructor_takes_no_arguments(name):
    cls = getattr(tidemark, name)
    with pytest.raises(TypeError) as err:
        cls(1)
    assert str(err.value) == f"{name}.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as err:
        cls(1, 2)
    assert str(err.value) == f"{name}.__new__() takes 0 positional arguments but 2 were given"
    with pytest.raises(TypeError) as err:
        cls(x=1)
    assert str(err.value) == f"{name}.__new__() got an unexpected keyword argument 'x'"


def test_instances_are_independent():
    a, b = tidemark.StreamingBinaryLoader(), tidemark.StreamingBinaryLoader()
    assert a is not b


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent(
        """
        import tidemark
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import tidemark")
        except Exception as exc:
            print("REFUSED", type(exc).__name__, exc)
        else:
            print("IMPORTED")
        # The first interpreter keeps working.
        print(tidemark.StreamingBinaryLoader().is_end_of_msg())
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "REFUSED" in out.stdout
    assert "ImportError" in out.stdout
    assert out.stdout.strip().endswith("True")


def test_reimport_in_the_same_interpreter_works():
    code = (
        "import sys, tidemark; first = tidemark.StreamingBinaryLoader;"
        "del sys.modules['tidemark']; import tidemark;"
        "assert tidemark.StreamingBinaryLoader is first; print('ok')"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


def test_only_the_entry_point_is_exported():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", tidemark.__file__], capture_output=True, text=True, check=True
    )
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_tidemark"]
