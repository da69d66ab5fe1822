"""Deep input never takes the interpreter down: every native path that recurses through user objects
(text forms, comparisons, hashing, walks, copies, merges, dumps, loaders, calls back into itself)
raises RecursionError or gives its result, at the default recursion limit and at raised ones, where
native frames would overflow the C stack before the interpreter's own limit trips.

One table: each row builds a deep object in a child interpreter and calls the entry point on it, once
per limit. The children run side by side, as many as there are cores."""

import os
import signal
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

DEPTH = 100_000
# the default limit; one at which native frames exhaust the C stack first; one far beyond any stack
LIMITS = (None, 50_000, 10_000_000)

PRELUDE = f"""
import sys
DEPTH = {DEPTH}
def nest(wrap, leaf, depth=None):
    made = leaf
    depth = DEPTH if depth is None else depth
    for _ in range(depth):
        made = wrap(made)
    return made
"""

RUN = """
if LIMIT:
    sys.setrecursionlimit(LIMIT)
try:
    run()
    outcome = "result"
except RecursionError:
    outcome = "RecursionError"
print("outcome:", outcome, flush=True)
"""


def row(name, code, expected="RecursionError", limits=LIMITS):
    """A case: `code` defines run(); at the default limit its outcome is `expected`, at a raised
    one it is RecursionError or a result."""
    return name, textwrap.dedent(code), expected, limits


MARKUP = """
from quarv.utils.yaml.exceptions import MarkupError
from quarv.utils.yaml.markup import Processor
def unwrapped(fn):
    try:
        return fn()
    except MarkupError as error:
        cause = error
        while isinstance(cause, MarkupError) and cause.__cause__ is not None:
            cause = cause.__cause__
        raise cause
"""


def markup_row(name, code):
    return row(name, MARKUP + textwrap.dedent(code))

