"""Short, seeded run of every fuzz target in fuzz/ (tools/fuzz), plus the
inputs that once found a fault, kept as regression cases."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("atheris", reason="atheris is not installed (pip install '.[fuzz]')")

ROOT = pathlib.Path(__file__).resolve().parent.parent
TARGETS = sorted(p.stem for p in (ROOT / "fuzz").glob("*.py") if not p.name.startswith("_"))


@pytest.mark.parametrize("target", TARGETS)
def test_short_fuzz_run(target):
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "fuzz"), target],
                          cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-4000:]
