# Hostile collaborators of quarv.utils.veltrane (see tests/test_hostile_collaborators.py).
#
# Every row starts from SETUP: a schema that reaches each rule of the ladder, the dictionary rule's
# plans and key tests, defaults and fallbacks with wildcards, And/Or/Use/ListOf/PathAwareUse, the
# text forms and Path, and exercise(), which validates good and bad data with it. `CURRENT` is the
# data being validated now, for substitutes that empty or refill it.

import textwrap

SETUP = """
import copy
import quarv.utils.veltrane as mod
from quarv.utils.veltrane import (And, Any, Default, Fallback, ListOf, Optional, Or, Path, PathAwareUse, Schema,
                                  Use)

MISSING = object()

def make_schema():
    return Schema({
        "name": str,
        Optional("port"): Or(int, Use(int)),
        "tags": ListOf(And(str, Use(str.upper))),
        Any(): {"x": Default(int, 5), Optional("y"): PathAwareUse(lambda path, data: data), "z": Or(1, 2, "3")},
        Optional("alias"): Fallback(str, "name"),
        Optional(1): {"deep": {"deeper": Or(None, int)}},
    })

GOOD = {"name": "n", "port": "80", "tags": ["a", "b"], "dev": {"y": 1, "z": 2}, 1: {"deep": {"deeper": 3}}}
BAD = {"name": 1, "port": "x", "tags": ["a", 2], "dev": {"x": "q", "z": 7, "w": 1}, 1: {"deep": {}}}
SAMPLES = [GOOD, BAD, {"tags": []}, {}, None, [], "x", {"name": "n", "tags": "ab", "dev": None}]
CURRENT = {}

def validate(schema, data, **kwargs):
    global CURRENT
    CURRENT = data
    return schema.validate(data, **kwargs)

def exercise(schema=None):
    # every sample in turn; a failing one is an ordinary outcome, only BaseException ends the case
    schema = schema if schema is not None else make_schema()
    for data in SAMPLES:
        for kwargs in ({}, {"top": False}, {"advanced_datatypes": False}, {"locations": {"name": "here"}}):
            try:
                validate(schema, copy.deepcopy(data), **kwargs)
            except SystemError:
                raise
            except Exception:
                pass
    for step in (lambda: str(schema), lambda: repr(schema), schema.collect_defaults, schema.collect_fallbacks,
                 lambda: Path((1, Any())).missing_from([(1, 2), (1, 3), (2, 4)]),
                 lambda: Path(("a.*", Optional("b"))) == Path(("abc", "b")), lambda: hash(Path((1, "x"))),
                 lambda: Path((Any(), 1)).is_dynamic()):
        try:
            step()
        except SystemError:
            raise
        except Exception:
            pass

def substitutes(original):
    # label -> value standing in for a module-level name, a method or a callback
    subs = dict(WRONG)
    for label in RAISING:
        subs["raises " + label] = raiser(label)
    if callable(original):
        def emptying(*args, **kwargs):
            if isinstance(CURRENT, (dict, list)):
                CURRENT.clear()
            return original(*args, **kwargs)
        def refilling(*args, **kwargs):
            if isinstance(CURRENT, dict):
                CURRENT.update({"name": 1, "new": {"x": 1}, 2: [object()]})
            elif isinstance(CURRENT, list):
                CURRENT.extend([object(), None])
            return original(*args, **kwargs)
        budget = [3]
        def again(*args, **kwargs):
            # validates again from inside, a few times per case (each call would otherwise multiply)
            if budget[0] > 0:
                budget[0] -= 1
                try:
                    make_schema().validate(copy.deepcopy(GOOD))
                except SystemError:
                    raise
                except Exception:
                    pass
            return original(*args, **kwargs)
        subs.update({"empties the data": emptying, "refills the data": refilling, "re-enters": again})
    return subs

def hostile_class(base, behaviour):
    # a class whose isinstance/issubclass tests run `behaviour` (which returns the answer)
    class Meta(type(base)):
        def __instancecheck__(cls, obj):
            return behaviour(lambda: isinstance(obj, base))
        def __subclasscheck__(cls, sub):
            return behaviour(lambda: issubclass(sub, base))
    return Meta("Hostile" + base.__name__, (base,), {})

def class_substitutes(original):
    subs = substitutes(original)
    for label, value in WRONG.items():
        subs["isinstance gives " + label] = hostile_class(original, lambda answer, _v=value: _v)
    for label in RAISING:
        subs["isinstance raises " + label] = hostile_class(original, lambda answer, _l=label: raiser(_l)())
    def emptying(answer):
        if isinstance(CURRENT, (dict, list)):
            CURRENT.clear()
        return answer()
    subs["isinstance empties the data"] = hostile_class(original, emptying)
    return subs

def rebound(namespace, name, value, fn):
    saved = namespace.__dict__.get(name, MISSING)
    setattr(namespace, name, value)
    try:
        fn()
    finally:
        if saved is MISSING:
            delattr(namespace, name)
        else:
            setattr(namespace, name, saved)
"""