CASES = [
    # ----- dicts
    row("dicts.recursive_update", """
        from quarv.utils.dicts import recursive_update
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: recursive_update({}, deep, list_extend=True)
    """),
    row("dicts.recursive_update-rebound", """
        import quarv.utils.dicts as dicts
        native = dicts.recursive_update
        dicts.recursive_update = lambda a, b, list_extend=False: native(a, b, list_extend=list_extend)
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: dicts.recursive_update({}, deep)
    """),
    row("dicts.recursive_setdefault", """
        from quarv.utils.dicts import recursive_setdefault
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: recursive_setdefault({}, deep)
    """),
    row("dicts.recursive_cast", """
        from collections import OrderedDict
        from quarv.utils.dicts import recursive_cast
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: recursive_cast(deep, OrderedDict)
    """),
    row("dicts.enforce_max_key_value_length", """
        from quarv.utils.dicts import enforce_max_key_value_length
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: enforce_max_key_value_length(deep)
    """),
    row("dicts.set_dict_by_key_path", """
        from quarv.utils.dicts import set_dict_by_key_path
        run = lambda: set_dict_by_key_path({}, ["k"] * DEPTH, 1)
    """, expected="result"),
    # the interpreter's own JSON decoder overflows the C stack beyond a limit of about 100,000
    row("dicts.load_dict_from_json_string", """
        from quarv.utils.dicts import load_dict_from_json_string
        run = lambda: load_dict_from_json_string('{"k":' * DEPTH + '{}' + '}' * DEPTH)
    """, limits=LIMITS[:2]),
    # the values are compared by the interpreter's own comparison of dicts, which overflows the C
    # stack at a raised limit in plain Python code as well
    row("dicts.create_extended_dict", """
        from quarv.utils.dicts import create_extended_dict
        ours, theirs = nest(lambda inner: {"k": inner}, 1), nest(lambda inner: {"k": inner}, 2)
        run = lambda: create_extended_dict({"k": ours}, {"k": theirs})
    """, limits=(None,)),
    # ----- parvix: no recursion of its own; user code calling back in
    row("parvix.expand_nargs_list-reentered", """
        from quarv.utils.parvix import expand_nargs_list
        class Word(str):
            def split(self, separator):
                return expand_nargs_list([self.inner])
        def word(inner):
            made = Word("w")
            made.inner = inner
            return made
        deep = nest(word, "leaf")
        run = lambda: expand_nargs_list([deep])
    """),
    # ----- yaml.dumper
    row("yaml.dumper.OrderedSafeDumper", """
        from collections import OrderedDict
        import yaml
        from quarv.utils.yaml.dumper import OrderedSafeDumper
        deep = nest(lambda inner: OrderedDict(k=inner), OrderedDict())
        run = lambda: yaml.dump(deep, Dumper=OrderedSafeDumper)
    """),
    # ----- yaml.markup (the walk reports a failure as a MarkupError; run() raises its innermost cause)
    markup_row("yaml.markup.Processor-dict", """
        deep = nest(lambda inner: {"k": inner}, "%{top}")
        run = lambda: unwrapped(lambda: Processor()({"top": 1, "deep": deep}))
    """),
    markup_row("yaml.markup.Processor-list", """
        deep = nest(lambda inner: [inner, "%{top}"], "leaf")
        run = lambda: unwrapped(lambda: Processor()({"top": 1, "deep": deep}))
    """),
    markup_row("yaml.markup.Processor-ordered-dict", """
        from collections import OrderedDict
        deep = nest(lambda inner: OrderedDict(k=inner), "%{top}")
        run = lambda: unwrapped(lambda: Processor()({"top": 1, "deep": deep}))
    """),
    markup_row("yaml.markup.Processor-overridden-walk", """
        class Overriding(Processor):
            def _recurse(self, data, index, locations=None):
                return super()._recurse(data, index, locations=locations)
            def _iter_mutable_mapping(self, data, index, locations=None):
                yield from super()._iter_mutable_mapping(data, index, locations=locations)
        deep = nest(lambda inner: {"k": [inner]}, "%{top}")
        run = lambda: unwrapped(lambda: Overriding()({"top": 1, "deep": deep}))
    """),
    # ----- mirrane
    row("mirrane.to_plaintext", """
        from quarv.utils.mirrane import to_plaintext
        class Wrapped:
            def __init__(self, inner):
                self.inner = inner
            def __str__(self):
                return to_plaintext(self.inner)
        deep = nest(Wrapped, "leaf")
        run = lambda: to_plaintext(deep)
    """),
    row("mirrane.SecretString.__dir__", """
        from quarv.utils.mirrane import SecretString
        def secret(inner):
            made = SecretString.__new__(SecretString)
            made.data = inner
            return made
        deep = nest(secret, "leaf")
        run = lambda: dir(deep)
    """),
    # ----- email
    row("email.EmailMsg.__str__", """
        from quarv.utils.email import EmailMsg
        class Nested(EmailMsg):
            def message(self):
                str(self.inner)
                return super().message()
        def nested(inner):
            made = Nested(from_email="a@b.c", to_email="d@e.f")
            made.inner = inner
            return made
        deep = nest(nested, "leaf")
        run = lambda: str(deep)
    """),
    # ----- import_utils
    row("import_utils.legacy.translate", """
        from quarv.utils.import_utils import LegacyImporter
        LegacyImporter.register(lambda name: LegacyImporter.translate(name + "x"), lambda name: None)
        run = lambda: LegacyImporter.translate("deep")
    """),
    row("import_utils.legacy.find_spec", """
        from quarv.utils.import_utils import LegacyImporter
        LegacyImporter.register(**{f"deep{i}": f"deep{i + 1}" for i in range(DEPTH)}, **{f"deep{DEPTH}": "json"})
        LegacyImporter.install()
        def run():
            import deep0
    """),
    row("import_utils.flex.load", """
        import os, tempfile
        from quarv.utils.import_utils.flex import FlexImporter
        path = os.path.join(tempfile.mkdtemp(), "again.py")
        with open(path, "w") as file:
            file.write("from quarv.utils.import_utils.flex import FlexImporter\\nFlexImporter().load(__file__)\\n")
        run = lambda: FlexImporter().load(path)
    """),
    # ----- veltrane
    row("veltrane.Schema.__str__", """
        from quarv.utils.veltrane import Schema
        deep = nest(Schema, int)
        run = lambda: str(deep)
    """),
    row("veltrane.And.__repr__", """
        from quarv.utils.veltrane import And
        deep = nest(And, int)
        run = lambda: repr(deep)
    """),
    row("veltrane.Or.__str__", """
        from quarv.utils.veltrane import Or
        deep = nest(lambda inner: Or(inner, str), int)
        run = lambda: str(deep)
    """),
    row("veltrane.And.validate", """
        from quarv.utils.veltrane import And
        deep = nest(And, int)
        run = lambda: deep.validate(1)
    """),
    row("veltrane.Or.validate", """
        from quarv.utils.veltrane import Or
        deep = nest(lambda inner: Or(inner, str), int)
        run = lambda: deep.validate(1)
    """),
    row("veltrane.Schema.validate-nested-schema", """
        from quarv.utils.veltrane import Schema
        deep = nest(Schema, int)
        run = lambda: deep.validate(1)
    """),
    row("veltrane.Schema.validate-deep-data", """
        from quarv.utils.veltrane import Optional, Schema
        inner = {}
        schema = Schema(inner)
        inner[Optional("k")] = schema
        deep = nest(lambda data: {"k": data}, {})
        run = lambda: schema.validate(deep)
    """),
    row("veltrane.ListOf.validate", """
        from quarv.utils.veltrane import ListOf
        schema = nest(ListOf, int)
        data = nest(lambda inner: [inner], 1)
        run = lambda: schema.validate(data)
    """),
    # the default paths of a schema are as long as it is deep: their memory grows with the square
    row("veltrane.Schema.collect_defaults", """
        from quarv.utils.veltrane import Default, Schema
        schema = Schema(nest(lambda inner: {"k": inner}, {"z": Default(int, 0)}, depth=5000))
        run = lambda: schema.collect_defaults()
    """),
    row("veltrane.Schema.apply_defaults", """
        from quarv.utils.veltrane import Default, Schema
        schema = Schema(nest(lambda inner: {"k": inner}, {"z": Default(int, 0)}, depth=5000))
        run = lambda: schema.apply_defaults({})
    """),
    row("veltrane.Schema.apply_fallback", """
        from quarv.utils.veltrane import Fallback, Schema
        schema = Schema({"y": int, **nest(lambda inner: {"k": inner}, {"z": Fallback(int, "y")}, depth=5000)})
        run = lambda: schema.apply_fallback({"y": 1, **nest(lambda inner: {"k": inner}, {}, depth=5000)})
    """),
    row("veltrane.Path.__hash__", """
        from quarv.utils.veltrane import Path
        deep = nest(lambda inner: Path((inner,)), "leaf")
        run = lambda: hash(deep)
    """),
    row("veltrane.Path.__eq__", """
        from quarv.utils.veltrane import Path
        ours, theirs = (nest(lambda inner: Path((inner,)), leaf) for leaf in ("a", "b"))
        run = lambda: ours == theirs
    """),
    # ----- locations
    row("locations.location_deepcopy", """
        from quarv.utils.locations import location_deepcopy
        deep = nest(lambda inner: {"k": inner}, {})
        run = lambda: location_deepcopy(deep)
    """),
    row("locations.recursive_location_update", """
        from quarv.utils.locations import recursive_location_update
        data, new_data = nest(lambda inner: {"k": inner}, {}), nest(lambda inner: {"k": inner}, {"z": 1})
        records, new_records = nest(lambda inner: {"k": inner}, {}), nest(lambda inner: {"k": inner}, {"z": {}})
        run = lambda: recursive_location_update(data, new_data, records, new_records)
    """),
    row("locations.recursive_location_setdefault", """
        from quarv.utils.locations import recursive_location_setdefault
        data, new_data = nest(lambda inner: {"k": inner}, {}), nest(lambda inner: {"k": inner}, {"z": 1})
        records, new_records = nest(lambda inner: {"k": inner}, {}), nest(lambda inner: {"k": inner}, {"z": {}})
        run = lambda: recursive_location_setdefault(data, new_data, records, new_records)
    """),
    # composing takes time that grows faster than the depth: 20,000 levels are deep enough here
    row("locations.LocSafeLoader-sequences", """
        import yaml
        from quarv.utils.locations import LocSafeLoader
        run = lambda: yaml.load("[" * 20_000 + "]" * 20_000, Loader=LocSafeLoader)
    """),
    row("locations.LocSafeLoader-mappings", """
        import yaml
        from quarv.utils.locations import LocSafeLoader
        run = lambda: yaml.load("{k: " * 20_000 + "1" + "}" * 20_000, Loader=LocSafeLoader)
    """),
]

