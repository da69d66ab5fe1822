"""quarv.utils.locations: LocSafeLoader on libyaml's parser gives the data, records and errors of the
pure parser."""

import io
import re
import textwrap
import time

import pytest
import yaml
from fresh import run_fresh

from quarv.utils.locations import LocSafeLoader, Location

pytestmark = pytest.mark.skipif(not yaml.__with_libyaml__, reason="PyYAML was built without libyaml")


class PureLoader(LocSafeLoader):
    """Overrides a scanner method, so it keeps the pure parser."""

    def scan_plain(self):
        return super().scan_plain()


class FramelessPureLoader(LocSafeLoader):
    """Keeps the pure parser without adding a frame to its scanning (for the recursion limit)."""

    DEFAULT_TAGS = dict(yaml.parser.Parser.DEFAULT_TAGS)


def shape_of_tree(tree):
    if isinstance(tree, dict):
        return (type(tree).__name__, getattr(tree, "file", None), getattr(tree, "line", None),
                getattr(tree, "column", None), [(repr(k), shape_of_tree(v)) for k, v in tree.items()])
    return repr(tree)


def shape_of_error(error):
    shape = [type(error).__name__, str(error)]
    for name in ("context_mark", "problem_mark"):
        mark = getattr(error, name, None)
        if mark is not None:
            shape.append((name, type(mark), mark.name, mark.index, mark.line, mark.column, mark.buffer, mark.pointer))
    if hasattr(error, "position"):
        shape.append(("position", error.position, error.name))
    return shape


def outcome(loader_class, source, mode):
    """What a caller sees: the data or the error, and the filled tree."""
    root = Location()
    try:
        loader = loader_class(source() if callable(source) else source, locations=root, file_name="conf.yaml")
    except Exception as error:  # the reader refuses while being made, on both paths
        return ("init", shape_of_error(error)), shape_of_tree(root), None
    compiled = hasattr(loader, "_compiled_parser")
    try:
        if mode == "single":
            result = ("data", repr(loader.get_single_data()))
        else:
            documents = []
            while loader.check_data():
                documents.append(loader.get_data())
            result = ("data", repr(documents))
    except RecursionError:
        result = ("RecursionError",)
    except Exception as error:
        result = ("error", shape_of_error(error))
    finally:
        loader.dispose()
    return result, shape_of_tree(root), compiled


INPUTS = {
    "str": lambda text: text,
    "bytes": lambda text: text.encode("utf-8"),
    "utf-16": lambda text: text.encode("utf-16"),
    "text stream": lambda text: lambda: io.StringIO(text),
    "byte stream": lambda text: lambda: io.BytesIO(text.encode("utf-8")),
}

