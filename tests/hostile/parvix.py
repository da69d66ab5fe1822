# Hostile collaborators of quarv.utils.parvix (see tests/test_hostile_collaborators.py).

ROWS = [
    row("parvix.lists-and-chain", """
        import itertools
        import quarv.utils.parvix as parvix
        from quarv.utils.parvix import expand_nargs_list, remove_dups_from_multiple_nargs_list
        def both(value):
            expand_nargs_list(value)
            remove_dups_from_multiple_nargs_list(value)
        for label, value in WRONG.items():
            attempt("input " + label, lambda: both(value))
            attempt("items " + label, lambda: both([value, [value]]))
        outer = [["a", "b"], ["b", "c"]]
        class Item(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                outer.clear()
                outer.append(["x"] * 100)
                return str.__eq__(self, other)
        attempt("item __eq__ refills the outer list", lambda: both([[Item("a"), "a"], *outer]))
        class Lying(list):
            def __iter__(self):
                outer.clear()
                return iter(["a", "a"])
            def __len__(self):
                return 2 ** 62
        attempt("inner list lies", lambda: both([Lying(["a"]), Lying(["b"])]))
        for label in RAISING:
            class Raising(str):
                __hash__ = str.__hash__
                def __eq__(self, other, _l=label):
                    raise RAISING[_l]()
            attempt("item __eq__ raises " + label, lambda: both([[Raising("a")], ["a"]]))
            class Hashing(str):
                def __hash__(self, _l=label):
                    raise RAISING[_l]()
            attempt("item __hash__ raises " + label, lambda: both([[Hashing("a")], ["a"]]))
        class Again(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                both([["q", "q"]])
                return str.__eq__(self, other)
        attempt("item __eq__ calls again", lambda: both([[Again("a"), "a"]]))
        for label, value in WRONG.items():
            parvix.itertools = value
            attempt("itertools is " + label, lambda: both([["a b"], ["c"]]))
        parvix.itertools = type("I", (), {"chain": type("C", (), {"from_iterable": staticmethod(raiser("ValueError"))})})
        attempt("chain raises", lambda: both([["a b"], ["c"]]))
        parvix.itertools = itertools
    """),
]