PARAMS = [
    pytest.param(name, limit, id=f"{name}-limit={limit or 'default'}")
    for name, _, _, limits in CASES for limit in limits
]
EXPECTED = {name: expected for name, _, expected, _ in CASES}


def run_child(code, limit):
    script = PRELUDE + code + f"\nLIMIT = {limit!r}\n" + RUN
    try:
        return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                              env=dict(os.environ, PYTHONFAULTHANDLER="1"))
    except subprocess.TimeoutExpired as expired:
        return expired


@pytest.fixture(scope="module")
def outcomes():
    """Every child of the table, run concurrently: (name, limit) -> its completed process."""
    jobs = [(name, code, limit) for name, code, _, limits in CASES for limit in limits]
    with ThreadPoolExecutor(max_workers=max(2, os.cpu_count() or 2)) as pool:
        done = pool.map(lambda job: run_child(job[1], job[2]), jobs)
        return {(name, limit): result for (name, _, limit), result in zip(jobs, done)}


@pytest.mark.parametrize("name, limit", PARAMS)
def test_deep_input_raises_recursion_error_or_gives_a_result(outcomes, name, limit):
    result = outcomes[name, limit]
    if isinstance(result, subprocess.TimeoutExpired):
        pytest.fail(f"no outcome after {result.timeout} s")
    if result.returncode < 0:
        pytest.fail(f"killed by {signal.Signals(-result.returncode).name}\n{result.stderr[-3000:]}")
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Fatal Python error" not in result.stderr, result.stderr[-3000:]
    lines = [line for line in result.stdout.splitlines() if line.startswith("outcome: ")]
    assert len(lines) == 1, result.stdout[-3000:]
    outcome = lines[0].removeprefix("outcome: ")
    if limit is None:
        assert outcome == EXPECTED[name]
    else:
        assert outcome in ("RecursionError", "result")
