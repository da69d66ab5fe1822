"""Throughput of quarv.utils.ansi.escape against the documented pattern's `sub` and strip-ansi.

About 50 MB (UTF-8 size) each of coloured log text, plain log text and coloured non-Latin log
text, each as one whole text and line by line; every output is checked identical before timing.
Prints MB/s and the ratios. Run: python benchmarks/bench_ansi.py [megabytes]
"""

import random
import re
import sys
import time

from quarv.utils.ansi import escape

try:
    from strip_ansi import strip_ansi
except ImportError:  # the `bench` extra is not installed
    strip_ansi = None

# What a Python implementation does: the documented pattern, compiled anew (not the module's object).
re.purge()
PATTERN = re.compile(r"(\x9B|\x1B\[)[0-?]*[ -\/]*[@-~]")

LEVELS = [("DEBUG", "2"), ("INFO", "32"), ("WARNING", "33"), ("ERROR", "1;31")]
LOGGERS = ["quarv.utils.dicts", "quarv.utils.yaml.markup", "scheduler.worker", "http.client"]
LATIN_WORDS = ["merged", "keys", "from", "config.yaml", "request", "took", "ms", "retrying", "connection",
               "user", "session", "opened", "closed", "queue", "length", "cache", "miss", "hit"]
NON_LATIN_WORDS = ["загружено", "ключей", "из", "конфигурации", "запрос", "занял", "мс", "повтор",
                   "соединение", "用户", "会话", "已打开", "已关闭", "队列", "长度", "缓存", "未命中"]


def log_line(rng, words, coloured):
    level, colour = rng.choice(LEVELS)
    stamp = f"2026-12-10 10:{rng.randrange(60):02d}:{rng.randrange(60):02d},{rng.randrange(1000):03d}"
    message = " ".join(rng.choice(words) for _ in range(rng.randrange(4, 14)))
    number = rng.randrange(100000)
    if not coloured:
        return f"{stamp} {level:<7} {rng.choice(LOGGERS)}: {message} {number}\n"
    return (f"\x1b[2m{stamp}\x1b[0m \x1b[{colour}m{level:<7}\x1b[0m \x1b[36m{rng.choice(LOGGERS)}\x1b[0m: "
            f"{message} \x1b[1m{number}\x1b[0m\n")


def corpus(megabytes, words, coloured, seed):
    rng = random.Random(seed)
    lines, size = [], 0
    while size < megabytes * 1_000_000:
        line = log_line(rng, words, coloured)
        lines.append(line)
        size += len(line.encode())
    return "".join(lines), size


def best_time(fn, arg, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn(arg)
        best = min(best, time.perf_counter() - start)
    return best


def whole(fn):
    return fn


def per_line(fn):
    return lambda lines: [fn(line) for line in lines]


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 50
    peers = [("escape", escape), ("pattern.sub", lambda text: PATTERN.sub("", text))]
    if strip_ansi is not None:
        peers.append(("strip-ansi", strip_ansi))
    else:
        print("strip-ansi is not installed (pip install '.[bench]'): left out")
    corpora = [
        ("coloured log", LATIN_WORDS, True),
        ("plain log", LATIN_WORDS, False),
        ("non-Latin coloured log", NON_LATIN_WORDS, True),
    ]
    print(f"{'text':<24}{'call':<7}" + "".join(f"{name + ' MB/s':>18}" for name, _ in peers)
          + "".join(f"{'x ' + name:>16}" for name, _ in peers[1:]))
    for label, words, coloured in corpora:
        text, size = corpus(megabytes, words, coloured, seed=len(label))
        lines = text.splitlines(keepends=True)
        expected = PATTERN.sub("", text)
        for name, fn in peers:
            assert fn(text) == expected, f"{name} differs on the {label}"
        for shape, arg, wrap, repeats in [("whole", text, whole, 5), ("lines", lines, per_line, 3)]:
            rates = [size / 1e6 / best_time(wrap(fn), arg, repeats) for _, fn in peers]
            ratios = [rates[0] / rate for rate in rates[1:]]
            print(f"{label:<24}{shape:<7}" + "".join(f"{rate:>18.1f}" for rate in rates)
                  + "".join(f"{ratio:>16.1f}" for ratio in ratios))


if __name__ == "__main__":
    main()
