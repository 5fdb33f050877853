"""The valmora-stubs package: it matches the module (stubtest), types real code (mypy), and its
docstring examples run."""

import ast
import doctest
import importlib.metadata
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import valmora

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "valmora-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    # mypy looks for `<name>-stubs` only in site-packages; from the source tree the stub is offered as
    # a plain `valmora` stub package on MYPYPATH, which also takes precedence over an installed copy.
    root = tmp_path_factory.mktemp("stubs")
    (root / "valmora").mkdir()
    (root / "valmora" / "__init__.pyi").write_text(STUB.read_text())
    return root


def run_mypy_tool(args, stub_path, cwd=ROOT):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(stub_path))
    # stubtest imports valmora: hand it the same module this test run imports.
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(valmora.__file__).parent), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=300)


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stubtest_passes(stub_path, tmp_path):
    proc = run_mypy_tool(["mypy.stubtest", "valmora", "--mypy-config-file", os.devnull], stub_path, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_example_passes_strict_mypy(stub_path):
    pytest.importorskip("numpy")
    proc = run_mypy_tool(["mypy", "--strict", "--no-incremental", "examples/typed_usage.py"], stub_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize(
    "call",
    [
        "valmora.twap_schedule(100.0, 2.5)",  # a size must be an integer
        "valmora.vwap_schedule(100.0, '13')",  # a str is not a series
        "valmora.sample_covariance_matrix([1.0, 2.0], 252)",  # a series is not a matrix
        "valmora.rolling_correlation([1.0], [2.0], window=None)",
        "valmora.cointegration_spread([1.0], [2.0], 3)",
        "valmora.twap_schedule(100.0, period=2)",
        "valmora.Example(5)",
    ],
)
def test_mypy_rejects_wrong_calls(stub_path, tmp_path, call):
    script = tmp_path / "wrong.py"
    script.write_text(f"import valmora\n{call}\n")
    proc = run_mypy_tool(["mypy", "--no-incremental", str(script)], stub_path)
    assert proc.returncode == 1 and "error:" in proc.stdout, proc.stdout + proc.stderr


def test_mypy_infers_result_types(stub_path, tmp_path):
    script = tmp_path / "reveal.py"
    script.write_text(
        "import valmora\n"
        "reveal_type(valmora.ledoit_wolf_covariance_matrix([[1.0]], 1.0))\n"
        "reveal_type(valmora.factor_risk_decomposition([1.0], [[1.0]], [[1.0]], [1.0]))\n"
    )
    proc = run_mypy_tool(["mypy", "--no-incremental", str(script)], stub_path)
    revealed = proc.stdout.replace("builtins.", "")
    assert '"tuple[list[list[float]], float]"' in revealed, proc.stdout
    assert '"tuple[float, float, float, list[float]]"' in revealed, proc.stdout


def test_stub_lists_every_name_with_runtime_parameters():
    tree = stub_tree()
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    declared_all = next(
        ast.literal_eval(n.value) for n in tree.body
        if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", "") == "__all__"
    )
    assert declared_all == valmora.__all__
    for name in valmora.__all__[1:]:
        runtime = list(inspect.signature(getattr(valmora, name)).parameters)
        assert [a.arg for a in functions[name].args.args] == runtime, name


def stub_docstrings():
    tree = stub_tree()
    nodes = [n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    return {n.name: ast.get_docstring(n) for n in nodes}


@pytest.mark.parametrize("name", list(valmora.__all__))
def test_stub_docstring_example_runs(name):
    doc = stub_docstrings()[name]
    assert doc and ">>>" in doc, f"{name} has no example"
    if name != "Example":
        assert "Raises" in doc, f"{name} does not name its errors"
    test = doctest.DocTestParser().get_doctest(doc, dict(vars(valmora)), name, str(STUB), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{name}: docstring example disagrees with the module"


def test_installed_wheel_ships_the_stubs():
    try:
        files = importlib.metadata.files("valmora") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("valmora is not installed as a distribution")
    modules = [f for f in files if pathlib.PurePath(str(f)).name.startswith("valmora.")]
    if not any(pathlib.Path(f.locate()).resolve() == pathlib.Path(valmora.__file__).resolve() for f in modules):
        pytest.skip("the module under test is not the installed distribution's")
    assert any(str(f).replace("\\", "/") == "valmora-stubs/__init__.pyi" for f in files)
