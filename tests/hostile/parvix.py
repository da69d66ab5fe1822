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


from textwrap import dedent

PRELUDE = dedent("""
    import itertools
    import quarv.utils.parvix as mod
    from quarv.utils.parvix import expand_nargs_list, remove_dups_from_multiple_nargs_list
    def substitutes():
        return list(WRONG.items()) + [("raises " + label, raiser(label)) for label in RAISING]
    def returning(value):
        return value if callable(value) else (lambda *args, **kwargs: value)
    WORDS = ["4", "5", '"1', "2 3", "4\\"", "'x'", "y", "5"]
""")

ROWS += [
    row("parvix.expand-arguments", PRELUDE + dedent("""
        # the words' own methods (split, strip, hash, truth) and the word list itself
        for method in ("split", "strip", "__hash__", "__eq__", "__bool__", "__len__"):
            for label, value in substitutes():
                word = type("Word", (str,), {method: returning(value)})
                attempt(f"word {method} -> {label}", lambda: expand_nargs_list([*WORDS, word('"a b"'), word("c")]))
                class Piece(str):
                    pass
                setattr(Piece, method, returning(value))
                splitting = type("Splitting", (str,), {"split": lambda self, sep: [Piece('"p"'), Piece("q'")]})
                attempt(f"piece {method} -> {label}", lambda: expand_nargs_list([splitting("p q"), "r"]))
        for label, value in substitutes():
            attempt("argument " + label, lambda: expand_nargs_list(value))
            attempt("argument [" + label + "]", lambda: expand_nargs_list([value, "a"]))
            attempt("argument list of words whose split gives " + label,
                    lambda: expand_nargs_list([type("W", (str,), {"split": lambda self, sep, _v=value: [_v]})("a")]))
        # the list emptied or refilled while it is walked, and the function called again meanwhile
        words = list(WORDS)
        class Emptying(str):
            def split(self, sep):
                words.clear()
                return ["e"]
        words.insert(1, Emptying("e"))
        attempt("a word empties the list", lambda: expand_nargs_list(words))
        refill = list(WORDS)
        class Refilling(str):
            def split(self, sep):
                if len(refill) < 200:
                    refill.extend(["z"] * 20)
                return ["r"]
        refill.insert(0, Refilling("r"))
        attempt("a word refills the list", lambda: expand_nargs_list(refill))
        class Again(str):
            def split(self, sep):
                expand_nargs_list(WORDS)
                remove_dups_from_multiple_nargs_list([WORDS, WORDS])
                return ["a"]
        attempt("expand re-entered", lambda: expand_nargs_list([Again("a"), "b"]))
    """)),
    row("parvix.expand-module-names", PRELUDE + dedent("""
        # the module-level itertools and its chain, looked up at each call
        import types
        original = mod.itertools
        try:
            for label, value in substitutes():
                mod.itertools = value
                attempt("itertools = " + label, lambda: expand_nargs_list(WORDS))
                mod.itertools = types.SimpleNamespace(chain=value)
                attempt("itertools.chain = " + label, lambda: expand_nargs_list(WORDS))
                mod.itertools = types.SimpleNamespace(chain=types.SimpleNamespace(from_iterable=returning(value)))
                attempt("chain.from_iterable -> " + label, lambda: expand_nargs_list(WORDS))
            def again(lists):
                mod.itertools = original
                expand_nargs_list(WORDS)
                return itertools.chain.from_iterable(lists)
            mod.itertools = types.SimpleNamespace(chain=types.SimpleNamespace(from_iterable=again))
            attempt("chain.from_iterable re-enters", lambda: expand_nargs_list(WORDS))
            def emptying(lists):
                for inner in lists:
                    inner.clear()
                lists.clear()
                return itertools.chain.from_iterable(lists)
            mod.itertools = types.SimpleNamespace(chain=types.SimpleNamespace(from_iterable=emptying))
            attempt("chain.from_iterable empties its argument", lambda: expand_nargs_list(WORDS))
        finally:
            mod.itertools = original
    """)),
    row("parvix.remove-dups", PRELUDE + dedent("""
        # the values' hash and equality, and the lists, emptied, refilled or walked again meanwhile
        for label, value in substitutes():
            attempt("argument " + label, lambda: remove_dups_from_multiple_nargs_list(value))
            attempt("inner list " + label, lambda: remove_dups_from_multiple_nargs_list([["a"], value]))
            for method in ("__hash__", "__eq__"):
                cls = type("Value", (str,), {"__hash__": str.__hash__, method: returning(value)})
                attempt(f"value {method} -> {label}",
                        lambda: remove_dups_from_multiple_nargs_list([[cls("a"), cls("b")], [cls("a"), "b"]]))
        outer = [["a", "b"], ["b", "c"], ["c", "d"]]
        class Emptying(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                for inner in outer:
                    inner.clear()
                outer.clear()
                return str.__eq__(self, other)
        outer[1].append(Emptying("a"))
        attempt("a value's __eq__ empties the lists", lambda: remove_dups_from_multiple_nargs_list(outer))
        growing = [["a"], ["b"]]
        class Growing(str):
            def __hash__(self):
                if len(growing) < 100:
                    growing.append(["g"])
                    growing[0].append("h")
                return str.__hash__(self)
            __eq__ = str.__eq__
        growing[0].append(Growing("x"))
        attempt("a value's __hash__ refills the lists", lambda: remove_dups_from_multiple_nargs_list(growing))
        class Again(str):
            def __hash__(self):
                remove_dups_from_multiple_nargs_list([["a"], ["a", "b"]])
                return str.__hash__(self)
            __eq__ = str.__eq__
        attempt("remove_dups re-entered", lambda: remove_dups_from_multiple_nargs_list([[Again("a")], ["a"]]))
    """)),
]
