"""The .pyi stubs beside the native modules: complete, equal to what the modules show at run time,
read by mypy through the py.typed marker, and carried into the wheel."""

import importlib.machinery
import pathlib
import subprocess
import sys
import textwrap
import tomllib

import pytest

import quarv.utils

ROOT = pathlib.Path(__file__).resolve().parent.parent
FRAMEWORK = ROOT / "framework"


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
    return sorted(".".join(p.relative_to(FRAMEWORK).with_suffix("").parts) for p in FRAMEWORK.rglob("*.pyi"))


def run(args, cwd):
    # from a scratch folder, so mypy's cache stays out of the checkout
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def source_modules():
    """Names of the extension modules the build makes: a .cpp under src/quarv is one, and so is a
    folder holding a body.cpp (its other .cpp files belong to it)."""
    names = set()
    for cpp in (ROOT / "src" / "quarv").rglob("*.cpp"):
        rel = cpp.relative_to(ROOT / "src")
        module = rel.parent if (cpp.parent / "body.cpp").exists() else rel.with_suffix("")
        names.add(".".join(module.parts))
    return sorted(names)


def test_every_native_module_has_a_stub_and_nothing_else_does():
    # an installed set short of the sources is a partial build (tools/sanitize with ONLY=)
    assert set(native_modules()) <= set(source_modules())
    assert stubbed_modules() == source_modules()
    assert (FRAMEWORK / "quarv" / "utils" / "py.typed").is_file()


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


def installed_files():
    """Paths of the extension modules, relative to the folder that holds the quarv package."""
    found = {}
    for folder in map(pathlib.Path, quarv.utils.__path__):
        for path in folder.rglob("*.so"):
            found[path] = path.relative_to(folder.parent.parent)
    return found


def test_wheel_carries_stubs_and_marker_beside_the_modules(tmp_path, monkeypatch):
    natives = native_modules()
    wanted = {name.replace(".", "/") + ".pyi" for name in natives} | {"quarv/utils/py.typed"}
    sites = {path.parents[len(rel.parts) - 1] for path, rel in installed_files().items()}
    if FRAMEWORK not in sites and all((site / "quarv" / "utils" / "py.typed").exists() for site in sites):
        # installed from a wheel: the stubs are there, beside the modules
        present = {f for f in wanted if any((site / f).is_file() for site in sites)}
        assert present == wanted, sorted(wanted - present)
        return
    # an editable install: work out the package files a wheel build copies, as the build backend
    # does (from the project folder, with the project's wheel.packages and exclusions)
    _pathutil = pytest.importorskip("scikit_build_core.build._pathutil")
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["scikit-build"]
    packages = {pathlib.PurePath(p).name: p for p in settings["wheel"]["packages"]}
    monkeypatch.chdir(ROOT)
    mapping = _pathutil.packages_to_file_mapping(
        packages=packages,
        platlib_dir=tmp_path,
        include=settings.get("sdist", {}).get("include", []),
        src_exclude=settings.get("sdist", {}).get("exclude", []),
        target_exclude=settings["wheel"].get("exclude", []),
        build_dir=settings.get("build-dir", ""),
        mode=settings.get("sdist", {}).get("inclusion-mode", "default"),
    )
    shipped = {pathlib.Path(target).relative_to(tmp_path).as_posix() for target in mapping.values()}
    assert wanted <= shipped, sorted(wanted - shipped)
