"""Builds the runtime's test-only extension module once per session (incrementally under build/)."""

import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# tools/sanitize builds the module with the sanitizers beforehand and names its build folder here
BUILD = Path(os.environ.get("QUARV_PROBE_BUILD") or ROOT / "build" / "runtime-probe")


def _tool(name):
    local = Path(sys.executable).with_name(name)
    return str(local) if local.exists() else shutil.which(name)


@pytest.fixture(scope="session")
def probe_dir():
    import pybind11

    configure = [
        _tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-DQUARV_RUNTIME_PROBE=ON",
        f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        "-DCMAKE_BUILD_TYPE=Release",
    ]
    if _tool("ninja"):
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}"]
    if not (BUILD / "CMakeCache.txt").exists():
        subprocess.run(configure, check=True, capture_output=True, text=True)
    built = subprocess.run([_tool("cmake"), "--build", str(BUILD)], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    return BUILD


@pytest.fixture(scope="session")
def probe(probe_dir):
    sys.path.insert(0, str(probe_dir))
    try:
        return importlib.import_module("_runtime_probe")
    finally:
        sys.path.remove(str(probe_dir))


@pytest.fixture
def fresh_python():
    """run_fresh (tests/fresh.py): code run in a fresh interpreter, failing the test on a signal."""
    from fresh import run_fresh

    return run_fresh


@pytest.fixture
def run_python(probe_dir):
    """Runs code in a fresh interpreter that can import the probe; returns the completed process."""

    from fresh import run_fresh

    def run(code, env=None, timeout=60):
        return run_fresh(code, env=dict(env or {}, PYTHONPATH=str(probe_dir)), timeout=timeout, check=False)

    return run
