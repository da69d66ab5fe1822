"""filemode_to_mode of the FTP plug-in: the permission column of a LIST line
read back into an st_mode number, against the interpreter's stat.filemode."""

import os
import stat
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils.dorvex.plugins.localhost.ftp import dorvex  # noqa: E402

MODE_CHARS = "-dlcbpsrwxStT?"


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    choice = fdp.ConsumeIntInRange(0, 2)
    if choice == 0:
        mode = fdp.ConsumeIntInRange(0, 0o177777)
        if stat.S_IFMT(mode) not in (stat.S_IFDIR, stat.S_IFREG, stat.S_IFLNK, stat.S_IFCHR, stat.S_IFBLK,
                                     stat.S_IFIFO, stat.S_IFSOCK):
            mode = stat.S_IMODE(mode) | stat.S_IFREG
        text = stat.filemode(mode)
        assert dorvex.filemode_to_mode(text) == mode, (oct(mode), text)
        return
    if choice == 1:
        text = "".join(MODE_CHARS[b % len(MODE_CHARS)] for b in fdp.ConsumeBytes(12))
    else:
        text = fdp.ConsumeUnicodeNoSurrogates(40)
    try:
        result = dorvex.filemode_to_mode(text)
    except (ValueError, KeyError, TypeError, IndexError):
        return
    assert isinstance(result, int) and result >= 0, (text, result)


if __name__ == "__main__":
    run(test_one_input)
