# Hostile collaborators of quarv.utils.objects (see tests/test_hostile_collaborators.py).
import textwrap

# What every row starts with: a device, searches that run each part of the walk, and `searches(finder)`
# that runs them all on one Find object (each case in its own attempt).
COMMON = """
import quarv.utils.objects as mod
from quarv.utils.objects import Find, R, GroupKeys, Operator, Not, Contains, NotExists

def device():
    return {"name": "d", "info": {"Eth1": {"status": "up", "mode": "access"},
                                  "Eth2": {"status": "down", "mode": "trunk"}},
            "items": [{"b": 1}, {"b": 2}], "vlans": [10, 20]}

UP = ["info", "(?P<intf>.*)", "status", "up"]
ACCESS = ["info", "(?P<intf>.*)", "mode", "access"]

SEARCHES = {
    "filter path": lambda f, data: f.find(data, R(UP)),
    "value path": lambda f, data: f.find(data, R(UP), filter_=False),
    "merge": lambda f, data: f.find(data, R(UP), R(ACCESS), filter_=False),
    "merge all_keys": lambda f, data: f.find(data, R(UP), R(ACCESS), filter_=False, all_keys=True),
    "index": lambda f, data: f.find(data[:1], R(UP), filter_=False, index=2),
    "keywords": lambda f, data: f.find(data, name="d", items__b=1),
    "keywords value": lambda f, data: f.find(data, filter_=False, info__Eth1__status="up"),
    "operators": lambda f, data: f.find(data, R(["info", Operator("(Eth.*)"), "status", Not("down")]),
                                        R(["vlans", Contains(10)]), R(["info", "Eth1", NotExists("x")])),
    "type_": lambda f, data: f.find(data, R(UP), type_=[dict]),
}

def searches(prefix, make_finder, make_data=lambda: [device(), device()]):
    for name, search in SEARCHES.items():
        attempt(f"{prefix} / {name}", lambda: search(make_finder(), make_data()))
"""


