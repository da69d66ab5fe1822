"""Every extension module needs nothing at run time beyond the interpreter and the C library."""

import os
import struct
from pathlib import Path

import pytest

import quarv

# tools/sanitize builds the modules against the sanitizer runtimes, which they then need
pytestmark = pytest.mark.skipif(os.environ.get("QUARV_SANITIZED") == "1", reason="sanitized build")

ALLOWED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def needed_libraries(path):
    """The DT_NEEDED entries of an ELF64 little-endian shared object."""
    data = Path(path).read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = []
    for _, kind, _, _, offset, size, link, _, _, entsize in sections:
        if kind != 6:  # SHT_DYNAMIC
            continue
        strtab_offset = sections[link][4]
        for pos in range(offset, offset + size, entsize):
            tag, value = struct.unpack_from("<qQ", data, pos)
            if tag == 1:  # DT_NEEDED
                end = data.index(b"\0", strtab_offset + value)
                names.append(data[strtab_offset + value:end].decode())
    return names


# every folder of the package: an editable install keeps the modules apart from the Python files
MODULES = sorted(so for folder in quarv.__path__ for so in Path(folder).rglob("*.so"))


def test_the_package_holds_extension_modules():
    assert any(p.name.startswith("dicts.") for p in MODULES)


@pytest.mark.parametrize("path", MODULES, ids=lambda p: p.name.split(".")[0])
def test_needs_only_the_c_library(path):
    extra = [lib for lib in needed_libraries(path)
             if lib not in ALLOWED and not lib.startswith("ld-linux") and not lib.startswith("libpython")]
    assert extra == []


def test_runtime_probe_is_linked_the_same_way(probe_dir):
    for path in probe_dir.glob("_runtime_probe*.so"):
        assert set(needed_libraries(path)) <= ALLOWED | {"ld-linux-x86-64.so.2"}
