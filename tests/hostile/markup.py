# Hostile collaborators of quarv.utils.yaml.markup (see tests/test_hostile_collaborators.py).
import textwrap

# What every row of this module starts with: a document holding each markup, and a processor class
# that overrides one method with a stand-in at a time.
SETUP = textwrap.dedent('''
    import os, tempfile, types
    import quarv.utils.yaml.markup as markup
    from quarv.utils.mirrane import SecretString
    from quarv.utils.yaml.markup import Processor

    markup.ask_for_input = lambda prompt_text=None: "answer"   # no terminal in a child
    folder = tempfile.mkdtemp()
    INCLUDED = os.path.join(folder, "inc.yaml")
    with open(INCLUDED, "w") as file:
        file.write("included\\n")
    os.environ["HOSTILE_VAR"] = "env"
    ENCODED = SecretString.from_plaintext("hunter2").data

    TEXTS = {
        "match_reference_markup": "x %{a} y",
        "match_env_markup": "x %ENV{HOSTILE_VAR} y",
        "match_include_file_markup": "x %INCLUDE{" + INCLUDED + "} y",
        "match_ask_markup": "x %ASK{q} y",
        "match_enc_markup": "x %ENC{" + ENCODED + "} y",
        "match_cli_markup": "x %CLI{k, default=3} y",
        "match_callable_markup": "x %CALLABLE{os.path.join(a, b)} y",
        "match_extend_list_markup": "%EXTEND_LIST{l, l}",
    }
    HANDLERS = {matcher: handler for matcher, handler in [
        ("match_reference_markup", "p_reference_markup"), ("match_env_markup", "p_environ_markup"),
        ("match_include_file_markup", "p_file_markup"), ("match_ask_markup", "p_ask_markup"),
        ("match_enc_markup", "p_enc_markup"), ("match_cli_markup", "p_cli_markup"),
        ("match_callable_markup", "p_callable_markup"), ("match_extend_list_markup", "p_extend_list_markup")]}
    WALK_METHODS = ["_recurse", "_process_str", "_process_mutable_mapping", "_iter_mutable_mapping",
                    "_process_iterable", "_parse_callable_arguments", "match_extend_list_markup"]

    def document():
        data = {"a": 1, "l": [1, "%{a}"], "m": {"k": "%{a}", "%ENV{HOSTILE_VAR}": 2}, "s": "%{m}"}
        data.update({name[len("match_"):]: text for name, text in TEXTS.items()})
        return data

    def overriding(name, fn):
        """A processor whose method `name` is fn (called with self and the arguments)."""
        return type("Overriding", (Processor,), {name: fn})()

    def run(processor, data=None):
        return processor(document() if data is None else data)

    def returning(value):
        return lambda self, *args, **kwargs: value

    def raising(label):
        fn = raiser(label)
        return lambda self, *args, **kwargs: fn()
''')


def markup_row(name, code):
    return row("markup." + name, SETUP + textwrap.dedent(code))


