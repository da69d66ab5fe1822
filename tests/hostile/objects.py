# Hostile collaborators of the object finder (see tests/test_hostile_collaborators.py): the
# module-level names it looks up at call time, Find's overridable methods, callables in
# requirements, and the dunders of the walked objects.

ROWS = [
    row("objects.names-and-methods", """
        import importlib
        mod = importlib.import_module("quarv.utils.objects")
        Find, R = mod.Find, mod.R
        DEVICES = lambda: [{"name": "r1", "info": {"Eth1": {"status": "up", "mode": "access"}, "Eth2": {"status": "down"}}},
                           {"name": "r2", "info": {"Eth1": {"status": "down", "mode": "trunk"}}}]
        def searches(finder=None):
            finder = finder or Find()
            data = DEVICES()
            finder.find(data, R(["info", "(?P<intf>.*)", "status", "up"]),
                        R(["info", "(?P<intf>.*)", "mode", "access"]), filter_=False)
            finder.find(data, R(["info", "(?P<intf>.*)", "status", "up"]),
                        R(["info", "(?P<intf>.*)", "mode", "access"]), filter_=False, all_keys=True)
            finder.find(data, R(name="r1"))
            finder.find(data, R(info__Eth1__status="up"), filter_=False)
            finder.find(data, R(["info", "Eth1", "status", "up"]), filter_=False, index=1)
            finder.find([data[0]], R(["info", "Eth1", "status", "up"]), filter_=False, index=2)
            finder.find(data, R(["info", "(Eth.*)", "status", "up"]))
            finder.find(data, R(["info", "Eth1", "status", "up"]), R(["name", "r1"]), type_=dict)
        def rebound(name, value, fn):
            saved = vars(mod)[name]
            setattr(mod, name, value)
            try:
                return fn()
            finally:
                setattr(mod, name, saved)
        for name in ["GroupKeys", "R", "Operator", "BaseLogic", "Iterable", "copy", "re", "logger", "NotExists"]:
            if name not in vars(mod):
                continue
            for label, value in WRONG.items():
                attempt(name + " is " + label, lambda: rebound(name, value, searches))
            attempt(name + " raises", lambda: rebound(name, raiser("ValueError"), searches))
        # GroupKeys.group_keys that changes the finder's lists, gives the wrong things, raises, re-enters
        finders = []
        def group_keys_doing(action):
            class G(mod.GroupKeys):
                @classmethod
                def group_keys(cls, *a, **k):
                    return action(*a, **k)
            return G
        def emptying(*a, **k):
            for finder in finders:
                for name in ("found_objects", "initial_found_objects"):
                    value = getattr(finder, name, None)
                    if isinstance(value, list):
                        value.clear()
            return mod.GroupKeys.group_keys(*a, **k)
        def refilling(*a, **k):
            for finder in finders:
                value = getattr(finder, "found_objects", None)
                if isinstance(value, list):
                    value.extend([[("x", ["y"])]] * 20)
            return mod.GroupKeys.group_keys(*a, **k)
        def searching(*a, **k):
            searches()
            return mod.GroupKeys.group_keys(*a, **k)
        actions = {"empties the found objects": emptying, "refills them": refilling, "searches again": searching}
        actions.update({"gives " + label: (lambda *a, _v=value, **k: _v) for label, value in WRONG.items()})
        actions.update({"raises " + label: raiser(label) for label in RAISING})
        for label, action in actions.items():
            finder = Find()
            finders[:] = [finder]
            attempt("group_keys " + label, lambda: rebound("GroupKeys", group_keys_doing(action), lambda: searches(finder)))
        # Find's own methods overridden on a subclass
        methods = ["_match", "_formalize_loopable", "_build_dict", "_unhashable_remove", "_unhashable_intersection",
                   "_normalize_r", "reset_keys", "_populate_path"]
        for method in methods:
            for label, value in WRONG.items():
                F = type("F", (Find,), {method: lambda self, *a, _v=value, **k: _v})
                attempt(method + " gives " + label, lambda: searches(F()))
            for label in RAISING:
                F = type("F", (Find,), {method: raiser(label)})
                attempt(method + " raises " + label, lambda: searches(F()))
            def again(self, *a, _m=method, **k):
                searches()
                return getattr(Find, _m)(self, *a, **k)
            attempt(method + " searches again", lambda: searches(type("F", (Find,), {method: again})()))
            def emptying_method(self, *a, _m=method, **k):
                for arg in a:
                    if isinstance(arg, list):
                        arg.clear()
                return getattr(Find, _m)(self, *a, **k)
            attempt(method + " empties its list arguments", lambda: searches(type("F", (Find,), {method: emptying_method})()))
        # callables in requirements, and the walked objects' own dunders
        for label, value in WRONG.items():
            attempt("callable gives " + label, lambda: Find().find(DEVICES(), R(callable_=lambda item, _v=value: _v)))
        for label in RAISING:
            attempt("callable raises " + label, lambda: Find().find(DEVICES(), R(callable_=raiser(label))))
        data = DEVICES()
        attempt("callable empties the data", lambda: Find().find(data, R(callable_=lambda item: data.clear() or True)))
        for dunder in ["__eq__", "__hash__", "keys", "__getitem__", "__iter__", "items", "get", "__contains__", "__len__"]:
            for label, value in list(WRONG.items()) + [("raises", None)]:
                body = raiser("ValueError") if label == "raises" else (lambda self, *a, _v=value, **k: _v)
                D = type("D", (dict,), {dunder: body})
                item = D(name="r1", info=D(Eth1=D(status="up")))
                attempt(dunder + " " + label, lambda: searches_on([item]))
        def searches_on(data):
            Find().find(data, R(["info", "(?P<intf>.*)", "status", "up"]), R(["name", "r1"]), filter_=False)
            Find().find(data, R(info__Eth1__status="up"), filter_=False)
            Find().find(data, R(name="r1"))
    """),
]
