"""The module as the interpreter sees it: definition, registration, signatures."""

import ctypes
import importlib.util
import inspect

import pytest

import valmora
from signatures import RECORDS

pytestmark = pytest.mark.conversion


def test_module_doc_is_empty_string():
    assert valmora.__doc__ == ""


def test_all_lists_example_then_the_functions():
    assert valmora.__all__[0] == "Example"  # the records pair with the rest (checked as they load)
    assert all(type(name) is str for name in valmora.__all__)
    public = {name for name in dir(valmora) if not name.startswith("__")}
    assert public == set(valmora.__all__)


def test_function_attributes(function):
    f = getattr(valmora, function)
    names = [p for p, _ in RECORDS[function].params]  # read through inspect.signature
    assert (f.__name__, f.__module__, f.__self__, f.__doc__) == (function, "valmora", valmora, None)
    assert f.__text_signature__ == "(" + ", ".join(names) + ")"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(f).parameters.values())


def fresh_module():
    found = importlib.util.find_spec("valmora")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def execute_again(module):
    """Run the module's execution step once more; importlib itself would skip it."""
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef(module, api.PyModule_GetDef(module))


def test_second_execution_appends_names_and_keeps_the_class():
    module = fresh_module()
    first = list(module.__all__)
    old = module.twap_schedule
    execute_again(module)
    assert module.__all__ == first + first
    assert module.Example is valmora.Example
    assert module.twap_schedule is not old
    assert module.twap_schedule(100, 4) == [25.0] * 4


@pytest.mark.parametrize("replacement, type_name", [((), "tuple"), ("abc", "str"), (None, "NoneType")])
def test_execution_refuses_a_non_list_all(replacement, type_name):
    module = fresh_module()
    module.__all__ = replacement
    with pytest.raises(TypeError) as e:
        execute_again(module)
    assert str(e.value) == f"'{type_name}' object is not an instance of 'list'"


def test_execution_recreates_a_deleted_all():
    module = fresh_module()
    del module.__all__
    execute_again(module)
    assert module.__all__ == valmora.__all__


@pytest.mark.parametrize("value", ["AVX2", "avx1024", "avx2 ", "avx\udcff"])
def test_import_refuses_a_kernel_level_this_processor_does_not_offer(run_isolated, value):
    # A typo once ran the widest level silently; bytes that are no UTF-8 are shown escaped.
    out = run_isolated("""
        try:
            import valmora
        except RuntimeError as e:
            print(e)
    """, env={"VALMORA_KERNEL_LEVEL": value})
    assert out.startswith("VALMORA_KERNEL_LEVEL='") and "' is not a kernel level this processor offers" in out
    assert "accepted values: baseline" in out


def test_only_the_init_symbol_is_exported():
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", valmora.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_valmora"]
    assert valmora.__file__.endswith("valmora.abi3.so")
