"""The lane kernels give the same bits at every instruction set this processor offers, and their
blocks and the exact summation's hard cases the plain loops' bits.

The kernels sit below the module, so the check is a C++ program over the core, built with cmake in
a temporary directory from this checkout; it runs every level in one process.
"""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
def test_every_kernel_level_gives_the_same_bits(tmp_path):
    if not (ROOT / "CMakeLists.txt").is_file() or not (ROOT / "src" / "lanes.hpp").is_file():
        pytest.skip("the C++ sources are not beside the tests")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    configure = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DVALMORA_BUILD_KERNEL_TESTS=ON"],
        capture_output=True, text=True)
    if configure.returncode != 0:
        pytest.skip(f"cannot configure the C++ build here:\n{configure.stderr[-2000:]}")
    build = subprocess.run(["cmake", "--build", str(tmp_path), "--target", "test_kernels", "-j", "2"],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stdout[-4000:] + build.stderr[-4000:]
    run = subprocess.run([str(tmp_path / "test_kernels")], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert "0 failures" in run.stdout
