"""Dorvex.stat of the FTP plug-in reading LIST lines built from fuzz data (the
client is a stand-in that answers LIST with the line). Lines are checked
against the module's two documented patterns and a plain rendering of the
fields they give."""

import calendar
import datetime
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils.dorvex.plugins.localhost.ftp import dorvex  # noqa: E402

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec", "Foo", "jan", "MAY"]
MODE_CHARS = "-dlrwxsStT"
LINE = {"text": ""}


class FakeFTP:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def connect(self, host, port, timeout):
        pass

    def login(self, user, passwd):
        pass

    def dir(self, path, callback):
        callback(LINE["text"])


dorvex.FTP = FakeFTP
PLUGIN = dorvex.Dorvex({"127.0.0.1": ("u", "p")})


def number(fdp, digits=4):
    return "".join("0123456789"[b % 10] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, digits)))


def build_line(fdp):
    if fdp.ConsumeProbability() < 0.15:
        return fdp.ConsumeUnicodeNoSurrogates(120)
    mode = "".join(MODE_CHARS[b % len(MODE_CHARS)] for b in fdp.ConsumeBytes(10))
    owner = fdp.PickValueInList(["user", "0", "1000", "a_b", "u-x"])
    group = fdp.PickValueInList(["", " grp", " 0", " 100"])
    month = fdp.PickValueInList(MONTHS)
    day = str(fdp.ConsumeIntInRange(1, 31)) if fdp.ConsumeBool() else number(fdp, 2)
    if fdp.ConsumeBool():
        when = f"{number(fdp, 2)}:{number(fdp, 2)}"
    else:
        when = str(fdp.ConsumeIntInRange(1900, 2100)) if fdp.ConsumeProbability() < 0.8 else number(fdp, 5)
    name = fdp.PickValueInList(["file.txt", "/dir/file.txt", "other", "file.txt/"])
    sep = fdp.PickValueInList([" ", " ", " ", "  ", "\t", ""])
    return sep.join([mode, number(fdp, 3), owner + group, number(fdp, 12), month, day, when, name]) + fdp.PickValueInList(["", " ", "\r\n"])


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    line = build_line(fdp)
    LINE["text"] = line
    try:
        record = PLUGIN.stat("ftp://127.0.0.1/dir/file.txt", 5)
    except (ValueError, KeyError, OverflowError) as exc:
        error = exc
    except Exception as exc:
        assert type(exc) is Exception, (line, exc)
        error = exc
    else:
        error = None
    recent = re.match(dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_RECENT, line)
    match = recent or re.match(dorvex.STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT, line)
    if match is None:
        assert error is not None and "was not found" in str(error), (line, error)
        return
    if error is not None:
        return
    assert os.path.basename(match["filename"]) == "file.txt", (line, record)
    assert record.st_nlink == int(match["num_links"]) and record.st_size == int(match["size"]), (line, record)
    assert record.st_mode == dorvex.filemode_to_mode(match["mode"]), (line, record)
    owner = match["owner"]
    assert record.st_uid == (int(owner) if owner.isdecimal() else owner), (line, record)
    if recent is None:
        moment = datetime.datetime.strptime(f"{match['month']} {match['day']} {match['year']}", "%b %d %Y")
        assert record.st_mtime == calendar.timegm(moment.timetuple()), (line, record)
    else:
        now = time.time()
        assert now - 367 * 86400 <= record.st_mtime <= now + 86400 * 2, (line, record)


if __name__ == "__main__":
    run(test_one_input)
