"""The example of the README, run as a user runs it."""

import pathlib

import pytest
import yaml
from fresh import run_fresh

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "road.py"
DATA = EXAMPLE.parent / "road"


# The example run as a script: its path as sys.argv[0] and its folder first on sys.path, without the
# administrator address a user may have in the environment.
RUN_SCRIPT = """
    import os, runpy, sys
    os.environ.pop("ROAD_ADMIN", None)
    script = sys.argv[1]
    sys.argv = sys.argv[1:]
    sys.path[0] = os.path.dirname(script)
    runpy.run_path(script, run_name="__main__")
"""


def run(*args, cwd=None):
    return run_fresh(RUN_SCRIPT, EXAMPLE, *args, cwd=cwd, check=False)


def test_without_arguments_it_shows_the_whole_road_and_a_located_error():
    done = run()
    assert done.returncode == 0, done.stderr
    result_text, _, rest = done.stdout.partition("servers.web1.port")
    result = yaml.safe_load(result_text)
    assert result["site"] == {"name": "road-demo-staging", "admin": "ops@example.org", "password": "*" * 11}
    assert result["network"] == {"subnet": "10.0.0.0/24", "gateway": "10.0.0.1"}
    assert result["servers"] == {
        "web1": {"host": "10.0.0.11", "port": 8080, "timeout": 30},
        "web2": {"host": "10.0.0.12", "timeout": 60, "port": 8443},
    }
    assert result["tags"] == ["monitored", "backed-up", "eu-west"]
    assert "s3cret" not in done.stdout
    assert rest.splitlines()[0] == " is set at site.yaml line:12 column:5"
    assert "site.name is set at override.yaml line:6 column:3" in rest
    assert "broken.yaml is refused: broken.yaml line:14 column:11 int('eighty') raised ValueError" in rest


def test_given_paths_it_works_on_the_users_files(tmp_path):
    main = tmp_path / "my.yaml"
    main.write_text((DATA / "site.yaml").read_text().replace("%INCLUDE{network.yaml}", "%INCLUDE{net.yaml}"))
    (tmp_path / "net.yaml").write_text("subnet: 192.168.0.0/24\ngateway: 192.168.0.1\n")
    done = run(main, cwd="/")
    assert done.returncode == 0, done.stderr
    result = yaml.safe_load(done.stdout.partition("servers.web1.port")[0])
    assert result["network"]["gateway"] == "192.168.0.1" and result["site"]["name"] == "road-demo"
    assert "servers.web1.port is set at my.yaml line:12 column:5" in done.stdout
    assert "refused" not in done.stdout


@pytest.mark.parametrize("content, expected", [
    (None, "FileNotFoundError: [Errno 2] No such file or directory:"),
    ("a: [1, 2\n", "ParserError: while parsing a flow sequence"),
    (b"\xd0\x00\xff", "UnicodeDecodeError:"),
    ('a: "%{no.such.key}"\n', "MarkupError: Caught error while processing markups: Index:  ['a'] Markup: %{no.such.key}"),
    ('a: "%INCLUDE{absent.yaml}"\n', "(FileNotFoundError: [Errno 2] No such file or directory: 'absent.yaml')"),
    ((DATA / "broken.yaml").read_text(), "SchemaError: bad.yaml line:14 column:11 int('eighty') raised ValueError"),
], ids=["missing file", "not YAML", "not text", "failing reference", "failing include", "schema"])
def test_bad_input_ends_with_one_line_and_status_1(tmp_path, content, expected):
    path = tmp_path / "bad.yaml"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    done = run(path)
    assert done.returncode == 1
    assert done.stdout == ""
    lines = [line for line in done.stderr.splitlines() if not line.startswith(("WARNING:", "THIS IS A SHARED KEY"))]
    assert len(lines) == 1 and expected in lines[0], done.stderr
    assert "Traceback" not in done.stderr
