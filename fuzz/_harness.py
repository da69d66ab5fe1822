"""Shared start-up of the fuzz targets: each target is run as
``python fuzz/<target>.py [libFuzzer/atheris options]``."""

import sys

import atheris


# Without native coverage feedback the corpus does not grow, so libFuzzer's
# length control would keep inputs tiny; let every input use the full length.
DEFAULTS = ["-len_control=0", "-max_len=1024"]


def run(test_one_input):
    argv = sys.argv[:1] + [d for d in DEFAULTS if not any(a.startswith(d.split("=")[0] + "=") for a in sys.argv[1:])]
    atheris.Setup(argv + sys.argv[1:], test_one_input)
    atheris.Fuzz()


def text(data, limit=512):
    return atheris.FuzzedDataProvider(data).ConsumeUnicodeNoSurrogates(limit)
