# Hostile collaborators of quarv.utils.locations (see tests/test_hostile_collaborators.py).

PRELUDE = """
import io, yaml
import quarv.utils.locations as loc
from quarv.utils.locations import LocSafeLoader, Location, location_deepcopy
from quarv.utils.locations import recursive_location_update, recursive_location_setdefault
TEXT = "a: 1\\nb: [x, {c: 2}]\\n%EXTEND_LIST{l}: [3]\\nl: [1]\\n"

def load(text=TEXT, cls=LocSafeLoader, stream=False):
    tree = Location()
    loader = cls(io.StringIO(text) if stream else text, locations=tree, file_name="/x/f.yaml")
    try:
        return loader.get_single_data(), tree
    finally:
        loader.dispose()

def rebound(name, value, fn):
    saved = vars(loc)[name]
    setattr(loc, name, value)
    try:
        return fn()
    finally:
        setattr(loc, name, saved)
"""

ROWS = [
    # module-level names the loader, the merges and the record look up at call time
    row("locations.module-names", PRELUDE + """
        def everything():
            data, tree = load()
            load(stream=True)
            str(tree["a"])
            location_deepcopy(tree)
            recursive_location_update({"a": {"b": 1}, "l": [1]}, {"a": {"c": 2}, "%EXTEND_LIST{l}": [2]},
                                      Location(), Location(), list_extend=True)
            recursive_location_setdefault({"a": {}}, {"a": {"b": 1}}, Location(), Location())
        for name in ["Location", "ScalarNode", "SequenceNode", "MappingNode", "MutableMapping",
                     "MutableSequence", "LIST_EXTEND_PATTERN", "os", "location_deepcopy",
                     "recursive_location_update", "recursive_location_setdefault"]:
            for label, value in WRONG.items():
                attempt(name + " is " + label, lambda: rebound(name, value, everything))
            for label in RAISING:
                attempt(name + " raises " + label, lambda: rebound(name, raiser(label), everything))
    """),
    # the loader's overridable steps return the wrong thing, raise, or load again
    row("locations.loader-methods", PRELUDE + """
        names = ["construct_object", "construct_document", "compose_node", "get_single_node", "get_node",
                 "check_node", "resolve", "descend_resolver", "ascend_resolver", "construct_mapping",
                 "construct_sequence", "construct_scalar", "compose_mapping_node", "compose_sequence_node",
                 "compose_scalar_node", "flatten_mapping"]
        for name in names:
            for label, value in WRONG.items():
                cls = type("L", (LocSafeLoader,), {name: lambda self, *a, _v=value, **k: _v})
                attempt(name + " gives " + label, lambda: load(cls=cls))
                attempt(name + " gives " + label + " (stream)", lambda: load(cls=cls, stream=True))
            for label in RAISING:
                cls = type("L", (LocSafeLoader,), {name: raiser(label)})
                attempt(name + " raises " + label, lambda: load(cls=cls))
            def again(self, *a, _name=name, **k):
                load()
                return getattr(super(type(self), self), _name)(*a, **k)
            cls = type("L", (LocSafeLoader,), {name: again})
            attempt(name + " loads again", lambda: load(cls=cls))
        # attributes the compiled path reads off the loader
        for attribute in ["yaml_path_resolvers", "_locations", "_file", "stream", "buffer", "name"]:
            for label, value in WRONG.items():
                class L(LocSafeLoader):
                    def get_single_node(self, _a=attribute, _v=value):
                        try:
                            setattr(self, _a, _v)
                        except Exception:
                            pass
                        return super().get_single_node()
                attempt(attribute + " set to " + label, lambda: load(cls=L))
    """),
    # the records and the merged mappings: their own dunders lie, raise, or change what is walked
    row("locations.records-and-merges", PRELUDE + """
        for field in ["line", "column", "file"]:
            for label, value in WRONG.items():
                record = Location()
                try:
                    setattr(record, field, value)
                except Exception:
                    continue
                attempt("str with " + field + " " + label, lambda: str(record))
                attempt("deepcopy with " + field + " " + label, lambda: location_deepcopy({"k": record}))
        for method in ["keys", "items", "__iter__", "__getitem__", "__contains__", "__len__", "copy"]:
            for label, value in WRONG.items():
                M = type("M", (dict,), {method: lambda self, *a, _v=value, **k: _v})
                attempt("update " + method + " " + label,
                        lambda: recursive_location_update({"a": M(b=1)}, M(a=M(c=2)), Location(), Location()))
                attempt("setdefault " + method + " " + label,
                        lambda: recursive_location_setdefault(M(a=M(b=1)), M(a=M(c=2)), Location(), Location()))
                attempt("deepcopy " + method + " " + label, lambda: location_deepcopy(M(a=M(b=1))))
            for label in RAISING:
                M = type("M", (dict,), {method: raiser(label)})
                attempt("update " + method + " raises " + label,
                        lambda: recursive_location_update({"a": {}}, M(a=M(c=2)), Location(), Location()))
        target = {"a": {"b": [1]}, "l": [1, 2]}
        class Emptying(dict):
            def items(self):
                target.clear()
                target.update(a=[], l="x")
                return super().items()
        attempt("source empties the target", lambda: recursive_location_update(
            target, Emptying(a={"b": 2}, l=[3]), Location(), Location(), list_extend=True))
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                target.clear()
                return str.__eq__(self, other)
        attempt("key __eq__ empties the target", lambda: recursive_location_update(
            target, {Key("a"): {"b": 1}}, Location(), Location()))
    """),
]