# (text, whether libyaml's parser keeps it to the end of the load)
CORPUS = [
    ("a: 1\nb: [x, y]\n", True),
    ("plain: text\nsq: 'quo''ted'\ndq: \"d\\tq \\x41 \\u00e9 \\U0001F600\"\n", True),
    ("lit: |\n  line1\n  line2\nfold: >\n  a\n  b\n\n  c\nkeep: |+\n  x\n\nstrip: >-\n  y\nind: |2\n    z\n", True),
    ("flow: {a: 1, b: [2, 3], c: {d: e}}\nseq:\n- a\n-\n- - n1\n  - n2\n", True),
    ("base: &b {x: 1, y: [2]}\nd:\n  <<: *b\n  z: 3\nm:\n  <<: [*b, {w: 4}]\nref: *b\ns: !!set {p, q}\n", True),
    ("--- a\n--- b\n...\n--- [c, {d: e}]\n", True),
    ("a: 1\r\nb: [x,\r\n  y]\r\nc: |\r\n  l1\r\n  l2\r\n", True),
    ("ключ: значение\nk2: [ä, 😀x, '😀']\n😀k: v\n", True),
    ("\ufeffa: 1\nb: 2\n", True),
    ("? complex key\n: value\n? [a, b]\n: seq key\nempty:\nnull: ~\n", True),
    ("- !!str 1\n- !foo bar\n- !<tag:x> y\n- ! 12\n- !\n- [! , ! ]\n", True),
    ("- [!, a]\n", False),  # the pure scanner reads '!,' as one tag
    ("%TAG !e! tag:example.com,2000:\n--- !e!foo x\n", True),
    ("a: 2001-12-14t21:59:43.10-05:00\nb: 0x1f\nc: .inf\nd: yes\ne: !!binary aGVsbG8=\nf: 1_000\n", True),
    ("a: 'multi\n  line'\nb: \"fold\\\n  ed\"\nplain: multi\n  line\n", True),
    ("plain multi\n  line: x\n", False),  # refused by both: a key over two lines
    ("c: {d: , e:  , ? f, ? : g}\nh: [i: , j:  ]\n", True),  # empty scalars of flow mappings
    ("c: {? , d}\ne: [? , f]\n", None),  # libyaml places the empty key past the next token
    ("c: {d: #note\n  , e: f}\n", False),  # a comment between ':' and its empty value
    ("? a", True),  # no final line break: the empty value ends the text
    ("--- #c", True),
    ("a: x\u2028b: [1,\x85 2]\rc: 3", True),
    ("a:\t1\n", False),  # tabs: libyaml separates with them, the pure scanner refuses them
    ("k: 'a\tb'\n", False),
    ("a: |#x\n  y\n", False),  # a comment straight after block scalar indicators
    ("- [!!*x,]\n", False),  # a tag running into a flow indicator
    ("- !a?b!c x\n", False),
    ("[a?b, c]\n", False),  # '?' inside a plain scalar of a flow collection
    ("[a\ufeffb, c]\n", False),  # a byte order mark inside the text
    ("a: [1\n", False),  # refused by both
    ("a: 'unclosed\n", False),
    ("key: value\n  bad: indent\n", False),
    ("a: *undefined\n", False),
    ("a: &x 1\nb: &x 2\n", False),
    ("a: 1\n--- b\n", None),  # a second document: get_single_data refuses it on both paths
    ("%FOO bar\n--- x\n", False),  # libyaml refuses a directive the pure parser ignores
    ("a: \"\\uD800\"\n", False),
    ("[a:]\n", False),
    ("a: !foo x\nb: [1, 2]\n", True),  # refused by the constructor, with the pure reader's marks
    ("? [a, b]\n: 1\n", True),
    ("a:\n  <<: [1]\n", True),
    ("a: !!int nope\n", True),
    ("", True),
    ("# only a comment\n", True),
    ("x" * 1100 + ": v\n", False),
]


@pytest.mark.parametrize("mode", ["single", "all"])
@pytest.mark.parametrize("kind", INPUTS)
@pytest.mark.parametrize("text, stays", CORPUS)
def test_both_paths_give_the_same_data_records_and_errors(text, stays, kind, mode):
    source = INPUTS[kind](text)
    compiled = outcome(LocSafeLoader, source, mode)
    pure = outcome(PureLoader, source, mode)
    assert pure[2] is False
    assert compiled[:2] == pure[:2]


@pytest.mark.parametrize("text, stays", [case for case in CORPUS if case[1] is not None])
def test_the_compiled_parser_keeps_what_it_reads_as_the_pure_parser(text, stays):
    loader = LocSafeLoader(text, locations=Location())
    try:
        while loader.check_data():
            loader.get_data()
    except (yaml.YAMLError, ValueError):
        pass
    assert hasattr(loader, "_compiled_parser") is stays


