"""The wheel of the package holds only its own files: the extension modules, their stubs, the typing
marker and its metadata. Installed beside the host framework, it replaces, and on uninstalling
deletes, none of the framework's files.

The wheel is the one named in QUARV_WHEEL (.ci/run sets it to the wheel tools/check-wheel built),
else it is built once per session, incrementally in build/wheel.
"""

import ast
import base64
import csv
import fcntl
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest
from sources import ROOT, source_modules

# the wheel is the release build: the sanitized run has nothing to add to these tests
pytestmark = pytest.mark.skipif(os.environ.get("QUARV_SANITIZED") == "1", reason="sanitized build")

FRAMEWORK = ROOT / "framework"
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def framework_files():
    """The paths of the host framework's files, as the stand-ins lay them out."""
    return {p.relative_to(FRAMEWORK).as_posix() for p in (FRAMEWORK / "quarv").rglob("*")
            if p.is_file() and "__pycache__" not in p.parts}


def pip(python, *args, timeout=600):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    done = subprocess.run([str(python), "-m", "pip", "--disable-pip-version-check", *args],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def only_wheel(folder, prefix):
    found = sorted(Path(folder).glob(f"{prefix}-*.whl"))
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    given = os.environ.get("QUARV_WHEEL")
    if given:
        assert Path(given).is_file(), f"QUARV_WHEEL names no file: {given}"
        return Path(given)
    build = ROOT / "build" / "wheel"
    build.mkdir(parents=True, exist_ok=True)
    out = tmp_path_factory.mktemp("wheel")
    # one build at a time in the folder; without build isolation the folder's objects stay valid
    # from one session to the next
    with open(build / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # no time limit: on a busy machine a first build of every module takes long
        pip(sys.executable, "wheel", "-q", "--no-deps", "--no-build-isolation", f"-Cbuild-dir={build}",
            "-w", str(out), str(ROOT), timeout=None)
    return only_wheel(out, "quarv_utils")


@pytest.fixture(scope="module")
def standins_wheels(tmp_path_factory):
    """The stand-ins' wheel as framework/ builds it, and one of a framework whose packages that hold
    nothing but their docstring (quarv, quarv.utils, ...) are namespace packages."""
    out = tmp_path_factory.mktemp("standins")
    pip(sys.executable, "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(out / "regular"), str(FRAMEWORK))
    copy = out / "source"
    shutil.copytree(FRAMEWORK, copy, ignore=shutil.ignore_patterns("__pycache__"))
    for init in copy.rglob("__init__.py"):
        body = ast.parse(init.read_text()).body
        if len(body) == 1 and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
            init.unlink()
    assert not (copy / "quarv" / "__init__.py").exists() and not (copy / "quarv" / "utils" / "__init__.py").exists()
    pip(sys.executable, "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(out / "namespace"), str(copy))
    return {layout: only_wheel(out / layout, "quarv_framework_standins") for layout in ("regular", "namespace")}


def record_of(wheel_or_site, dist_info):
    """{path: hash} of a RECORD, from a wheel or an installed dist-info folder."""
    if zipfile.is_zipfile(wheel_or_site):
        with zipfile.ZipFile(wheel_or_site) as archive:
            text = archive.read(f"{dist_info}/RECORD").decode()
    else:
        text = (wheel_or_site / dist_info / "RECORD").read_text()
    return {row[0]: row[1] for row in csv.reader(io.StringIO(text)) if row}


def digest(data):
    """A file's hash as a RECORD writes it."""
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def test_wheel_holds_the_modules_their_stubs_and_the_marker_and_nothing_else(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        contents = {name: archive.read(name) for name in names}
    dist_infos = {n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info")}
    assert dist_infos == {"-".join(wheel.name.split("-")[:2]) + ".dist-info"}
    (dist_info,) = dist_infos
    assert {f"{dist_info}/{n}" for n in ("METADATA", "WHEEL", "RECORD")} <= names
    payload = {n for n in names if not n.startswith(dist_info + "/")}

    modules = [name.replace(".", "/") for name in source_modules()]
    assert "quarv/utils/dicts" in modules and "quarv/utils/yaml/markup" in modules
    wanted = {m + SUFFIX for m in modules} | {m + ".pyi" for m in modules} | {"quarv/utils/py.typed"}
    # the framework's files (every __init__.py, the stand-ins' modules) and Python code of any kind
    assert sorted(payload & framework_files()) == []
    assert sorted(n for n in payload if n.endswith((".py", ".pyc", ".pth"))) == []
    assert payload == wanted, (sorted(payload - wanted), sorted(wanted - payload))
    # the RECORD lists each file once, with the hash of what the wheel holds
    record = record_of(wheel, dist_info)
    assert set(record) == names
    assert {name: record[name] for name in payload} == {name: digest(contents[name]) for name in payload}


IMPORT_ALL = """
import importlib, json, sys
found = {}
for name in ["quarv", "quarv.utils", "quarv.utils.import_utils", *sys.argv[1:]]:
    module = importlib.import_module(name)
    found[name] = getattr(module, "__file__", None)
# the modules use what the framework's packages define: the plug-in base class, the hook it offers
import quarv.utils.dorvex.plugins.localhost as localhost
import quarv.utils.dorvex.plugins.localhost.ftp.dorvex as ftp
import quarv.utils.import_utils as import_utils
assert issubclass(ftp.Dorvex, localhost.Dorvex)
assert import_utils.LegacyImporter is importlib.import_module("quarv.utils.import_utils.legacy").LegacyImporter
from quarv.utils.dicts import recursive_update
assert recursive_update({"a": {"b": 1}}, {"a": {"c": 2}}) == {"a": {"b": 1, "c": 2}}
print(json.dumps(found))
"""


def fresh_environment(folder):
    """A new virtual environment; PyYAML, which the modules import, is taken from this one's."""
    subprocess.run([sys.executable, "-m", "venv", str(folder)], check=True, capture_output=True, timeout=300)
    python = folder / "bin" / "python"
    site = Path(subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                               check=True, capture_output=True, text=True).stdout.strip())
    import yaml

    deps = folder / "deps"
    deps.mkdir()
    (deps / "yaml").symlink_to(Path(yaml.__file__).parent)
    (site / "deps.pth").write_text(f"{deps}\n")
    return python, site


def installed_digests(site, record):
    return {path: digest((site / path).read_bytes()) if (site / path).exists() else None
            for path in record if not path.split("/")[0].endswith(".dist-info")}


@pytest.mark.parametrize("layout", ["regular", "namespace"])
def test_installed_beside_the_framework_it_replaces_and_deletes_none_of_its_files(wheel, standins_wheels, layout,
                                                                                   tmp_path):
    python, site = fresh_environment(tmp_path / "env")
    standins = standins_wheels[layout]
    pip(python, "install", "--no-deps", "--no-index", str(standins))
    framework_record = record_of(site, "-".join(standins.name.split("-")[:2]) + ".dist-info")
    framework = installed_digests(site, framework_record)
    # (the RECORD gives no hash for the byte-code files the installer compiled)
    assert {p: h for p, h in framework.items() if framework_record[p]} == \
        {p: h for p, h in framework_record.items() if h and p in framework}
    assert "quarv/utils/utils.py" in framework and ("quarv/utils/__init__.py" in framework) == (layout == "regular")

    pip(python, "install", "--no-deps", "--no-index", str(wheel))
    product_record = record_of(site, "-".join(wheel.name.split("-")[:2]) + ".dist-info")
    product = installed_digests(site, product_record)
    assert sorted(set(product) & set(framework)) == []
    assert installed_digests(site, framework) == framework

    # every module imports from the package folders the framework made
    done = subprocess.run([str(python), "-I", "-c", IMPORT_ALL, *source_modules()], capture_output=True, text=True,
                          timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    files = json.loads(done.stdout)
    for name in source_modules():
        assert files[name] == str(site / (name.replace(".", "/") + SUFFIX))
    packages = {"quarv": "quarv/__init__.py", "quarv.utils": "quarv/utils/__init__.py",
                "quarv.utils.import_utils": "quarv/utils/import_utils/__init__.py"}
    for name, path in packages.items():
        assert files[name] == (str(site / path) if path in framework else None)

    # uninstalling either leaves the other's files as they were
    pip(python, "uninstall", "-y", "quarv-utils")
    assert installed_digests(site, framework) == framework
    assert set(installed_digests(site, product).values()) == {None}
    pip(python, "install", "--no-deps", "--no-index", str(wheel))
    pip(python, "uninstall", "-y", "quarv-framework-standins")
    assert installed_digests(site, product) == product
    assert set(installed_digests(site, framework).values()) == {None}
