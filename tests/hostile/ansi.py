# Hostile collaborators of quarv.utils.ansi (see tests/test_hostile_collaborators.py).

ROWS = [
    # ESCAPE_SEQUENCE is looked up at every call: rebound to wrong values, to a pattern whose `sub`
    # gives the wrong type, raises, or calls escape again
    row("ansi.escape-sequence", """
        import re
        import quarv.utils.ansi as ansi
        from quarv.utils.ansi import escape
        own = ansi.ESCAPE_SEQUENCE
        LINES = {"plain": "text", "coloured": "\\x1b[31mred\\x1b[0m", "8-bit": "\\x9b1mx\\xe9",
                 "wide": "\\x1b[2J\\u20ac", "astral": "\\x1b[1m\\U0001f600", "long": "\\x1b[1mab" * 3000}

        class Pattern:
            def __init__(self, sub):
                self.sub = sub

        def reenter_once(depth=[0]):
            def sub(replacement, line):
                if depth[0]:
                    return own.sub(replacement, line)
                depth[0] += 1
                try:
                    return escape(line)
                finally:
                    depth[0] -= 1
            return sub

        substitutes = {"wrong " + label: value for label, value in WRONG.items()}
        substitutes.update({"sub gives " + label: Pattern(lambda r, line, _v=value: _v) for label, value in WRONG.items()})
        substitutes.update({"sub raises " + label: Pattern(raiser(label)) for label in RAISING})
        substitutes["sub re-enters once"] = Pattern(reenter_once())
        substitutes["sub re-enters always"] = Pattern(lambda r, line: escape(line))
        def rebinding(r, line):
            ansi.ESCAPE_SEQUENCE = own  # the module's own pattern is back for the next call
            return escape(line)
        substitutes["sub rebinds the own pattern and re-enters"] = Pattern(rebinding)
        substitutes["the same text with other flags"] = re.compile(own.pattern, re.IGNORECASE)
        substitutes["the same text as bytes"] = re.compile(own.pattern.encode())
        substitutes["another text"] = re.compile("x")
        for label, substitute in substitutes.items():
            for line_label, line in LINES.items():
                ansi.ESCAPE_SEQUENCE = substitute
                attempt(f"{label} / {line_label}", lambda: escape(line))
        del ansi.ESCAPE_SEQUENCE
        attempt("no ESCAPE_SEQUENCE", lambda: escape("x"))
        ansi.ESCAPE_SEQUENCE = own
    """),
    # the line itself: values of the wrong type, and str subclasses whose own methods lie or raise
    row("ansi.line", """
        import re
        import quarv.utils.ansi as ansi
        from quarv.utils.ansi import escape
        own = ansi.ESCAPE_SEQUENCE
        other = re.compile(own.pattern + "|$^")
        for label, value in WRONG.items():
            attempt("line " + label, lambda: escape(value))
        for name in ["__len__", "__getitem__", "__iter__", "__str__", "__eq__", "__hash__", "replace", "encode"]:
            behaviours = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            behaviours.update({"raises " + label: raiser(label) for label in RAISING})
            behaviours["calls escape again"] = lambda self, *a, **k: escape(str.__str__(self))
            for label, method in behaviours.items():
                Line = type("Line", (str,), {name: method})
                for text in ["plain", "\\x1b[31mred", "\\x1b[1m" * 1000 + "\\u20ac"]:
                    attempt(f"str subclass {name} {label}", lambda: escape(Line(text)))
                    # through a pattern that is not the module's own, the line goes to `sub`
                    ansi.ESCAPE_SEQUENCE = other
                    attempt(f"str subclass {name} {label} / other pattern", lambda: escape(Line(text)))
                    ansi.ESCAPE_SEQUENCE = own
    """),
]