from textwrap import dedent

# What the loader rows share: a document with every kind of node, loaded with a loader class.
LOADING = """
import io, yaml
import quarv.utils.locations as mod
from quarv.utils.locations import LocSafeLoader, Location
TEXT = "a: [1, {b: , c: [x, y]}, &k {d: 2}, *k]\\n? p\\n: z\\ne: !!set {f, g}\\nh: !!omap [{i: 1}]\\nj: ! k\\n"
def load(loader_class, text=TEXT, **kwargs):
    root = Location()
    loader = loader_class(text, locations=root, file_name="conf.yaml", **kwargs)
    try:
        return loader.get_single_data(), root
    finally:
        loader.dispose()
def each_wrong(label, make_class, text=TEXT):
    for value_label, value in WRONG.items():
        attempt(label + " -> " + value_label, lambda: load(make_class(value), text))
    for raise_label in RAISING:
        attempt(label + " raises " + raise_label, lambda: load(make_class(raiser(raise_label)), text))
"""

ROWS += [
    row("locations.loader-construct-steps", LOADING + dedent("""
        # construct_object, construct_document and the base construct_object reached through super()
        def returning(name):
            def make(value):
                class Base(yaml.SafeLoader):
                    pass
                def method(self, *args, **kwargs):
                    return value(*args) if callable(value) else value
                setattr(Base, name, method)
                class Loader(LocSafeLoader, Base):
                    pass
                return Loader
            return make
        for name in ("construct_object", "construct_document", "construct_mapping", "construct_yaml_seq"):
            each_wrong("base " + name, returning(name))
        def own(name):
            def make(value):
                class Loader(LocSafeLoader):
                    pass
                def method(self, node, *args, **kwargs):
                    return value(node) if callable(value) else value
                setattr(Loader, name, method)
                return Loader
            return make
        for name in ("construct_object", "construct_document"):
            each_wrong("own " + name, own(name))
        # a construct_object that re-enters the loader, loads another text, or changes the class
        class Again(LocSafeLoader):
            def construct_object(self, node, deep=False):
                load(LocSafeLoader, "x: [1, 2]\\n")
                return super().construct_object(node, deep=deep)
        attempt("re-enters with another loader", lambda: load(Again))
        class Same(LocSafeLoader):
            calls = 0
            def construct_object(self, node, deep=False):
                Same.calls += 1
                if Same.calls < 50:
                    self.get_single_node()
                return super().construct_object(node, deep=deep)
        attempt("re-enters its own composing", lambda: load(Same))
        class Changing(LocSafeLoader):
            def construct_object(self, node, deep=False):
                Changing.construct_object = LocSafeLoader.construct_object
                Later.construct_object = lambda self, node, deep=False: [1]
                return super().construct_object(node, deep=deep)
        class Later(yaml.SafeLoader):
            pass
        class ChangingLoader(Changing, Later):
            pass
        attempt("changes the classes while constructing", lambda: load(ChangingLoader))
    """)),
    row("locations.loader-nodes", LOADING + dedent("""
        # what the loader reads and writes on the nodes: value, start_mark, _location, _parent
        def with_node_attribute(name, kinds=("ScalarNode", "SequenceNode", "MappingNode")):
            def make(value):
                class Loader(LocSafeLoader):
                    def construct_object(self, node, deep=False):
                        if type(node).__name__ in kinds:
                            try:
                                setattr(node, name, value)
                            except Exception:
                                pass
                        return super().construct_object(node, deep=deep)
                return Loader
            return make
        for name in ("value", "start_mark", "_location", "_parent"):
            each_wrong("node " + name, with_node_attribute(name))
        for name in ("line", "column"):
            def make(value, _name=name):
                class Loader(LocSafeLoader):
                    def construct_object(self, node, deep=False):
                        node.start_mark = type("Mark", (), {_name: value, "line": 0, "column": 0})()
                        setattr(node.start_mark, _name, value)
                        return super().construct_object(node, deep=deep)
                return Loader
            each_wrong("mark " + name, make)
        # a mapping node's pairs and a sequence node's elements emptied or refilled while they are linked
        class Emptying(LocSafeLoader):
            def construct_object(self, node, deep=False):
                if isinstance(node.value, list):
                    saved = list(node.value)
                    node.value.clear()
                    node.value.extend(saved[: len(saved) // 2])
                return super().construct_object(node, deep=deep)
        attempt("node values emptied", lambda: load(Emptying))
        class Parent(dict):
            def __setitem__(self, key, value):
                self.clear()
                super().__setitem__(key, value)
        def with_parent_class(value):
            class Loader(LocSafeLoader):
                def construct_document(self, node):
                    self._locations = value
                    return super().construct_document(node)
            return Loader
        each_wrong("the root record", with_parent_class)
        attempt("a root that empties itself", lambda: load(with_parent_class(Parent())))
        def with_attribute(name):
            def make(value):
                class Loader(LocSafeLoader):
                    def construct_document(self, node):
                        setattr(self, name, value)
                        return super().construct_document(node)
                return Loader
            return make
        each_wrong("loader _file", with_attribute("_file"))
    """)),
    row("locations.compiled-resolver-steps", LOADING + dedent("""
        # the resolver steps called while libyaml composes, and the loader's own path resolvers
        for name in ("resolve", "descend_resolver", "ascend_resolver"):
            def make(value, _name=name):
                def method(self, *args):
                    result = value(*args) if callable(value) else value
                    return getattr(yaml.SafeLoader, _name)(self, *args) if result is None else result
                return type("Loader", (LocSafeLoader,), {_name: method})
            each_wrong(name, make)
            attempt(name + " on the instance", lambda: load_with_instance_attribute(name))
        def load_with_instance_attribute(name):
            root = Location()
            loader = LocSafeLoader(TEXT, locations=root)
            setattr(loader, name, lambda *args: None)
            try:
                return loader.get_single_data()
            finally:
                loader.dispose()
        def with_class_attribute(name):
            def make(value):
                return type("Loader", (LocSafeLoader,), {name: value})
            return make
        for name in ("yaml_path_resolvers", "yaml_implicit_resolvers", "DEFAULT_SCALAR_TAG", "DEFAULT_MAPPING_TAG"):
            each_wrong(name, with_class_attribute(name))
        for label, value in WRONG.items():
            table = {"1": [value], None: value, "x": [(value, value)]}
            attempt("implicit resolver entries " + label,
                    lambda: load(type("Loader", (LocSafeLoader,), {"yaml_implicit_resolvers": table})))
        class Match:
            def __init__(self, do):
                self.do = do
            def match(self, value):
                return self.do()
        for label in RAISING:
            table = {"1": [("tag:yaml.org,2002:int", Match(raiser(label)))]}
            attempt("implicit resolver match raises " + label,
                    lambda: load(type("Loader", (LocSafeLoader,), {"yaml_implicit_resolvers": table})))
        resolvers = [("tag:yaml.org,2002:str", Match(lambda: resolvers.clear()))]
        attempt("implicit resolvers emptied while tried",
                lambda: load(type("Loader", (LocSafeLoader,), {"yaml_implicit_resolvers": {"1": resolvers}})))
        # what a composer's slots hold, rewritten while libyaml composes
        for slot in ("_session", "_text", "_shape", "_steps", "_step", "_start", "_resume"):
            def make(value, _slot=slot):
                class Loader(LocSafeLoader):
                    def resolve(self, *args):
                        parser = getattr(self, "_compiled_parser", None)
                        if parser is not None:
                            setattr(parser, _slot, value)
                        return super().resolve(*args)
                return Loader
            each_wrong("composer slot " + slot, make)
        # the composer's steps called from outside a step, and a step re-entered from resolve
        loader = LocSafeLoader(TEXT)
        parser = loader._compiled_parser
        for name, args in (("resolve", (yaml.ScalarNode, "1", (False, False))), ("descend_resolver", (None, None)),
                           ("ascend_resolver", ())):
            attempt("composer " + name + " outside a step", lambda: getattr(parser, name)(*args))
        class Reentering(LocSafeLoader):
            depth = 0
            def resolve(self, *args):
                if Reentering.depth < 3:
                    Reentering.depth += 1
                    try:
                        self.check_node()
                        self.get_node()
                    finally:
                        Reentering.depth -= 1
                return super().resolve(*args)
        attempt("resolve re-enters the steps", lambda: load(Reentering))
        class Outside(LocSafeLoader):
            def resolve(self, *args):
                parser._text = 5
                return parser.resolve(*args)
        attempt("resolve calls another loader's composer", lambda: load(Outside))
    """)),
    row("locations.compiled-input", LOADING + dedent("""
        # the stream's own methods and the reader's decoding, read before the compiled path starts
        class Stream:
            # a stream whose method gives the substitute once (at the call numbered `at`), and then
            # what the real stream gives: a stream always giving the same text would never end
            def __init__(self, data, at=1, **methods):
                self.inner = io.BytesIO(data) if isinstance(data, bytes) else io.StringIO(data)
                self.methods = methods
                self.calls = 0
                self.at = at
                self.name = "s.yaml"
            def __getattr__(self, name):
                if name in self.methods:
                    def method(*args):
                        self.calls += 1
                        if self.calls != self.at:
                            return getattr(self.inner, name)(*args)
                        value = self.methods[name]
                        return value(*args) if callable(value) else value
                    return method
                return getattr(self.inner, name)
        for data in (TEXT, TEXT.encode()):
            for method in ("read", "seekable", "tell", "seek"):
                for label, value in WRONG.items():
                    for at in (1, 2, 3):
                        attempt(f"stream {method} call {at} -> {label}", lambda: load(lambda t, **k: LocSafeLoader(
                            Stream(data, at, **{method: value}), **k)))
                for label in RAISING:
                    attempt(f"stream {method} raises {label}", lambda: load(lambda t, **k: LocSafeLoader(
                        Stream(data, **{method: raiser(label)}), **k)))
        class Growing:
            name = "g.yaml"
            def __init__(self):
                self.inner = io.StringIO(TEXT)
            def read(self, size=-1):
                chunk = self.inner.read(size)
                if self.inner.tell() > len(TEXT) // 2:
                    self.inner = io.StringIO(TEXT[: len(TEXT) // 3])
                return chunk
            def seekable(self):
                return True
            def tell(self):
                return self.inner.tell()
            def seek(self, at):
                return self.inner.seek(min(at, len(self.inner.getvalue())))
        attempt("stream refilled while read", lambda: load(lambda t, **k: LocSafeLoader(Growing(), **k)))
        # a text longer than the reader's first chunk: the compiled path decodes the rest itself
        LONG = "".join(f"k{i}: [1, {{b: , c: x}}]\\n" for i in range(1000))
        def decoding(value, at):
            # raw_decode as a property: the class still scans as SafeLoader does
            class Loader(LocSafeLoader):
                calls = 0
                @property
                def raw_decode(self):
                    real = self.__dict__.get("real_decode")
                    if real is None:
                        return None
                    def decode(*args):
                        Loader.calls += 1
                        if Loader.calls != at:
                            return real(*args)
                        return value(*args) if callable(value) else value
                    return decode
                @raw_decode.setter
                def raw_decode(self, real):
                    self.__dict__["real_decode"] = real
            return Loader
        for at in (1, 2, 3):
            for label, value in WRONG.items():
                attempt(f"raw_decode call {at} -> {label}",
                        lambda: load(lambda t, **k: decoding(value, at)(io.BytesIO(LONG.encode()), **k)))
            for label in RAISING:
                attempt(f"raw_decode call {at} raises {label}",
                        lambda: load(lambda t, **k: decoding(raiser(label), at)(io.BytesIO(LONG.encode()), **k)))
        for data in (LONG, LONG.encode()):
            for method in ("read", "tell", "seek"):
                for at in (2, 3):
                    for label, value in list(WRONG.items())[:12]:
                        attempt(f"long stream {method} call {at} -> {label}", lambda: load(
                            lambda t, **k: LocSafeLoader(Stream(data, at, **{method: value}), **k)))
        # reader attributes rewritten before the compiled path reads them
        for name in ("buffer", "pointer", "stream", "eof", "raw_buffer"):
            def make(value, _name=name):
                class Loader(LocSafeLoader):
                    def determine_encoding(self):
                        super().determine_encoding()
                        setattr(self, _name, value)
                return Loader
            each_wrong("reader " + name, make)
    """)),
    row("locations.module-names-and-the-class", LOADING + dedent("""
        # module-level names looked up at each call, rebound to wrong values, raisers and re-entering ones
        from quarv.utils.locations import location_deepcopy, recursive_location_update, recursive_location_setdefault
        originals = dict(vars(mod))
        tree = Location(a=Location(b=Location()))
        def everything():
            load(LocSafeLoader)
            str(tree["a"])
            location_deepcopy(tree)
            recursive_location_update({"a": {"b": 1}, "l": [1]}, {"a": {"b": 2}, "%EXTEND_LIST{l}": [2]},
                                      {"a": {"b": Location()}, "l": {0: Location()}},
                                      {"a": {"b": Location()}, "%EXTEND_LIST{l}": {0: Location()}}, list_extend=True)
            recursive_location_setdefault({"a": {"b": 1}}, {"a": {"c": 2}}, {"a": {"b": Location()}},
                                          {"a": {"c": Location()}})
        names = ("Location", "MappingNode", "SequenceNode", "ScalarNode", "MutableMapping", "MutableSequence",
                 "LIST_EXTEND_PATTERN", "location_deepcopy", "recursive_location_update",
                 "recursive_location_setdefault", "os")
        try:
            for name in names:
                for label, value in WRONG.items():
                    setattr(mod, name, value)
                    attempt(name + " = " + label, everything)
                    setattr(mod, name, originals[name])
                for label in RAISING:
                    setattr(mod, name, raiser(label))
                    attempt(name + " raises " + label, everything)
                    setattr(mod, name, originals[name])
                def again(*args, _name=name, **kwargs):
                    setattr(mod, _name, originals[_name])
                    everything()
                    return originals[_name](*args, **kwargs)
                setattr(mod, name, again)
                attempt(name + " re-enters", everything)
                setattr(mod, name, originals[name])
            class Pattern:
                def __init__(self, result):
                    self.result = result
                def match(self, key):
                    return self.result
            class Match:
                def __init__(self, group):
                    self.value = group
                def group(self, i):
                    return self.value
            for label, value in WRONG.items():
                for pattern in (Pattern(value), Pattern(Match(value))):
                    mod.LIST_EXTEND_PATTERN = pattern
                    attempt("pattern gives " + label, everything)
            mod.LIST_EXTEND_PATTERN = originals["LIST_EXTEND_PATTERN"]
            # the class made by the module, changed in place
            for name in ("__new__", "__init__", "__setitem__", "__str__"):
                saved = Location.__dict__.get(name)
                for label, value in list(WRONG.items()) + [("raises " + l, raiser(l)) for l in RAISING]:
                    setattr(Location, name, value if callable(value) else (lambda *a, _v=value: _v))
                    attempt("Location." + name + " -> " + label, everything)
                    if saved is None:
                        delattr(Location, name)
                    else:
                        setattr(Location, name, saved)
        finally:
            vars(mod).update(originals)
    """)),
    row("locations.record-dunders", """
        import os
        import quarv.utils.locations as mod
        from quarv.utils.locations import Location, location_deepcopy
        # the record's attributes and text form, whatever its fields hold
        def record(**fields):
            r = Location()
            for k, v in fields.items():
                setattr(r, k, v)
            return r
        for label, value in WRONG.items():
            for field in ("file", "line", "column"):
                attempt("str with " + field + " " + label, lambda: str(record(**{field: value})))
                attempt("deepcopy with " + field + " " + label, lambda: location_deepcopy(record(**{field: value})))
            attempt("extract " + label, lambda: record(line=value).extract())
        class Number:
            def __init__(self, result):
                self.result = result
            def __add__(self, other):
                return self.result() if callable(self.result) else self.result
            def __int__(self):
                return self.result() if callable(self.result) else self.result
        for label, value in list(WRONG.items()) + [("raises " + l, raiser(l)) for l in RAISING]:
            attempt("line + 1 -> " + label, lambda: str(record(line=Number(value))))
            attempt("basename -> " + label, lambda: str(record(file=type("F", (), {"__fspath__": lambda s: value})())))
        # a record subclass whose own methods are what deepcopy walks
        for name in ("items", "keys", "__iter__", "__getitem__", "__setitem__"):
            for label, value in list(WRONG.items()) + [("raises " + l, raiser(l)) for l in RAISING]:
                cls = type("Sub", (Location,), {name: (value if callable(value) else (lambda *a, _v=value: _v))})
                source = cls()
                dict.__setitem__(source, "k", Location())
                attempt("record subclass " + name + " -> " + label, lambda: location_deepcopy(source))
        tree = Location(a=Location(), b=Location())
        class Emptying(Location):
            def items(self):
                tree.clear()
                return super().items()
        walked = Emptying(tree)
        attempt("items empties what is walked", lambda: location_deepcopy(walked))
        class Growing(Location):
            def items(self):
                for i in range(100):
                    dict.__setitem__(self, i, Location())
                return super().items()
        attempt("items refills", lambda: location_deepcopy(Growing(a=Location())))
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                holder.clear()
                return str.__eq__(self, other)
        holder = Location({Key("a"): Location(), "b": Location()})
        attempt("key __eq__ empties the tree", lambda: location_deepcopy(holder))
        class Again(Location):
            def items(self):
                location_deepcopy(Location(x=Location()))
                return super().items()
        attempt("deepcopy re-entered", lambda: location_deepcopy(Again(a=Again())))
    """),
    row("locations.merge-dunders", """
        import quarv.utils.locations as mod
        from quarv.utils.locations import Location, recursive_location_update, recursive_location_setdefault
        def trees():
            data = {"a": {"b": 1}, "l": [1, 2], "s": "x"}
            new = {"a": {"b": 2, "c": 3}, "%EXTEND_LIST{l}": [3], "n": 4}
            locations = {"a": {"b": Location()}, "l": {0: Location(), 1: Location()}, "s": Location()}
            new_locations = {"a": {"b": Location(), "c": Location()}, "%EXTEND_LIST{l}": {0: Location()},
                             "n": Location()}
            return data, new, locations, new_locations
        def update(*four):
            return recursive_location_update(*four, list_extend=True)
        def substituted(index, name, value):
            four = list(trees())
            target = four[index]
            cls = type("Sub", (dict,), {name: value if callable(value) else (lambda *a, _v=value: _v)})
            four[index] = cls(target)
            if index in (0, 2):
                four[index]["a"] = cls(four[index]["a"])
            return four
        names = ("items", "keys", "get", "__getitem__", "__setitem__", "__contains__", "setdefault", "pop",
                 "__iter__")
        values = list(WRONG.items()) + [("raises " + l, raiser(l)) for l in RAISING]
        for index, which in enumerate(("data", "new_data", "locations", "new_locations")):
            for name in names:
                for label, value in values:
                    attempt(f"update {which}.{name} -> {label}", lambda: update(*substituted(index, name, value)))
                    attempt(f"setdefault {which}.{name} -> {label}",
                            lambda: recursive_location_setdefault(*substituted(index, name, value)))
        # the recorded indexes of the extended list: compared as max() compares them
        for label, value in values:
            class Index:
                def __gt__(self, other, _v=value):
                    return _v() if callable(_v) else _v
                __lt__ = __gt__
                def __add__(self, other, _v=value):
                    return _v() if callable(_v) else _v
                __radd__ = __add__
                __hash__ = object.__hash__
            data, new, locations, new_locations = trees()
            locations["l"] = {Index(): Location(), Index(): Location()}
            new_locations["%EXTEND_LIST{l}"] = {Index(): Location()}
            attempt("recorded index -> " + label, lambda: update(data, new, locations, new_locations))
            class Extending(list):
                def extend(self, other, _v=value):
                    return _v() if callable(_v) else _v
            data, new, locations, new_locations = trees()
            data["l"] = Extending(data["l"])
            attempt("list extend -> " + label, lambda: update(data, new, locations, new_locations))
        # what is walked, emptied or refilled as it is walked, and the merges called again meanwhile
        data, new, locations, new_locations = trees()
        class Emptying(dict):
            def items(self):
                data.clear()
                locations.clear()
                new_locations.clear()
                return super().items()
        attempt("items empties the targets", lambda: update(data, Emptying(new), locations, new_locations))
        data, new, locations, new_locations = trees()
        class Refilling(dict):
            def items(self):
                data.update({i: {i: i} for i in range(50)})
                self.update({("k", i): {i: i} for i in range(50)})
                return super().items()
        attempt("items refills what is walked", lambda: update(data, Refilling(new), locations, new_locations))
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                data.clear()
                locations.clear()
                return str.__eq__(self, other)
        data, new, locations, new_locations = trees()
        new[Key("a")] = {"z": 1}
        attempt("key __eq__ empties the targets", lambda: update(data, new, locations, new_locations))
        class Again(dict):
            def items(self):
                update(*trees())
                recursive_location_setdefault(*trees())
                return super().items()
        attempt("update re-entered", lambda: update(trees()[0], Again(trees()[1]), *trees()[2:]))
        attempt("setdefault re-entered", lambda: recursive_location_setdefault(trees()[0], Again(trees()[1]),
                                                                              *trees()[2:]))
        for label in RAISING:
            class Raising(dict):
                def __hash__(self, _l=label):
                    raise RAISING[_l]()
            attempt("unhashable key raises " + label,
                    lambda: update({}, {("t", Raising()): 1}, {}, {}))
    """),
]
