# Hostile collaborators of quarv.utils.dicts (see tests/test_hostile_collaborators.py).

import textwrap

# What the rows below share: each entry point called on small data, and substitutes for a
# collaborator that do what the original does after a hostile step (raising, re-entering, emptying).
COMMON = textwrap.dedent("""
    import collections, collections.abc, json, shlex, sys, types
    import quarv.utils.dicts as dicts
    from quarv.utils.dicts import (recursive_update, recursive_setdefault, recursive_cast, set_dict_by_key_path,
                                   create_extended_dict, generate_unique_key_name, enforce_max_key_value_length,
                                   load_dict_from_json_string, load_dict_from_kv_string, load_dict_from_list)

    # the data every entry point walks; `fresh()` makes it anew before each case
    DATA = {}
    def fresh():
        DATA.clear()
        DATA.update(a={"x": {"p": 1}, "l": [1]}, b={"x": {"q": 2}, "%EXTEND_LIST{l}": [2], "n": "v"},
                    source={"a": 1, "b": 2}, dest={"a": 2, "a_1": 3}, checked={"k": {"kk": "v"}, "l": ["x", "y"]})
        return DATA

    CALLS = {
        "recursive_update": lambda d: recursive_update(d["a"], d["b"], list_extend=True),
        "recursive_setdefault": lambda d: recursive_setdefault(d["a"], d["b"]),
        "recursive_cast": lambda d: recursive_cast(d["b"], collections.OrderedDict),
        "set_dict_by_key_path": lambda d: set_dict_by_key_path(d["a"], ["x", "p"], 5),
        "set_dict_by_key_path appending": lambda d: set_dict_by_key_path(d["a"], ["x", "new"], 5, append_list=True),
        "create_extended_dict": lambda d: create_extended_dict(d["source"], d["dest"]),
        "generate_unique_key_name": lambda d: generate_unique_key_name("a", 1, d["dest"]),
        "enforce_max_key_value_length": lambda d: enforce_max_key_value_length(d["checked"]),
        "enforce on a list": lambda d: enforce_max_key_value_length([d["checked"], {"z": "w"}]),
        "enforce on neither": lambda d: enforce_max_key_value_length(5),
        "load_dict_from_json_string": lambda d: load_dict_from_json_string('{"a": 1}'),
        "load_dict_from_kv_string": lambda d: load_dict_from_kv_string("a=1 b=2"),
        "load_dict_from_list": lambda d: load_dict_from_list('[\\'{"a": 1}\\', \\'{"a": 2}\\']'),
    }

    # the entry point being called, which a re-entering substitute calls again on the same data
    CURRENT = [CALLS["recursive_update"]]

    def call_one(label, call):
        CURRENT[0] = call
        attempt(label, lambda: call(fresh()))

    def call_all(prefix, calls=CALLS):
        for name, call in calls.items():
            call_one(prefix + " / " + name, call)

    def reenter():
        CURRENT[0](DATA)

    def attempt_case(label, fn):
        CURRENT[0] = lambda data: fn()
        attempt(label, fn)

    def empty_walked():
        for value in list(DATA.values()):
            value.clear()

    def refill_walked():
        for value in list(DATA.values()):
            size = len(value)
            value.clear()
            value.update({"r%d" % i: {"deep": [i]} for i in range(size)})

    class Proxy:
        # does `before()` and then what `original` does: when called, and through every attribute
        def __init__(self, original, before):
            self._original, self._before = original, before
        def __call__(self, *args, **kwargs):
            self._before()
            return self._original(*args, **kwargs)
        def __getattr__(self, name):
            value = getattr(self._original, name)
            self._before()
            return Proxy(value, self._before) if callable(value) else value

    def abc_like(original, before):
        # a class standing in for an ABC: `before()`, then the ABC's own answer
        class Meta(type):
            def __instancecheck__(cls, obj):
                before()
                return isinstance(obj, original)
            def __subclasscheck__(cls, sub):
                before()
                return issubclass(sub, original)
        return Meta("Substitute", (), {})

    def hostile_steps():
        # label -> a step done before the original's own work
        steps = {"raises " + label: raiser(label) for label in RAISING}
        steps.update({"empties what is walked": empty_walked, "refills what is walked": refill_walked})
        depth = [0]
        def once():
            if depth[0] == 0:
                depth[0] += 1
                try:
                    reenter()
                finally:
                    depth[0] -= 1
        steps["re-enters once"] = once
        steps["re-enters always"] = reenter
        return steps
""")


