"""The escape-sequence scanner of quarv.utils.ansi against the module's own
ESCAPE_SEQUENCE pattern."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
import atheris  # noqa: E402
from _harness import run  # noqa: E402

from quarv.utils import ansi  # noqa: E402

# bias the alphabet towards the characters the pattern cares about
# the documented pattern text, compiled here on its own
DOCUMENTED = re.compile(r"(\x9B|\x1B\[)[0-?]*[ -\/]*[@-~]")
ALPHABET = "\x1b\x9b[0;?/ !@A~m-\x7fa\n\u00e9\U0001f600"


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        line = fdp.ConsumeUnicodeNoSurrogates(300)
    else:
        line = "".join(ALPHABET[b % len(ALPHABET)] for b in fdp.ConsumeBytes(300))
    got = ansi.escape(line)
    want = ansi.ESCAPE_SEQUENCE.sub("", line)
    assert got == want == DOCUMENTED.sub("", line), (line, got, want)


if __name__ == "__main__":
    run(test_one_input)