def code(body):
    return SETUP + textwrap.dedent(body)


ROWS = [
    # every module-level name the module's code looks up when it runs, rebound
    row("veltrane.module-names", code("""
        import builtins
        CLASSES = ["Any", "Optional", "Schema", "Default", "Fallback", "Path", "Location", "OrderedDict"]
        CALLABLES = ["SchemaError", "SchemaMissingKeyError", "SchemaTypeError", "SchemaValueError", "SchemaClassError",
                     "SchemaUnsupportedKeyError", "SchemaFallbackError", "SchemaFallbackLoopError", "chainget",
                     "ListDict", "re"]
        for name in CLASSES + CALLABLES:
            original = getattr(mod, name)
            subs = class_substitutes(original) if isinstance(original, type) else substitutes(original)
            for label, value in subs.items():
                attempt(f"{name} = {label}", lambda: rebound(mod, name, value, exercise))
        # the built-in names, shadowed by module globals
        for name in ["list", "set", "int", "float", "str", "tuple", "chr", "bool", "dict", "sorted"]:
            original = getattr(builtins, name)
            subs = class_substitutes(original) if name in ("dict", "list") else substitutes(original)
            for label, value in subs.items():
                attempt(f"builtin {name} = {label}", lambda: rebound(mod, name, value, exercise))
    """), timeout=400),

    # methods looked up on self or on the class: overridden on a subclass that the module's own
    # name then refers to, on an instance, and on Path
    row("veltrane.methods", code("""
        methods = {
            "validate": Schema.validate, "apply_defaults": Schema.apply_defaults,
            "apply_fallback": Schema.apply_fallback, "collect_defaults": Schema.collect_defaults,
            "collect_fallbacks": Schema.collect_fallbacks, "__str__": Schema.__str__, "__repr__": Schema.__repr__,
            "__init__": Schema.__init__,
        }
        for name, original in methods.items():
            for label, value in substitutes(original).items():
                method = value if callable(value) else (lambda *a, _v=value, **k: _v)
                Sub = type("Sub", (Schema,), {name: method})
                attempt(f"Schema.{name} {label}", lambda: rebound(mod, "Schema", Sub, lambda: exercise(Sub(
                    make_schema().schema))))
                attempt(f"class attribute Schema.{name} {label}", lambda: rebound(Schema, name, method, exercise))
        for label, value in substitutes(Schema.__dict__["priority"].__func__).items():
            method = value if callable(value) else (lambda *a, _v=value, **k: _v)
            attempt(f"Schema.priority {label}", lambda: rebound(Schema, "priority", classmethod(method), exercise))
        # validate of the classes the walk calls directly while they are the module's own
        for cls in (Optional, Any, Default, Or, And, Use, ListOf, PathAwareUse):
            for label, value in substitutes(cls.validate).items():
                method = value if callable(value) else (lambda *a, _v=value, **k: _v)
                attempt(f"{cls.__name__}.validate {label}", lambda: rebound(cls, "validate", method, exercise))
        # an instance attribute shadows the method
        for label, value in substitutes(None).items():
            def shadowed(_v=value):
                key = Optional("port")
                inner = Or(int, Use(int))
                key.validate = _v
                inner.validate = _v
                schema = Schema({key: inner, "tags": ListOf(str)})
                schema.apply_defaults = _v
                exercise(schema)
            attempt(f"instance validate {label}", shadowed)
        for name in ("__eq__", "__hash__", "is_dynamic", "missing_from"):
            original = getattr(Path, name)
            for label, value in substitutes(original).items():
                method = value if callable(value) else (lambda *a, _v=value, **k: _v)
                Sub = type("PathSub", (Path,), {name: method})
                attempt(f"Path.{name} {label}", lambda: rebound(mod, "Path", Sub, exercise))
                attempt(f"class attribute Path.{name} {label}", lambda: rebound(Path, name, method, exercise))
    """), timeout=400),

    # callables given as schemas: Use, PathAwareUse, And, Or, a plain callable; their results and
    # what they do to the data, to the walked list and to a schema object's path meanwhile
    row("veltrane.callables", code("""
        def wrap(fn):
            return {
                "Use": Schema({"a": Use(fn), Optional("b"): int}),
                "PathAwareUse": Schema({"a": PathAwareUse(lambda path, data: fn(data))}),
                "And": Schema({"a": And(fn, fn)}),
                "Or": Schema({"a": Or(fn, int, "x")}),
                "plain callable": Schema({"a": fn}),
                "ListOf": Schema({"a": ListOf(Use(fn))}),
                "key": Schema({Use(fn): int}),
                "Default": Schema({"a": Default(Use(fn), 1)}),
            }
        def run(schemas):
            for data in ({"a": "1", "b": 2}, {"a": ["1", "2", "3"]}, {"a": None}, {"1": 1}, {}):
                for schema in schemas.values():
                    for kwargs in ({}, {"advanced_datatypes": False}, {"locations": {"a": "loc"}}):
                        try:
                            validate(schema, copy.deepcopy(data), **kwargs)
                        except SystemError:
                            raise
                        except Exception:
                            pass
        for label, value in substitutes(lambda data: data).items():
            fn = value if callable(value) else (lambda data, _v=value: _v)
            attempt(f"callable {label}", lambda: run(wrap(fn)))
        # the list being walked by ListOf, and its path list, changed by the element's validation
        listof = ListOf(Use(lambda data: data))
        def changing(action):
            def fn(data):
                action()
                return data
            listof.schema = fn
            items = [1, 2, 3, 4]
            global CURRENT
            CURRENT = items
            for path in ([], ["p"], None):
                listof.path = path if path is not None else []
                listof.validate(items)
                items[:] = [1, 2, 3, 4]
        actions = {
            "empties the list": lambda: CURRENT.clear(),
            "refills the list": lambda: CURRENT.extend(range(3)) if len(CURRENT) < 20 else None,
            "empties the path": lambda: listof.path.clear(),
            "lengthens the path": lambda: listof.path.extend([1, 2, 3]),
            "replaces the path": lambda: setattr(listof, "path", ["other"]),
            "replaces the path by a tuple": lambda: setattr(listof, "path", ("t",)),
            "deletes the path": lambda: delattr(listof, "path"),
            "replaces the schema": lambda: setattr(listof, "schema", 5),
        }
        for label, action in actions.items():
            attempt("ListOf element " + label, lambda: changing(action))
        # the same schema object validated again from inside its own validation
        same_list = ListOf(None)
        same_list.schema = Use(lambda data: same_list.validate([data + 1]) if data < 5 else data)
        attempt("ListOf re-entered", lambda: same_list.validate([1, 2]))
        same_dict = Schema({"a": int, Optional("b"): Use(lambda data: same_dict.validate({"a": 0, "b": data - 1})
                                                              if data else data)})
        attempt("dictionary rule re-entered", lambda: same_dict.validate({"a": 1, "b": 3}))
        attempt("dictionary rule re-entered lacking keys", lambda: same_dict.validate({"b": 3}))
        # a dictionary schema changed, and data changed, by a value's validation
        schema_dict = {"a": int, "b": None, Optional("c"): int, Any(): str}
        def mutate_schema(data):
            schema_dict.clear()
            schema_dict.update({"q": int, Optional(object()): str})
            return data
        schema_dict["b"] = Use(mutate_schema)
        attempt("schema dictionary emptied during its rule",
                lambda: validate(Schema(schema_dict), {"a": 1, "b": 2, "c": 3, "d": "x"}))
        data = {"a": 1, "b": 2, "c": 3, "d": "x", "e": "y"}
        def mutate_data(value):
            data.clear()
            data.update({"zz": 1})
            return value
        attempt("data emptied during its rule",
                lambda: validate(Schema({"a": int, "b": Use(mutate_data), Any(): str}), data))
        # a conversion that raises a SchemaMissingKeyError whose keys and path are of the wrong type
        from quarv.utils.exceptions import SchemaMissingKeyError
        for label, value in WRONG.items():
            def missing(data, _v=value):
                error = SchemaMissingKeyError([["p"]], ["k"])
                error.keys = _v
                raise error
            def missing_path(data, _v=value):
                error = SchemaMissingKeyError([["p"]], ["k"])
                error.path = _v
                raise error
            attempt("missing-key keys " + label, lambda: validate(Schema({"a": Use(missing)}), {"a": 1}))
            attempt("missing-key path " + label, lambda: validate(Schema({"a": Use(missing_path)}), {"a": 1}))
            attempt("missing-key key test " + label, lambda: validate(Schema({Use(missing): int}), {"a": 1}))
    """), timeout=400),

    # the dunder methods of the data and of schema keys that the walk calls
    row("veltrane.data-dunders", code("""
        def keys_with(method, behaviour):
            class Key(str):
                pass
            def fn(self, *args):
                return behaviour(lambda: getattr(str, method)(self, *args))
            setattr(Key, method, fn)
            if method == "__eq__":
                Key.__hash__ = str.__hash__
            return Key
        behaviours = {label: (lambda answer, _v=value: _v) for label, value in WRONG.items()}
        behaviours.update({"raises " + label: (lambda answer, _l=label: raiser(_l)()) for label in RAISING})
        def emptying(answer):
            if isinstance(CURRENT, dict):
                CURRENT.clear()
            return answer()
        behaviours["empties the data"] = emptying
        behaviours["re-enters"] = lambda answer: (exercise(), answer())[1]
        for method in ("__eq__", "__hash__", "__str__", "__repr__"):
            for label, behaviour in behaviours.items():
                if label == "re-enters" and method in ("__eq__", "__hash__"):
                    continue  # each comparison would validate again: quadratic, not hostile
                Key = keys_with(method, behaviour)
                def data_keys():
                    validate(make_schema(), {Key("name"): "n", "tags": [], Key("dev"): {Key("z"): 1}, Key("q"): {}})
                def schema_keys():
                    validate(Schema({Key("a"): int, Optional(Key("b")): {Key("c"): str}, Any(): int}),
                             {"a": 1, "b": {"c": "x"}, "d": 2})
                def path_keys():
                    return Path((Key("a"), Any())).missing_from([(Key("a"), Key("b")), ("a", "c")])
                attempt(f"data key {method} {label}", data_keys)
                attempt(f"schema key {method} {label}", schema_keys)
                attempt(f"path key {method} {label}", path_keys)
        # dict subclasses as data: their keys, __getitem__, __iter__, items overridden
        for method in ("keys", "__getitem__", "__iter__", "items", "__len__", "__contains__"):
            for label, value in substitutes(getattr(dict, method)).items():
                fn = value if callable(value) else (lambda *a, _v=value, **k: _v)
                Data = type("Data", (dict,), {method: lambda self, *a, _f=fn: _f(self, *a)})
                attempt(f"data {method} {label}",
                        lambda: validate(make_schema(), Data(name="n", tags=[], dev=Data(z=1))))
                attempt(f"schema dict {method} {label}",
                        lambda: validate(Schema(Data({"a": int, Optional("b"): str, Any(): int})), {"a": 1, "c": 2}))
        # a list subclass walked by ListOf
        for method in ("__iter__", "__len__", "__getitem__"):
            for label, value in substitutes(getattr(list, method)).items():
                fn = value if callable(value) else (lambda *a, _v=value, **k: _v)
                Items = type("Items", (list,), {method: lambda self, *a, _f=fn: _f(self, *a)})
                attempt(f"ListOf data {method} {label}", lambda: validate(Schema(ListOf(str)), Items(["a", "b"])))
        # a path list of the wrong kind on a schema object
        for label, value in WRONG.items():
            def odd_path(_v=value):
                schema = make_schema()
                schema.path = _v
                exercise(schema)
            attempt("schema path " + label, odd_path)
            attempt("Path of " + label, lambda: Path((Any(),)).missing_from(value))
    """), timeout=400),
]
