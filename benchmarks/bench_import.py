"""What the legacy-name hook adds to imports of names it does not translate.

Imports 2,000 small generated modules in child interpreters: without a hook, with the native
LegacyImporter installed (some legacy names registered, and optionally a cheap translator pair), and
with a plain Python hook of the same algorithm installed the same way. Each child is run several
times and the best run counts. Then times the hook's find_spec on such a name directly, in this
process. Prints the cost per import and the differences.

Run: python benchmarks/bench_import.py [modules] [runs]
"""

import json
import os
import subprocess
import sys
import tempfile
import textwrap
import timeit
from pathlib import Path

# What a Python implementation of the hook does for every import (the translation, then None).
PYTHON_HOOK = textwrap.dedent('''
    import sys
    from importlib.abc import MetaPathFinder
    from importlib.util import find_spec

    class PythonImporter(MetaPathFinder):
        _importmap = {}
        _reverse_importmap = {}
        _custom_translators = []
        _custom_reverse_translators = []

        @classmethod
        def translate(cls, name):
            if name in cls._importmap:
                return cls._importmap[name]
            for key in cls._importmap:
                if name.startswith(key + "."):
                    return name.replace(key, cls._importmap[key], 1)
            for translator in cls._custom_translators:
                result = translator(name)
                if result is not None:
                    return result
            return None

        @classmethod
        def register(cls, *args, **kwargs):
            if args:
                translator, reverse_translator = args
                cls._custom_translators.append(translator)
                cls._custom_reverse_translators.append(reverse_translator)
            if kwargs:
                cls._importmap.update(kwargs)
                cls._reverse_importmap.update({v: k for k, v in kwargs.items()})

        @classmethod
        def find_spec(cls, name, path=None, target=None):
            new_name = cls.translate(name)
            if new_name is None:
                return None
            raise AssertionError("the benchmark imports no legacy name")

        @classmethod
        def install(cls):
            if cls not in sys.meta_path:
                sys.meta_path.insert(0, cls)
''')

CHILD = textwrap.dedent('''
    import json, sys, time
    folder, count, hook, translators = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4] == "yes"
    sys.path.insert(0, folder)
    if hook == "native":
        from quarv.utils.import_utils.legacy import LegacyImporter as Importer
    elif hook == "python":
        exec(compile(open(folder + "/python_hook.py").read(), "python_hook.py", "exec"))
        Importer = PythonImporter
    if hook != "none":
        # some legacy names, none of them a prefix of the modules imported below
        Importer.register(**{f"legacy_package_{i}": f"modern.package_{i}" for i in range(20)})
        Importer.register(**{f"legacy.tools.t{i}": f"modern.tools.t{i}" for i in range(10)})
        if translators:
            Importer.register(lambda name: None, lambda name: None)
        Importer.install()
    names = [f"generated_{i:05d}" for i in range(count)]
    start = time.perf_counter()
    for name in names:
        __import__(name)
    elapsed = time.perf_counter() - start
    assert all(name in sys.modules for name in names)
    print(json.dumps(elapsed))
''')


def best_child_time(folder, count, hook, translators, runs):
    best = float("inf")
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", CHILD, str(folder), str(count), hook, translators],
                             capture_output=True, text=True, check=True).stdout
        best = min(best, json.loads(out))
    return best


def direct_find_spec(translators):
    """Best time of one find_spec call on a name that does not translate, native and Python."""
    import importlib.util

    spec = importlib.util.find_spec("quarv.utils.import_utils.legacy")
    native = importlib.util.module_from_spec(spec)  # a copy of its own: its registrations stay here
    spec.loader.exec_module(native)
    namespace = {}
    exec(PYTHON_HOOK, namespace)
    results = {}
    for label, importer in (("native", native.LegacyImporter), ("python", namespace["PythonImporter"])):
        importer.register(**{f"legacy_package_{i}": f"modern.package_{i}" for i in range(20)})
        importer.register(**{f"legacy.tools.t{i}": f"modern.tools.t{i}" for i in range(10)})
        if translators:
            importer.register(lambda name: None, lambda name: None)
        find_spec = importer.find_spec
        assert find_spec("generated_00001", None, None) is None
        timer = timeit.Timer(lambda: find_spec("generated_00001", None, None))
        loops = 200_000
        results[label] = min(timer.repeat(repeat=5, number=loops)) / loops
    return results


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for i in range(count):
            (folder / f"generated_{i:05d}.py").write_text(f"VALUE = {i}\n")
        (folder / "python_hook.py").write_text(PYTHON_HOOK)
        best_child_time(folder, count, "none", "no", 1)  # writes the byte code caches
        print(f"{count} imports of generated modules, best of {runs} child interpreters each\n")
        print(f"{'hook':<34}{'per import':>12}{'added':>12}")
        base = best_child_time(folder, count, "none", "no", runs)
        print(f"{'none':<34}{base / count * 1e6:>10.2f}us{'':>12}")
        for translators in ("no", "yes"):
            for hook in ("native", "python"):
                elapsed = best_child_time(folder, count, hook, translators, runs)
                label = f"{hook}, 30 names" + (", 1 translator pair" if translators == "yes" else "")
                print(f"{label:<34}{elapsed / count * 1e6:>10.2f}us{(elapsed - base) / count * 1e6:>+10.2f}us")

    print("\nfind_spec of a name that does not translate, called directly (30 names registered)")
    for translators in (False, True):
        times = direct_find_spec(translators)
        label = "with 1 translator pair" if translators else "names only"
        print(f"  {label:<24} native {times['native'] * 1e9:7.0f} ns   python {times['python'] * 1e9:7.0f} ns   "
              f"python/native {times['python'] / times['native']:.1f}x")


if __name__ == "__main__":
    main()
