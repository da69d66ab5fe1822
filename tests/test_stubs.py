"""The .pyi stubs of the native modules: one beside each module's C++ sources under src/, equal to
what the modules show at run time, read by mypy through the py.typed marker, and installed beside
the modules (tests/test_wheel.py checks that the wheel carries them)."""

import importlib.machinery
import importlib.util
import pathlib
import subprocess
import sys
import textwrap

import quarv.utils
from sources import ROOT, source_modules

SOURCES = ROOT / "src"


def native_modules():
    """Names of the extension modules installed in the quarv.utils package."""
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for folder in map(pathlib.Path, quarv.utils.__path__):
        for path in folder.rglob("*.so"):
            *package, file = path.relative_to(folder).parts
            suffix = next(s for s in suffixes if file.endswith(s))
            names.add(".".join(("quarv", "utils", *package, file[: -len(suffix)])))
    return sorted(names)


def stubbed_modules():
    return sorted(".".join(p.relative_to(SOURCES).with_suffix("").parts) for p in SOURCES.rglob("*.pyi"))


def run(args, cwd):
    # from a scratch folder, so mypy's cache stays out of the checkout
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def test_every_native_module_has_a_stub_and_nothing_else_does():
    # an installed set short of the sources is a partial build (tools/sanitize with ONLY=)
    assert set(native_modules()) <= set(source_modules())
    assert stubbed_modules() == source_modules()
    assert (SOURCES / "quarv" / "utils" / "py.typed").is_file()
    # the framework's folder holds the stand-ins alone
    assert sorted((ROOT / "framework").rglob("*.pyi")) == [] and not list((ROOT / "framework").rglob("py.typed"))


def test_stubs_match_the_installed_modules(tmp_path):
    result = run(["mypy.stubtest", "--concise", *native_modules()], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_checks_calls_against_the_stubs(tmp_path):
    # each line marked with an error code is a call the stubs must reject; the others must pass
    source = textwrap.dedent(
        """\
        from quarv.utils.ansi import escape
        from quarv.utils.dicts import generate_unique_key_name, recursive_update
        from quarv.utils.veltrane import Schema

        recursive_update({}, {}, list_extend=True)
        recursive_update({}, {}, True)  # call-arg
        number: int = generate_unique_key_name("k", 1, {})  # assignment
        escape(1)  # arg-type
        Schema({}, paths=None)  # call-arg
        Schema({}, path=None).validate({}, top=False)
        """
    )
    (tmp_path / "use.py").write_text(source)
    result = run(["mypy", "--no-error-summary", "--hide-error-context", "use.py"], tmp_path)
    found = []
    for line in result.stdout.splitlines():
        where, kind, message = line.split(": ", 2)
        if kind == "error":
            found.append((int(where.split(":")[1]), message.rsplit("[", 1)[1].rstrip("]")))
    wanted = [(n, line.split("# ")[1]) for n, line in enumerate(source.splitlines(), 1) if "# " in line]
    assert found == wanted, result.stdout + result.stderr


def test_stubs_and_marker_are_installed_beside_the_modules():
    # the installed stub is the checked-in one: a reinstall, or tools/dev-build for the module, copies
    # an edited stub
    for name in native_modules():
        module = pathlib.Path(importlib.util.find_spec(name).origin)
        *package, last = name.split(".")
        stub = module.with_name(last + ".pyi")
        assert stub.is_file() and stub.read_text() == SOURCES.joinpath(*package, last + ".pyi").read_text(), stub
        assert (module.parents[len(package) - 2] / "py.typed").is_file(), module