def hostile_row(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    row("dicts.mapping-dunders", """
        from quarv.utils.dicts import recursive_update, recursive_setdefault, recursive_cast
        class Odd(dict):
            pass
        for label, value in WRONG.items():
            Items = dict_giving(value, "items", "keys")
            attempt("items " + label, lambda: recursive_update({"a": {}}, {"a": Items(b=1)}))
            attempt("setdefault items " + label, lambda: recursive_setdefault({"a": {}}, {"a": Items(b=1)}))
            attempt("cast items " + label, lambda: recursive_cast({"a": Items(b=1)}, dict))
        for label in RAISING:
            class Eq(str):
                __hash__ = str.__hash__
                def __eq__(self, other, _l=label):
                    raise RAISING[_l]()
            attempt("key __eq__ " + label, lambda: recursive_update({Eq("a"): 1}, {"a": 2}))
        target = {"a": {"b": 1}}
        class Emptying(dict):
            def items(self):
                target["a"].clear()
                target.clear()
                return super().items()
        attempt("empties the target", lambda: recursive_update(target, Emptying(a={"b": 2, "c": 3})))
        class Again(dict):
            def items(self):
                recursive_update(target, {"x": 1})
                return super().items()
        attempt("re-enters", lambda: recursive_update(target, Again(a={"b": 2})))
    """),
    # every module-level name the functions look up when they run, rebound to wrong values, to
    # stand-ins that raise, re-enter, or empty or refill the data being walked
    hostile_row("dicts.module-names", """
        NAMES = ["Mapping", "MutableSequence", "recursive_update", "recursive_setdefault", "recursive_cast",
                 "LIST_EXTEND_PATTERN", "generate_unique_key_name", "sys", "logger", "enforce_max_key_value_length",
                 "decode_cli_string", "json", "shlex", "literal_eval", "load_dict_from_json_string",
                 "create_extended_dict"]
        for name in NAMES:
            original = getattr(dicts, name)
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            for label, step in hostile_steps().items():
                made = abc_like(original, step) if name in ("Mapping", "MutableSequence") else Proxy(original, step)
                substitutes[label] = made
            for label, substitute in substitutes.items():
                setattr(dicts, name, substitute)
                try:
                    call_all(f"{name} {label}")
                finally:
                    setattr(dicts, name, original)
        # what the rebound modules and functions hand back, of the wrong type
        for label, value in WRONG.items():
            for name, substitute in [
                    ("sys", types.SimpleNamespace(maxsize=value)),
                    ("json", types.SimpleNamespace(loads=lambda text, _v=value: _v)),
                    ("shlex", types.SimpleNamespace(split=lambda text, _v=value: _v)),
                    ("shlex", types.SimpleNamespace(split=lambda text, _v=value: [_v, "a=b"])),
                    ("literal_eval", lambda text, _v=value: _v),
                    ("literal_eval", lambda text, _v=value: ['{"a": 1}', _v]),
                    ("decode_cli_string", lambda text, _v=value: _v),
                    ("generate_unique_key_name", lambda *args, _v=value: _v),
                    ("load_dict_from_json_string", lambda text, _v=value: _v),
                    ("create_extended_dict", lambda *args, _v=value, **kwargs: _v),
                    ("recursive_update", lambda *args, _v=value, **kwargs: _v),
                    ("recursive_setdefault", lambda *args, _v=value: _v),
                    ("recursive_cast", lambda *args, _v=value: _v)]:
                original = getattr(dicts, name)
                setattr(dicts, name, substitute)
                try:
                    call_all(f"{name} gives {label}")
                finally:
                    setattr(dicts, name, original)
    """),
    # the pattern of list-extending keys, and the matches it gives
    hostile_row("dicts.list-extend-pattern", """
        import re
        own = dicts.LIST_EXTEND_PATTERN
        update = lambda: recursive_update({"l": [1]}, {"%EXTEND_LIST{l}": [2]}, list_extend=True)
        class Match:
            def __init__(self, group):
                self.group = group
        for label, value in WRONG.items():
            for kind, pattern in [("match gives", types.SimpleNamespace(match=lambda key, _v=value: _v)),
                                  ("group gives", types.SimpleNamespace(match=lambda key, _v=value: Match(lambda i: _v)))]:
                dicts.LIST_EXTEND_PATTERN = pattern
                attempt(f"{kind} {label}", update)
        for label in RAISING:
            dicts.LIST_EXTEND_PATTERN = types.SimpleNamespace(match=lambda key, _l=label: Match(raiser(_l)))
            attempt("group raises " + label, update)
        target = {"l": [1]}
        source = {"%EXTEND_LIST{l}": [2], "m": 1}
        def emptying_group(i):
            target.clear()
            source.clear()
            return "l"
        dicts.LIST_EXTEND_PATTERN = types.SimpleNamespace(match=lambda key: Match(emptying_group))
        attempt("group empties both", lambda: recursive_update(target, source, list_extend=True))
        dicts.LIST_EXTEND_PATTERN = types.SimpleNamespace(match=lambda key: Match(lambda i: update() and "l"))
        attempt("group re-enters", update)
        class Key(str):
            pass
        dicts.LIST_EXTEND_PATTERN = own
        attempt("a str subclass key", lambda: recursive_update({"l": [1]}, {Key("%EXTEND_LIST{l}"): [2]},
                                                               list_extend=True))
        dicts.LIST_EXTEND_PATTERN = re.compile(r"^%EXTEND_LIST{ *(.+?) *}$|(?P<other>x)")
        attempt("a pattern whose group is None", lambda: recursive_update({}, {"x": [1]}, list_extend=True))
    """),
    # methods the functions call on the user's mappings, lists, keys and texts
    hostile_row("dicts.user-methods", """
        def behaviours(original_name):
            # label -> a method standing in for the class's own `original_name`
            made = {}
            for label, value in WRONG.items():
                made["gives " + label] = lambda self, *a, _v=value, **k: _v
            for label, step in hostile_steps().items():
                def method(self, *args, _step=step, **kwargs):
                    _step()
                    return getattr(super(type(self), self), original_name)(*args, **kwargs)
                made[label] = method
            return made

        dict_methods = ["items", "keys", "get", "setdefault", "__getitem__", "__setitem__", "__contains__",
                        "__iter__", "__len__"]
        for name in dict_methods:
            for label, method in behaviours(name).items():
                Sub = type("Sub", (dict,), {name: method})
                cases = {
                    "update target": lambda: recursive_update(Sub(x={"p": 1}, l=[1]), fresh()["b"], list_extend=True),
                    "update source": lambda: recursive_update(fresh()["a"], Sub(x=Sub(q=2), n=1)),
                    "setdefault target": lambda: recursive_setdefault(Sub(x={"p": 1}), fresh()["b"]),
                    "setdefault source": lambda: recursive_setdefault(fresh()["a"], Sub(x=Sub(q=2))),
                    "cast": lambda: recursive_cast({"x": {"y": {}}}, Sub),
                    "key path": lambda: set_dict_by_key_path(Sub(x=Sub()), ["x", "y"], 1, append_list=True),
                    "extended source": lambda: create_extended_dict(Sub(a=1, b=2), {"a": 2}),
                    "extended dest": lambda: create_extended_dict({"a": 1, "b": 2}, Sub(a=2)),
                    "unique name": lambda: generate_unique_key_name("a", 1, Sub(a=2, a_1=3)),
                    "enforce": lambda: enforce_max_key_value_length(Sub(k=Sub(kk="v"), l=["x"])),
                }
                for case, call in cases.items():
                    attempt_case(f"dict {name} {label} / {case}", call)
        for name in ["append", "extend", "__iter__", "__len__", "__getitem__"]:
            for label, method in behaviours(name).items():
                Sub = type("Sub", (list,), {name: method})
                attempt_case(f"list {name} {label} / extend", lambda: recursive_update(
                    {"l": Sub([1])}, {"%EXTEND_LIST{l}": Sub([2])}, list_extend=True))
                attempt_case(f"list {name} {label} / append", lambda: set_dict_by_key_path({"x": Sub()}, ["x"], 1,
                                                                                      append_list=True))
                attempt_case(f"list {name} {label} / keys", lambda: set_dict_by_key_path({}, Sub(["x", "y"]), 1))
                attempt_case(f"list {name} {label} / enforce", lambda: enforce_max_key_value_length([{"a": Sub(["x"])}]))
        for name in ["__str__", "__eq__", "__hash__", "__len__", "split", "replace"]:
            for label, method in behaviours(name).items():
                Key = type("Key", (str,), {name: method, **({} if name != "__eq__" else {"__hash__": str.__hash__})})
                attempt_case(f"str {name} {label} / update key", lambda: recursive_update({"a": 1}, {Key("a"): 2}))
                attempt_case(f"str {name} {label} / extended", lambda: create_extended_dict({Key("a"): 1}, {"a": 2}))
                attempt_case(f"str {name} {label} / unique name", lambda: generate_unique_key_name(Key("a"), 1, {"a": 2}))
                attempt_case(f"str {name} {label} / enforce", lambda: enforce_max_key_value_length({Key("a"): Key("v")}))
                attempt_case(f"str {name} {label} / kv", lambda: (
                    setattr(dicts, "shlex", types.SimpleNamespace(split=lambda t: [Key("a=1"), Key("b=2")])),
                    load_dict_from_kv_string("a=1")))
                dicts.shlex = shlex
        # values compared and turned into text while the mapping holding them is emptied or refilled
        for label, step in hostile_steps().items():
            class Value:
                def __eq__(self, other, _step=step):
                    _step()
                    return False
                __hash__ = object.__hash__
                def __str__(self, _step=step):
                    _step()
                    return "v"
            def walks(_value=Value()):
                data = fresh()
                data["source"].update(a=_value, c=_value)
                data["dest"].update(c=1)
                data["checked"].update(v=_value, l=[_value, _value])
                return [lambda: create_extended_dict(data["source"], data["dest"]),
                        lambda: generate_unique_key_name("a", _value, data["dest"]),
                        lambda: enforce_max_key_value_length(data["checked"]),
                        lambda: recursive_update(data["a"], data["source"])]
            for index in range(4):
                attempt_case(f"value __eq__/__str__ {label} / walk {index}", lambda: walks()[index]())
    """),
]