def hostile(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    # ----- module-level names looked up at call time, rebound ---------------------------------------------
    hostile("objects.module-names-wrong", """
        originals = {n: getattr(mod, n) for n in ("GroupKeys", "R", "Operator", "NotExists", "BaseLogic",
                                                   "Iterable", "TopologyObject", "copy", "re", "logger")}
        for name in originals:
            for label, value in WRONG.items():
                setattr(mod, name, value)
                searches(f"{name} = {label}", Find)
                setattr(mod, name, originals[name])
    """),
    hostile("objects.module-names-behaving-badly", """
        import re as real_re, copy as real_copy
        originals = {n: getattr(mod, n) for n in ("GroupKeys", "R", "re", "copy")}
        finder = Find()
        class FakeRe:
            def __init__(self, compile_):
                self.compile = compile_
        class FakeCopy:
            def __init__(self, copy_):
                self.copy = copy_
                self.deepcopy = real_copy.deepcopy
        for label, value in WRONG.items():
            # group_keys, re.compile, copy.copy and R giving the wrong type
            class Wrong(originals["GroupKeys"]):
                @classmethod
                def group_keys(cls, *a, _v=value, **k):
                    return _v
            mod.GroupKeys = Wrong
            searches(f"group_keys -> {label}", lambda: finder)
            mod.GroupKeys = originals["GroupKeys"]
            mod.re = FakeRe(lambda *a, _v=value: _v)
            searches(f"re.compile -> {label}", Find)
            class Pattern:
                def __init__(self, _v=value):
                    self.match = lambda text: _v
                    self.groupindex = _v
            mod.re = FakeRe(lambda *a: Pattern())
            searches(f"pattern.match -> {label}", Find)
            mod.re = originals["re"]
            mod.copy = FakeCopy(lambda x, _v=value: _v)
            searches(f"copy.copy -> {label}", Find)
            mod.copy = originals["copy"]
            mod.R = lambda *a, _v=value, **k: _v
            searches(f"R -> {label}", Find)
            mod.R = originals["R"]
        for label in RAISING:
            class Raising(originals["GroupKeys"]):
                group_keys = classmethod(raiser(label))
            mod.GroupKeys = Raising
            searches(f"group_keys raises {label}", Find)
            mod.GroupKeys = originals["GroupKeys"]
            mod.re = FakeRe(raiser(label))
            searches(f"re.compile raises {label}", Find)
            mod.re = originals["re"]
            mod.R = raiser(label)
            searches(f"R raises {label}", Find)
            mod.R = originals["R"]
        # group_keys that empties or refills what the merge reads, or searches again (once), then groups
        inside = []
        def searching_again():
            if not inside:
                inside.append(1)
                try:
                    finder.find([device()], R(UP), R(ACCESS), filter_=False)
                finally:
                    inside.clear()
        for label, change in {
            "clears found_objects": lambda: finder.found_objects.clear(),
            "refills found_objects": lambda: finder.found_objects.extend([None, 5, [object()], [(1,)]]),
            "clears the records": lambda: [r.clear() for r in finder.found_objects if isinstance(r, list)],
            "clears initial_requirements": lambda: list.clear(finder.initial_requirements)
                if isinstance(finder.initial_requirements, list) else None,
            "searches again": lambda: searching_again(),
            "resets": lambda: finder.reset_keys(),
        }.items():
            class Changing(originals["GroupKeys"]):
                @classmethod
                def group_keys(cls, *a, _c=change, **k):
                    _c()
                    return originals["GroupKeys"].group_keys(*a, **k)
            mod.GroupKeys = Changing
            searches(f"group_keys {label}", lambda: finder)
            mod.GroupKeys = originals["GroupKeys"]
        # R whose instances carry wrong args or kwargs
        for label, value in WRONG.items():
            class BadR(originals["R"]):
                def __init__(self, *a, _v=value, **k):
                    self.args, self.kwargs = _v, _v
            mod.R = BadR
            searches(f"R.args = {label}", Find, )
            attempt(f"R.args = {label} / given", lambda: Find().find([device()], BadR(UP)))
            mod.R = originals["R"]
    """),

    # ----- methods looked up on self, overridden ----------------------------------------------------------
    hostile("objects.find-methods", """
        METHODS = {
            "_match": "(self, obj, wanted, use__syntax=True, filter_=True)",
            "_formalize_loopable": "(self, obj)", "_build_dict": "(self, from_, keys, index)",
            "_unhashable_remove": "(self, unhashables)", "_unhashable_intersection": "(self, unhashables_lists)",
            "_normalize_r": "(self, requirements)", "reset_keys": "(self)", "find": "(self, from_, *r, **k)",
            "_populate_path": "(self, path, keys, device=None, _cur_path=None, _first=True)",
        }
        def subclass(name, fn):
            return type("Hostile", (Find,), {name: fn})
        for name in METHODS:
            for label, value in WRONG.items():
                searches(f"{name} -> {label}", subclass(name, lambda self, *a, _v=value, **k: _v))
                def on_instance(_n=name, _v=value):
                    finder = Find()
                    setattr(finder, _n, lambda *a, **k: _v)
                    return finder
                searches(f"instance {name} -> {label}", on_instance)
            for label in RAISING:
                searches(f"{name} raises {label}", subclass(name, raiser(label)))
            # empties what is being walked and the caller's lists, then does what Find's own does
            data = [device(), device()]
            def emptying(self, *a, _n=name, **k):
                for item in data:
                    if isinstance(item, dict):
                        item.clear()
                data.clear()
                for arg in a:
                    if isinstance(arg, list):
                        arg.clear()
                return getattr(Find, _n)(self, *a, **k)
            searches(f"{name} empties", subclass(name, emptying), lambda: data)
            def refilling(self, *a, _n=name, **k):
                for arg in a:
                    if isinstance(arg, list):
                        arg.extend([None, 5, (1,), [1]])
                return getattr(Find, _n)(self, *a, **k)
            searches(f"{name} refills", subclass(name, refilling))
            def again(self, *a, _n=name, **k):
                Find().find([device()], R(UP), R(ACCESS), filter_=False)
                mod.find([device()], R(UP), filter_=False, index=1)
                return getattr(Find, _n)(self, *a, **k)
            searches(f"{name} re-enters", subclass(name, again))
        class Looking(Find):
            def __getattribute__(self, name):
                if name.startswith("_") and not name.startswith("__"):
                    return lambda *a, **k: None
                return super().__getattribute__(name)
        searches("__getattribute__ gives None", Looking)
    """),

    # ----- callables in requirements -----------------------------------------------------------------------
    hostile("objects.requirement-callables", """
        from quarv.datastructures.logic import BaseLogic
        class BadBool:
            def __bool__(self):
                raise ValueError("no truth")
        results = dict(WRONG, **{"bad __bool__": BadBool()})
        data = [device(), device()]
        def run(prefix, fn):
            cases = {
                "kw": lambda: Find().find(data, name=fn),
                "kw value": lambda: Find().find(data, filter_=False, name=fn),
                "callable_": lambda: Find().find(data, callable_=fn),
                "callable_ value": lambda: Find().find(data, filter_=False, callable_=fn),
                "path": lambda: Find().find(data, R(["info", "Eth1", "status", fn])),
                "path value": lambda: Find().find(data, R(["info", "(Eth.*)", "status", fn]), filter_=False),
                "nested": lambda: Find()._match(data[0], {"items__b": fn}, filter_=False),
            }
            for name, case in cases.items():
                attempt(f"{prefix} / {name}", case)
        for label, value in results.items():
            run(f"returns {label}", lambda *a, _v=value: _v)
            class Logic(BaseLogic):
                def __call__(self, value, _v=value):
                    return _v
            run(f"logic returns {label}", Logic())
        for label in RAISING:
            run(f"raises {label}", raiser(label))
        def emptying(*a):
            for item in data:
                item.clear()
            data.clear()
            return True
        run("empties the collection", emptying)
        data = [device(), device()]
        def refilling(*a):
            data.extend([device(), 5, None])
            data[0]["info"]["Eth9"] = {"status": "up"}
            return True
        run("refills the collection", lambda *a: refilling() if len(data) < 50 else True)
        data = [device(), device()]
        run("re-enters", lambda *a: bool(Find().find(data[:1], R(UP), filter_=False)))
    """),

    # ----- dunder methods of the objects walked -------------------------------------------------------------
    hostile("objects.walked-dunders", """
        class Obj:
            def __init__(self, **kw):
                vars(self).update(kw)
        for label, value in WRONG.items():
            Items = dict_giving(value, "items", "keys", "values", "__iter__", "__getitem__", "get")
            def odd_device(_I=Items):
                d = device()
                d["info"] = _I(d["info"])
                d["info"]["Eth1"] = _I(d["info"]["Eth1"])
                return [_I(d), device()]
            searches(f"dict methods -> {label}", Find, odd_device)
            class Str:
                def __init__(self, _v=value):
                    self.v = _v
                def __str__(self):
                    return self.v
                __repr__ = __format__ = lambda self, *a: self.v
                def __hash__(self):
                    return 1
                def __eq__(self, other):
                    return self.v
            searches(f"key __str__/__eq__ -> {label}", Find,
                     lambda: [{"info": {Str(): {"status": Str()}, "Eth1": {"status": Str()}}, "name": Str()}])
            searches(f"attribute values -> {label}", Find,
                     lambda: [Obj(info={"Eth1": Obj(status=Str())}, name=Str(), items=Str())])
            class Loop:
                def __iter__(self, _v=value):
                    return _v
            attempt(f"loopable __iter__ -> {label}", lambda: Find().find([{"items": Loop()}], items__b=1))
        for label in RAISING:
            class Raising(str):
                __hash__ = str.__hash__
                def __eq__(self, other, _l=label):
                    raise RAISING[_l]()
                def __str__(self, _l=label):
                    raise RAISING[_l]()
            searches(f"key __eq__/__str__ raises {label}", Find,
                     lambda: [{"info": {Raising("Eth1"): {Raising("status"): "up"}}, Raising("name"): "d"}])
            class Unhashable:
                def __hash__(self, _l=label):
                    raise RAISING[_l]()
                def __eq__(self, other, _l=label):
                    raise RAISING[_l]()
            searches(f"value __hash__/__eq__ raises {label}", Find,
                     lambda: [{"info": {"Eth1": {"status": Unhashable(), "mode": Unhashable()}}, "name": "d"}])
            class RaisingDict(dict):
                items = keys = values = __getitem__ = raiser(label)
            searches(f"dict methods raise {label}", Find, lambda: [RaisingDict(device())])
        # __eq__ of a walked value that empties or refills what is being walked
        data = []
        class Emptying:
            def __eq__(self, other):
                for item in data:
                    if isinstance(item, dict):
                        item.clear()
                data.clear()
                return True
            __hash__ = object.__hash__
            def __str__(self):
                return "up"
        def emptying_data():
            data[:] = [{"info": {"Eth1": {"status": Emptying(), "mode": Emptying()}}, "name": Emptying()},
                       device()]
            return data
        searches("value __eq__ empties", Find, emptying_data)
        class Refilling(Emptying):
            def __eq__(self, other):
                if len(data) < 100:
                    data.extend([device(), None, 5])
                    data[0]["info"][f"Eth{len(data)}"] = {"status": "up"}
                return True
        def refilling_data():
            data[:] = [{"info": {"Eth1": {"status": Refilling(), "mode": Refilling()}}, "name": Refilling()}]
            return data
        searches("value __eq__ refills", Find, refilling_data)
        class Again(Emptying):
            def __eq__(self, other):
                mod.find([device()], R(UP), R(ACCESS), filter_=False)
                return True
        searches("value __eq__ re-enters", Find,
                 lambda: [{"info": {"Eth1": {"status": Again(), "mode": Again()}}, "name": Again()}])
    """),

    # ----- the operators' own collaborators, and group_keys / _populate_path given wrong input -------------
    hostile("objects.operators-and-grouping", """
        import copy
        for label, value in WRONG.items():
            class Value:
                def __hash__(self, _v=value):
                    return _v
                def __eq__(self, other, _v=value):
                    return _v
                def __str__(self, _v=value):
                    return _v if isinstance(_v, str) else "x"
                __format__ = lambda self, spec, _v=value: _v
            for cls in (Operator, Not, Contains, NotExists):
                op = cls(Value())
                attempt(f"{cls.__name__} hash/eq/repr -> {label}",
                        lambda: (hash(op), op == 1, repr(op), copy.deepcopy(op)))
                op = cls("(Eth.*)")
                op.regex = value
                attempt(f"{cls.__name__} regex = {label}",
                        lambda: (op == "Eth1", Find().find([device()], R(["info", op, "status", "up"])),
                                 Find().find([device()], R(["info", op, "status", "up"]), filter_=False)))
                op = cls("x")
                op.parent = value
                attempt(f"{cls.__name__} parent = {label}", lambda: op == 1)
            class Match:
                def __init__(self, _v=value):
                    self.groupindex = _v
                def match(self, text, _v=value):
                    return _v
            op = Operator("(?P<intf>Eth.*)")
            op.regex = Match()
            attempt(f"group_keys pattern -> {label}", lambda: GroupKeys.group_keys(
                [("up", ["info", "Eth1", "status"])], [["info", op, "status", "up"]]))
            attempt(f"group_keys given {label}", lambda: GroupKeys.group_keys(value, [UP]))
            attempt(f"group_keys pairs {label}", lambda: GroupKeys.group_keys([value, ("up", value)], [UP]))
            attempt(f"group_keys reqs {label}", lambda: GroupKeys.group_keys([("up", ["info", "Eth1", "status"])],
                                                                             value, all_keys=True))
            attempt(f"_populate_path {label}", lambda: Find()._populate_path([UP, value], [value, {"intf": value}]))
            attempt(f"_build_dict {label}", lambda: Find()._build_dict(device(), value, 1))
            attempt(f"_build_dict index {label}", lambda: Find()._build_dict(device(), ["info", "Eth1"], value))
            attempt(f"_unhashable_intersection {label}",
                    lambda: Find()._unhashable_intersection([value, [value], [[1], value]]))
            attempt(f"_normalize_r {label}", lambda: Find()._normalize_r([R([value, 1]), R(UP), R(value)]))
            attempt(f"_match {label}", lambda: Find()._match(device(), {value: value, "a__" + "b": value}))
        for label in RAISING:
            class Raising:
                __hash__ = __eq__ = __str__ = raiser(label)
            attempt(f"operator value raises {label}",
                    lambda: (Operator(Raising()) == 1, hash(Not(Raising())), Contains(Raising()) == [1]))
            attempt(f"group_keys element raises {label}", lambda: GroupKeys.group_keys(
                [(Raising(), ["info", Raising(), "status"])], [UP]))
    """),
]