ROWS = [
    # every matcher of the action table, overridden on a subclass
    markup_row("matchers", """
        for matcher in HANDLERS:
            for label, value in WRONG.items():
                attempt(matcher + " gives " + label, lambda: run(overriding(matcher, returning(value))))
            for label in RAISING:
                attempt(matcher + " raises " + label, lambda: run(overriding(matcher, raising(label))))
            def again(self, text, _m=matcher):
                run(Processor())
                self({"x": "%{y}", "y": 1})   # the same processor, inside its own call
                return getattr(Processor, _m)(self, text)
            attempt(matcher + " re-enters", lambda: run(overriding(matcher, again)))
            def emptying(self, text, _m=matcher):
                self._actions.clear()
                self.original.clear()
                return getattr(Processor, _m)(self, text)
            attempt(matcher + " empties the table and the data", lambda: run(overriding(matcher, emptying)))
            def refilling(self, text, _m=matcher):
                self._actions[:] = [(self.match_reference_markup, self.p_reference_markup)] * 3
                self.original.update({"a": [1, 2], "zz": "%{zz}"})
                return getattr(Processor, _m)(self, text)
            attempt(matcher + " refills the table and the data", lambda: run(overriding(matcher, refilling)))
    """),
    # what a matcher's match object hands back to the handler: span, group, groupdict, start, end
    markup_row("match-objects", """
        class Fake:
            def __init__(self, match, name, value):
                self.match, self.name, self.value = match, name, value
            def __getattr__(self, name):
                if name == self.name:
                    value = self.value
                    return value if callable(value) and not isinstance(value, type) else (lambda *a: value)
                return getattr(self.match, name)
            def __bool__(self):
                return True
        def faking(matcher, name, value):
            def match(self, text):
                found = getattr(Processor, matcher)(self, text)
                return Fake(found, name, value) if found else found
            return match
        for matcher in HANDLERS:
            for part in ("span", "group", "groupdict", "start", "end"):
                for label, value in WRONG.items():
                    attempt(f"{matcher} {part} gives {label}", lambda: run(overriding(matcher, faking(matcher, part, value))))
                for label in RAISING:
                    attempt(f"{matcher} {part} raises {label}", lambda: run(overriding(matcher, faking(matcher, part, raiser(label)))))
        # the issue's reproducer
        class FakeMatch:
            def __init__(self, m): self.m = m
            def span(self, *a): return object()
            def __getattr__(self, n): return getattr(self.m, n)
        class P(Processor):
            def match_reference_markup(self, value):
                m = super().match_reference_markup(value)
                return FakeMatch(m) if m else m
        attempt("span gives object()", lambda: P()({"a": 1, "b": "%{a}"}))
        # list extension pieces whose strip() gives no text
        class Piece(str):
            def strip(self, *a):
                return self.given
        class Group(str):
            def split(self, *a):
                return self.pieces
        class ExtendMatch:
            def __init__(self, group): self.g = group
            def group(self, n): return self.g
        for label, value in list(WRONG.items()) + [("12345", 12345)]:
            piece = Piece("a")
            piece.given = value
            group = Group("a")
            group.pieces = [piece]
            processor = Processor()
            processor.original = {"a": [1]}
            attempt("strip gives " + label, lambda: processor.p_extend_list_markup(ExtendMatch(group), "x", ["t"]))
            group.pieces = value
            attempt("split gives " + label, lambda: processor.p_extend_list_markup(ExtendMatch(group), "x", ["t"]))
            attempt("group gives " + label, lambda: processor.p_extend_list_markup(ExtendMatch(value), "x", ["t"]))
    """),
    # every markup handler, overridden on a subclass
    markup_row("handlers", """
        for matcher, handler in HANDLERS.items():
            for label, value in WRONG.items():
                attempt(handler + " gives " + label, lambda: run(overriding(handler, returning(value))))
            for label in RAISING:
                attempt(handler + " raises " + label, lambda: run(overriding(handler, raising(label))))
            def again(self, match, text, index, locations=None, _h=handler):
                self({"x": "%{y}", "y": 1})
                return getattr(Processor, _h)(self, match, text, index, locations=locations)
            attempt(handler + " re-enters", lambda: run(overriding(handler, again)))
            def emptying(self, match, text, index, locations=None, _h=handler):
                self._actions.clear()
                self.original.clear()
                self.markup_already_seen.clear()
                return getattr(Processor, _h)(self, match, text, index, locations=locations)
            attempt(handler + " empties the table and the data", lambda: run(overriding(handler, emptying)))
            def index_changing(self, match, text, index, locations=None, _h=handler):
                result = getattr(Processor, _h)(self, match, text, index, locations=locations)
                index.clear()
                index.extend([object(), 2 ** 70, "nope"])
                return result
            attempt(handler + " changes its key path", lambda: run(overriding(handler, index_changing)))
        # called directly with arguments of the wrong kind
        processor = Processor()
        run(processor)
        for matcher, handler in HANDLERS.items():
            match = getattr(processor, matcher)(TEXTS[matcher])
            for label, value in WRONG.items():
                attempt(handler + " match " + label, lambda: getattr(processor, handler)(value, TEXTS[matcher], ["t"]))
                attempt(handler + " data " + label, lambda: getattr(processor, handler)(match, value, ["t"]))
                attempt(handler + " index " + label, lambda: getattr(processor, handler)(match, TEXTS[matcher], value))
    """),
    # the walk's own methods, overridden on a subclass or set on the instance
    markup_row("walk-methods", """
        for method in WALK_METHODS:
            for label, value in WRONG.items():
                attempt(method + " gives " + label, lambda: run(overriding(method, returning(value))))
                def on_instance():
                    processor = Processor()
                    setattr(processor, method, lambda *a, **k: value)
                    return run(processor)
                attempt(method + " on the instance gives " + label, on_instance)
            for label in RAISING:
                attempt(method + " raises " + label, lambda: run(overriding(method, raising(label))))
            def again(self, *args, _m=method, **kwargs):
                if len(args) > 1 and isinstance(args[1], list) and len(args[1]) < 3:
                    self(document())
                return getattr(Processor, _m)(self, *args, **kwargs)
            attempt(method + " re-enters", lambda: run(overriding(method, again)))
        for label, pairs in [("pairs of wrong length", [(1,), (1, 2, 3)]), ("no pairs", [1, None]),
                             ("non-iterable", 5)]:
            attempt("_iter_mutable_mapping gives " + label, lambda: run(overriding("_iter_mutable_mapping", returning(pairs))))
        # the direct calls, with what they take of the wrong kind
        processor = Processor()
        run(processor)
        for method in ["_recurse", "_process_str", "_process_mutable_mapping", "_iter_mutable_mapping",
                       "_process_iterable"]:
            for label, value in WRONG.items():
                attempt(method + " index " + label, lambda: list(getattr(processor, method)({"a": "%{a}"}, value) or ()))
                attempt(method + " data " + label, lambda: list(getattr(processor, method)(value, ["t"]) or ()))
        for label, value in WRONG.items():
            attempt("_parse_callable_arguments " + label, lambda: processor._parse_callable_arguments(value))
        pairs = processor._iter_mutable_mapping({"a": "%{a}", "b": 2}, [])
        for how in ("send", "throw", "close"):
            def use():
                if how == "send":
                    return pairs.send(None), pairs.send(WRONG["object()"])
                if how == "throw":
                    return pairs.throw(KeyboardInterrupt)
                return pairs.close()
            attempt("generator " + how, use)
    """),
    # what the processor keeps on the instance, replaced
    markup_row("instance-state", """
        def with_state(name, value):
            def matcher(self, text):
                setattr(self, name, value)
                return Processor.match_reference_markup(self, text)
            return overriding("match_reference_markup", matcher)
        for name in ("_actions", "original", "markup_already_seen", "arguments", "kwargs", "_yaml_loader_cls",
                     "_inhibit_recurse_exception"):
            for label, value in WRONG.items():
                attempt(name + " " + label, lambda: run(with_state(name, value)))
        class Falsy:
            def __bool__(self):
                raise ValueError("no truth")
        for name in ("_inhibit_recurse_exception", "_yaml_loader_cls"):
            attempt(name + " without truth", lambda: run(with_state(name, Falsy()), {"a": "%{nope}", "i": TEXTS["match_include_file_markup"]}))
        for label, pairs in [("matchers of the wrong kind", [(v, v) for v in WRONG.values()]),
                             ("pairs of the wrong length", [(), (1,), (1, 2, 3)]), ("not pairs", list(WRONG.values()))]:
            def table(self, text, _p=pairs):
                self._actions = _p
                return None
            attempt("_actions " + label, lambda: run(overriding("match_reference_markup", table)))
        class Loader:
            def __init__(self, markupprocessor=None):
                pass
        for label, value in WRONG.items():
            class Giving(Loader):
                def load(self, path, locations=None, _v=value):
                    return _v
            attempt("loader load gives " + label, lambda: Processor(yaml_loader_cls=Giving)({"i": TEXTS["match_include_file_markup"]}, {}))
            attempt("loader class gives " + label, lambda: Processor(yaml_loader_cls=lambda **k: value)({"i": TEXTS["match_include_file_markup"]}, {}))
            attempt("locations " + label, lambda: Processor(yaml_loader_cls=Loader)({"i": TEXTS["match_include_file_markup"]}, value))
        for label in RAISING:
            class Failing(Loader):
                def load(self, path, locations=None, _l=label):
                    raise RAISING[_l]()
            attempt("loader load raises " + label, lambda: Processor(yaml_loader_cls=Failing)({"i": TEXTS["match_include_file_markup"]}, {}))
        class Flag:
            def __init__(self, outcome): self.outcome = outcome
            def __bool__(self):
                if isinstance(self.outcome, str):
                    raise RAISING[self.outcome]()
                return self.outcome
        for label in RAISING:
            attempt("flag truth raises " + label, lambda: Processor(Flag(label)))
        attempt("flag truth gives a number", lambda: Processor(Flag(2)))
    """),
    # every module-level name the processor looks up while it runs
    markup_row("module-names", """
        NAMES = ["BASE_PATTERN", "REFERENCE_PATTERN", "STORED_REFERENCE_PATTERN", "CALLABLE_PATTERN",
                 "INCLUDE_FILE_PATTERN", "ENV_PATTERN", "ASK_PATTERN", "ENC_PATTERN", "CLI_PATTERN",
                 "EXTEND_LIST_PATTERN", "_LIST_PATTERN", "MutableMapping", "Iterable", "SecretString", "typing",
                 "MarkupError", "utils", "import_utils", "ast", "yaml", "os", "logger", "wrap_split",
                 "ask_for_input"]
        class Everything:
            # an object whose every attribute is a function giving one value (or calling the
            # processor again first), and which gives it when called itself
            def __init__(self, value, again=False): self.value, self.again = value, again
            def __getattr__(self, name):
                return self
            def __call__(self, *a, **k):
                if self.again:
                    # once: a name that calls the processor at every use of itself would run it
                    # again at every depth, and the callable markup tries three ways at each
                    self.again = False
                    Processor()(document())
                return self.value
        class Raising:
            # an object whose every attribute is a function raising
            def __init__(self, label): self.label = label
            def __getattr__(self, name):
                return raiser(self.label)
            def __call__(self, *a, **k):
                raise RAISING[self.label]()
        def rebound(name, value, fn):
            saved = vars(markup)[name]
            setattr(markup, name, value)
            try:
                return fn()
            finally:
                setattr(markup, name, saved)
        cli = {"k": "%CLI{k}", "c": "%CLI{c}"}
        def every_markup():
            processor = Processor()
            processor.arguments = {"c": "[1, 2]"}
            return run(processor, {**document(), **cli, "%ENV{HOSTILE_VAR}": {"k": "%{a}"}})
        for name in NAMES:
            for label, value in WRONG.items():
                attempt(name + " is " + label, lambda: rebound(name, value, every_markup))
                attempt(name + " gives " + label, lambda: rebound(name, Everything(value), every_markup))
            for label in RAISING:
                attempt(name + " raises " + label, lambda: rebound(name, Raising(label), every_markup))
                attempt(name + " called raises " + label, lambda: rebound(name, raiser(label), every_markup))
            attempt(name + " re-enters", lambda: rebound(name, Everything(None, again=True), every_markup))
        # chainget that empties or refills the data it reads, then answers as the original would
        real = markup.utils.chainget
        for how in ("empties", "refills"):
            def chainget(tree, path, _how=how):
                if isinstance(tree, dict):
                    if _how == "empties":
                        tree.clear()
                    else:
                        tree.update({"a": [1, 2], "l": {"x": "%{a}"}})
                return real(tree, path)
            attempt("chainget " + how, lambda: rebound("utils", types.SimpleNamespace(chainget=chainget, get_argv_args=markup.utils.get_argv_args, str_to_number=markup.utils.str_to_number), every_markup))
    """),
    # the user's own objects in the data: keys, values and mappings whose dunders misbehave
    markup_row("walked-dunders", """
        import collections.abc
        outer = {}
        for label in RAISING:
            class Key(str):
                __hash__ = str.__hash__
                def __eq__(self, other, _l=label):
                    raise RAISING[_l]()
            attempt("key __eq__ raises " + label, lambda: Processor()({Key("a"): 1, "a": 2, "b": "%{a}"}))
            class Hashing(str):
                def __hash__(self, _l=label):
                    raise RAISING[_l]()
            attempt("key __hash__ raises " + label, lambda: Processor()({"%ENV{HOSTILE_VAR}": {Hashing("k"): 1}}))
            class Odd:
                def __str__(self, _l=label):
                    raise RAISING[_l]()
                __repr__ = __str__
            attempt("value __str__ raises " + label, lambda: Processor()({"a": Odd(), "b": "x %{a} y", "c": "%{nope}"}))
            class Iterating:
                def __iter__(self, _l=label):
                    raise RAISING[_l]()
            collections.abc.Iterable.register(Iterating)
            attempt("value __iter__ raises " + label, lambda: Processor()({"a": Iterating()}))
        for label, value in WRONG.items():
            Items = dict_giving(value, "items", "keys", "__iter__")
            attempt("mapping items gives " + label, lambda: Processor()({"a": Items(b="%{c}"), "c": 1}))
            class Mapping(collections.abc.MutableMapping):
                def __init__(self, *a): self.d = dict(*a)
                def __getitem__(self, k, _v=value): return _v
                def __setitem__(self, k, v): self.d[k] = v
                def __delitem__(self, k): del self.d[k]
                def __iter__(self): return iter(self.d)
                def __len__(self, _v=value): return _v if isinstance(_v, int) else len(self.d)
            attempt("mapping __getitem__ gives " + label, lambda: Processor()(Mapping({"a": "%{b}", "b": 1, "l": ["%{a}"]})))
            class Listing(list):
                def __iter__(self, _v=value):
                    return iter(_v) if isinstance(_v, (list, tuple)) else _v
            attempt("list __iter__ gives " + label, lambda: Processor()({"l": Listing(["%{a}"]), "a": 1}))
        # what is walked, emptied or refilled while it is walked, then answered as the original would
        data = {}
        class Emptying:
            def __iter__(self):
                data.clear()
                shown.clear()
                return iter(["%{a}"])
        collections.abc.Iterable.register(Emptying)
        class EmptyingKey(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                data.clear()
                return str.__eq__(self, other)
        shown = ["%{a}", Emptying(), "%{a}"]
        def walk_emptying():
            data.clear()
            data.update({"a": 1, "l": shown, "m": {"x": Emptying(), "y": "%{a}"}, "s": "%{l}"})
            return Processor()(data)
        attempt("an element empties the data and its list", walk_emptying)
        def key_emptying():
            data.clear()
            data.update({"a": 1, "m": {EmptyingKey("%ENV{HOSTILE_VAR}"): 1, "env": 2, "x": "%{a}"}})
            return Processor()(data)
        attempt("a key empties the data", key_emptying)
        class Refilling(dict):
            def items(self):
                self["new"] = "%{a}"
                return super().items()
        attempt("a mapping refills itself", lambda: Processor()({"a": 1, "m": Refilling(x="%{a}")}))
        class Original(dict):
            def __getitem__(self, key):
                self.clear()
                return dict.__getitem__(self, key)
            def __setitem__(self, key, value):
                raise ValueError("read-only")
        attempt("original empties on read", lambda: Processor()(Original({"a": [1], "b": "%{a}", "l": ["%{a}"]})))
    """),
]
