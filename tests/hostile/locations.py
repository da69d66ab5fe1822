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