def test_subclasses_that_change_the_pipeline_keep_the_pure_parser():
    class Resolving(LocSafeLoader):
        pass

    Resolving.add_implicit_resolver("!shout", re.compile(r"^[A-Z]+!$"), list("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
    Resolving.add_constructor("!shout", lambda loader, node: node.value.lower())
    assert hasattr(Resolving("a: 1", locations=Location()), "_compiled_parser")  # resolving is not parsing
    assert yaml.load("a: HI!", Loader=Resolving) == {"a": "hi!"}
    assert yaml.load("a: HI!", Loader=type("P", (Resolving, PureLoader), {})) == {"a": "hi!"}

    class Mixin(yaml.SafeLoader):
        def get_node(self):
            return super().get_node()

    for cls in (PureLoader, type("M", (LocSafeLoader, Mixin), {}), type("T", (LocSafeLoader,), {"DEFAULT_TAGS": {}})):
        assert not hasattr(cls("a: 1", locations=Location()), "_compiled_parser")


def test_a_later_document_refused_by_libyaml_goes_back_to_the_pure_parser():
    text = "a: 1\n---\nb: [x]\n---\nc: {d: 1\n"
    for source in (text, lambda: io.StringIO(text)):
        compiled, pure = outcome(LocSafeLoader, source, "all"), outcome(PureLoader, source, "all")
        assert compiled[:2] == pure[:2] and compiled[0][0] == "error"


def test_documents_read_in_any_order_and_after_dispose_behave_as_on_the_pure_path():
    def steps(cls):
        loader, seen = cls("a: 1\n--- b\n--- [c]\n", locations=Location()), []
        for step in ("check_node", "get_node", "get_node", "check_node", "get_single_node", "dispose", "check_node"):
            try:
                node = getattr(loader, step)()
                seen.append((step, node if not isinstance(node, yaml.Node) else (node.tag, node.start_mark.line)))
            except Exception as error:
                seen.append((step, type(error).__name__, str(error)))
        return seen

    assert steps(LocSafeLoader) == steps(PureLoader)


def test_constructor_errors_carry_the_pure_readers_marks():
    text = "a: 1\nb: !nope x\n"
    with pytest.raises(yaml.constructor.ConstructorError) as compiled:
        LocSafeLoader(text, locations=Location()).get_single_data()
    with pytest.raises(yaml.constructor.ConstructorError) as pure:
        PureLoader(text, locations=Location()).get_single_data()
    assert type(compiled.value.problem_mark) is yaml.error.Mark
    assert str(compiled.value) == str(pure.value) and "    b: !nope x\n       ^" in str(compiled.value)


def test_nesting_at_the_recursion_limit_and_past_the_native_stack():
    code = textwrap.dedent("""
        import sys, threading, yaml
        from quarv.utils.locations import LocSafeLoader, Location

        class Pure(LocSafeLoader):
            DEFAULT_TAGS = dict(yaml.parser.Parser.DEFAULT_TAGS)

        def outcome(cls, text):
            try:
                cls(text, locations=Location()).get_single_node()
                return "ok"
            except RecursionError:
                return "RecursionError"

        sys.setrecursionlimit(1000)
        for depth in range(470, 500):
            for text in ("[" * depth + "]" * depth, "{a: " * depth + "1" + "}" * depth, "- " * depth + "x\\n"):
                assert outcome(LocSafeLoader, text) == outcome(Pure, text), depth
        # far past what libyaml's composer could recurse on the native stack: a thread with a small
        # stack, and a limit the interpreter's own frames never reach
        sys.setrecursionlimit(10**6)
        threading.stack_size(1 << 19)
        seen = []
        def deep():
            text = "[" * 2000 + "]" * 2000
            loader = LocSafeLoader(text, locations=Location())
            loader.get_single_node()
            seen.append((outcome(LocSafeLoader, text), outcome(Pure, text), hasattr(loader, "_compiled_parser")))
        worker = threading.Thread(target=deep)
        worker.start()
        worker.join()
        print(*seen[0])
    """)
    result = run_fresh(code, timeout=600)
    assert result.stdout.split() == ["ok", "ok", "False"]  # the pure parser took the document over


def test_a_stream_given_back_to_the_pure_reader_reads_as_before(tmp_path):
    path = tmp_path / "conf.yaml"
    path.write_bytes(("a: 1\n" * 5000 + "b:\tx\n").encode())  # the tab sends it to the pure parser
    with open(path, "rb") as first, open(path, "rb") as second:
        compiled, pure = outcome(LocSafeLoader, first, "single"), outcome(PureLoader, second, "single")
    assert compiled[:2] == pure[:2] and compiled[0][0] == "error"
    path.write_bytes(b"a: 1\n" * 5000 + b"b: \xff\n")  # undecodable: the pure reader's error and position
    with open(path, "rb") as first, open(path, "rb") as second:
        compiled, pure = outcome(LocSafeLoader, first, "single"), outcome(PureLoader, second, "single")
    assert compiled[:2] == pure[:2] and "position 25003" in compiled[0][1][1]


def test_file_names_and_positions_of_a_file_stream(tmp_path):
    path = tmp_path / "named.yaml"
    path.write_text("top:\n  - a\n  - {b: c}\n")
    with open(path) as stream:
        root = Location()
        loader = LocSafeLoader(stream, locations=root)
        assert hasattr(loader, "_compiled_parser")
        assert loader.get_single_data() == {"top": ["a", {"b": "c"}]}
    assert str(root["top"][1]["b"]["c"]) == "named.yaml line:3 column:9"


class ReadOnlyStream:
    """A stream that can only be read, as a pipe or a socket is."""

    def __init__(self, text):
        self._inner = io.StringIO(text)
        self.reads = 0

    def read(self, size=-1):
        self.reads += 1
        return self._inner.read(size)


class FailingStream(io.BytesIO):
    """A seekable stream whose reads fail once the reader's first chunk is out."""

    def read(self, size=-1):
        if self.tell() >= 1 << 16:
            raise OSError("device gone")
        return super().read(size)


def test_streams_that_cannot_be_read_again_keep_the_pure_reader():
    # a stream the loader could not go back in is read as the pure reader reads it, as it arrives
    stream, plain = ReadOnlyStream("a: 1\n" * 20000), ReadOnlyStream("a: 1\n" * 20000)
    loader = LocSafeLoader(stream, locations=Location())
    yaml.SafeLoader(plain)
    assert not hasattr(loader, "_compiled_parser") and stream.reads == plain.reads < 10
    assert outcome(LocSafeLoader, lambda: ReadOnlyStream("a: [1, 2]\n"), "all")[:2] == \
        outcome(PureLoader, lambda: ReadOnlyStream("a: [1, 2]\n"), "all")[:2]


def test_a_stream_failing_later_fails_at_the_same_step_with_the_same_error():
    text = b"a: 1\n" * 40000
    compiled, pure = (outcome(cls, lambda: FailingStream(text), "single") for cls in (LocSafeLoader, PureLoader))
    assert compiled[:2] == pure[:2] and compiled[0][0] == "error" and "device gone" in compiled[0][1][1]


def test_the_stream_stays_the_callers_when_the_pure_parser_takes_over(tmp_path):
    path = tmp_path / "conf.yaml"
    path.write_text("a: 1\n" * 20000 + "b:\tx\n")
    with open(path) as stream:
        loader = LocSafeLoader(stream, locations=Location())
        with pytest.raises(yaml.scanner.ScannerError):
            loader.get_single_data()
        assert loader.stream is stream


def test_loaded_records_stay_visible_to_the_garbage_collector():
    import gc

    root = Location()
    loader = LocSafeLoader("a: {b: [1, x]}\n", locations=root, file_name="conf.yaml")
    node = loader.get_single_node()
    loader.construct_document(node)
    records = [root["a"], root["a"]["b"], root["a"]["b"][0], root["a"]["b"][0][1], node._location]
    assert all(gc.is_tracked(record) for record in records)
    # a cycle through a record's attributes is collected like any other
    probe = root["a"]["b"][1]["x"]
    probe.owner = [probe]
    alive = __import__("weakref").ref(probe)
    del root, records, probe, node, loader
    gc.collect()
    assert alive() is None


def test_loaders_composing_on_two_threads_at_once_each_keep_their_own_step():
    # "a" begins its step first and waits in resolve until "b" has begun its own; "a" is shorter and
    # ends its step while "b" is still in its own
    import threading
    barrier = threading.Barrier(2, timeout=30)

    class Waiting(LocSafeLoader):
        def resolve(self, *args):
            try:
                barrier.wait()
            except threading.BrokenBarrierError:
                pass
            return super().resolve(*args)

    texts = {name: "".join(f"{name}{i}: [{i}, {{k: v}}]\n" for i in range(n)) for name, n in (("a", 3), ("b", 7))}
    expected = {name: outcome(LocSafeLoader, text, "single") for name, text in texts.items()}
    got = {}

    def load(name):
        try:
            got[name] = outcome(Waiting, texts[name], "single")
        finally:
            barrier.abort()  # the other one goes on alone

    first = threading.Thread(target=load, args=("a",))
    first.start()
    while barrier.n_waiting == 0 and first.is_alive():
        time.sleep(0.001)
    second = threading.Thread(target=load, args=("b",))
    second.start()
    first.join()
    second.join()
    assert got == {name: (result, tree, True) for name, (result, tree, _) in expected.items()}
