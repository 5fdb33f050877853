import os
import subprocess
import sys
import textwrap

import pytest

import valmora
from signatures import RECORDS

HERE = os.path.dirname(os.path.abspath(__file__))  # the shared test modules
FUNCTIONS = valmora.__all__[1:]  # registration order; every one has a record (test_module checks)


def pytest_generate_tests(metafunc):
    # `function` ranges over every function the module registers; `function_param` over each of
    # their parameters (function, index, parameter, kind); `sequence_param` over the series and matrices.
    params = [(f, i, p, k) for f in FUNCTIONS for i, (p, k) in enumerate(RECORDS[f].params)]
    if "function" in metafunc.fixturenames:
        metafunc.parametrize("function", FUNCTIONS)
    for fixture, cases in [("function_param", params),
                           ("sequence_param", [c for c in params if c[3] in ("vector", "matrix")])]:
        if fixture in metafunc.fixturenames:
            metafunc.parametrize(fixture, cases, ids=[f"{c[0]}-{c[2]}" for c in cases])


@pytest.fixture
def run_isolated():
    """Run a snippet in a fresh interpreter so that a crash fails one test, not the run."""

    def run(code, timeout=120, env=None, output="stdout"):
        env = dict(os.environ, **(env or {}))
        env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in [env.get("PYTHONPATH")] if p])
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
        )
        assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        return getattr(proc, output)

    return run
