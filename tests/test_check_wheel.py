"""tools/check-wheel, the wheel stage of CI: which auditwheel reports let a wheel pass."""

import runpy
from pathlib import Path

import pytest

problems = runpy.run_path(str(Path(__file__).resolve().parent.parent / "tools" / "check-wheel"))["problems"]

MANYLINUX = {"version": 1, "pure": False, "overall_tag": "manylinux_2_17_x86_64", "sym_tag": "manylinux_2_17_x86_64",
             "pyfpe": False, "ucs2": False, "unsupported_isa": False,
             "versioned_symbols": {"libc.so.6": ["GLIBC_2.14"]}, "external_libs": {}, "policy_upgrades": {}}


@pytest.mark.parametrize("change, expected", [
    ({}, []),
    ({"overall_tag": "linux_x86_64"}, ["the wheel is consistent only with the platform tag 'linux_x86_64'"]),
    ({"external_libs": {"libstdc++.so.6": "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"}},
     ["the wheel needs external libraries: libstdc++.so.6"]),
    ({"unsupported_isa": True}, ["the wheel needs instruction-set extensions outside the policy"]),
    ({"pure": True}, ["the wheel holds no extension module"]),
    ({"error": "Invalid binary wheel: no ELF executable or shared library file found."},
     ["Invalid binary wheel: no ELF executable or shared library file found."]),
], ids=["manylinux", "plain-linux", "external-library", "isa", "pure", "error"])
def test_report(change, expected):
    assert problems({**MANYLINUX, **change}) == expected
