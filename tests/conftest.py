import os
import subprocess
import sys
import textwrap

import pytest

import valmora
from signatures import TABLE

HERE = os.path.dirname(os.path.abspath(__file__))  # the shared test modules


def registered():
    return [name for name in TABLE if name in valmora.__all__]


def pytest_generate_tests(metafunc):
    # `function` ranges over every function the module registers; `function_param` over each of
    # their parameters, with its kind.
    if "function" in metafunc.fixturenames:
        metafunc.parametrize("function", registered())
    if "function_param" in metafunc.fixturenames:
        cases = [(f, i, p, k) for f in registered() for i, (p, k) in enumerate(TABLE[f])]
        metafunc.parametrize("function_param", cases, ids=[f"{c[0]}-{c[2]}" for c in cases])
    if "sequence_param" in metafunc.fixturenames:
        cases = [(f, i, p, k) for f in registered() for i, (p, k) in enumerate(TABLE[f]) if k in ("vector", "matrix")]
        metafunc.parametrize("sequence_param", cases, ids=[f"{c[0]}-{c[2]}" for c in cases])


@pytest.fixture
def run_isolated():
    """Run a snippet in a fresh interpreter so that a crash fails one test, not the run."""

    def run(code, timeout=120):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in [env.get("PYTHONPATH")] if p])
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
        )
        assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        return proc.stdout

    return run
