# Hostile collaborators of quarv.utils.dicts (see tests/test_hostile_collaborators.py).

ROWS = [
    row("dicts.mapping-dunders", """
        from quarv.utils.dicts import recursive_update, recursive_setdefault, recursive_cast
        class Odd(dict):
            pass
        for label, value in WRONG.items():
            class Items(dict):
                def items(self, _v=value):
                    return _v
                def keys(self, _v=value):
                    return _v
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
]
