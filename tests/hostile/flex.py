# Hostile collaborators of quarv.utils.import_utils.flex (see tests/test_hostile_collaborators.py).

import textwrap

COMMON = textwrap.dedent("""
    import os, sys, tempfile, textwrap, types
    import quarv.utils.import_utils.flex as flex
    from quarv.utils.import_utils.flex import FlexImporter

    FOLDER = tempfile.mkdtemp()
    def source(name, text):
        path = os.path.join(FOLDER, name)
        with open(path, "w") as file:
            file.write(textwrap.dedent(text))
        return path
    PLAIN = source("plain_q.py", "VALUE = 1\\n")
    FAILING = source("failing_q.py", "raise ValueError('own code')\\n")
    # a file that loads itself, again and again
    SELF_LOADING = source("self_loading_q.py", '''
        from quarv.utils.import_utils.flex import FlexImporter
        FlexImporter().load(__file__)
    ''')
    # files that take their own entry out of sys.modules, or put another object there, and fail
    DROPPING = source("dropping_q.py", "import sys\\ndel sys.modules[__name__]\\n")
    DROPPING_FAILING = source("dropping_failing_q.py", "import sys\\ndel sys.modules[__name__]\\nraise KeyError(1)\\n")
    REPLACING_FAILING = source("replacing_failing_q.py", "import sys\\nsys.modules[__name__] = 5\\nraise KeyError(1)\\n")
    # a module whose text form (printed and logged when it is loaded) raises
    ODD_REPR = source("odd_repr_q.py", '''
        import sys, types
        class Odd(types.ModuleType):
            def __repr__(self):
                raise ValueError("no text form")
        sys.modules[__name__].__class__ = Odd
    ''')
    FILES = {"plain": PLAIN, "failing": FAILING, "self-loading": SELF_LOADING, "dropping": DROPPING,
             "dropping and failing": DROPPING_FAILING, "replacing and failing": REPLACING_FAILING,
             "odd repr": ODD_REPR}
    LOADED = ("plain_q", "failing_q", "self_loading_q", "dropping_q", "dropping_failing_q", "replacing_failing_q",
              "odd_repr_q", "colorsys")

    def forget():
        for name in LOADED:
            sys.modules.pop(name, None)
            sys.modules.pop("pre." + name, None)

    CALLS = {
        "a loaded name": lambda: FlexImporter().load("json"),
        "a module object": lambda: FlexImporter().load(types.ModuleType("floating_q")),
        "an importable name": lambda: FlexImporter().load("colorsys"),
        "a missing name": lambda: FlexImporter().load("no_such_module_q"),
        "from a file": lambda: FlexImporter("pre").load_module_from_file(PLAIN),
    }
    CALLS.update({"load " + label: (lambda _p=path: FlexImporter().load(_p)) for label, path in FILES.items()})
    CURRENT = [None]

    def call_all(prefix):
        for name, call in CALLS.items():
            CURRENT[0] = call
            forget()
            attempt(prefix + " / " + name, call)

    def reenter():
        CURRENT[0]()

    def once(step, depth=[0]):
        def run(*args, **kwargs):
            if depth[0]:
                return
            depth[0] += 1
            try:
                step()
            finally:
                depth[0] -= 1
        return run

    def drop_loaded():
        # what is being registered or looked up goes from sys.modules, and the folder from sys.path
        forget()
        while FOLDER in sys.path:
            sys.path.remove(FOLDER)

    STEPS = {"raises " + label: raiser(label) for label in RAISING}
    STEPS.update({"re-enters once": once(reenter), "re-enters always": reenter, "drops the loaded": drop_loaded})

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
            return Proxy(value, self._before) if callable(value) and not isinstance(value, type) else value
""")


def hostile_row(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    # the module-level names load and load_module_from_file look up at each call
    hostile_row("flex.module-names", """
        NAMES = ["os", "sys", "types", "logger", "import_module", "SourceFileLoader"]
        ORIGINALS = {name: getattr(flex, name) for name in NAMES}
        for name in NAMES:
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            substitutes.update({label: Proxy(ORIGINALS[name], step) for label, step in STEPS.items()})
            for label, substitute in substitutes.items():
                setattr(flex, name, substitute)
                try:
                    call_all(f"{name} {label}")
                finally:
                    setattr(flex, name, ORIGINALS[name])
        # what their functions and attributes give back, of the wrong type
        def path_with(**functions):
            return types.SimpleNamespace(path=types.SimpleNamespace(**{**vars(os.path), **functions}))
        for label, value in WRONG.items():
            give = lambda *a, _v=value, **k: _v
            for name, substitute in [
                    *[("os", path_with(**{function: give})) for function in
                      ["isfile", "abspath", "expanduser", "dirname", "basename", "splitext"]],
                    ("os", path_with(splitext=lambda p, _v=value: [_v])),
                    ("sys", types.SimpleNamespace(modules=value, path=sys.path)),
                    ("sys", types.SimpleNamespace(modules=sys.modules, path=value)),
                    ("types", types.SimpleNamespace(ModuleType=value)),
                    ("types", types.SimpleNamespace(ModuleType=give)),
                    ("logger", types.SimpleNamespace(debug=give)),
                    ("import_module", give),
                    ("SourceFileLoader", give),
                    ("SourceFileLoader", lambda *a, _v=value, **k: types.SimpleNamespace(name=_v, exec_module=print)),
                    ("SourceFileLoader", lambda *a, _v=value, **k: types.SimpleNamespace(
                        name="x_q", exec_module=lambda m, _w=_v: _w))]:
                setattr(flex, name, substitute)
                try:
                    call_all(f"{name} gives {label}")
                finally:
                    setattr(flex, name, ORIGINALS[name])
        # the loader's exec_module raising, re-entering, dropping the module it runs
        for label, step in STEPS.items():
            class Loader(flex.SourceFileLoader):
                def exec_module(self, module, _step=step):
                    _step()
                    return super().exec_module(module)
            flex.SourceFileLoader = Loader
            call_all("exec_module " + label)
            flex.SourceFileLoader = ORIGINALS["SourceFileLoader"]
        # sys.modules holding objects whose own methods fail
        for label, step in STEPS.items():
            class Held:
                def __repr__(self, _step=step):
                    _step()
                    return "held"
                __str__ = __repr__
            sys.modules["held_q"] = Held()
            CURRENT[0] = lambda: FlexImporter().load("held_q")
            attempt("a held object's repr " + label, CURRENT[0])
            sys.modules.pop("held_q", None)
    """),
    # methods and attributes of the importer, and the object given to load
    hostile_row("flex.methods-and-values", """
        behaviours = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
        for label, step in STEPS.items():
            def method(self, *args, _step=step, **kwargs):
                _step()
                return FlexImporter.load_module_from_file(self, *args, **kwargs)
            behaviours[label] = method
        for label, method in behaviours.items():
            Sub = type("Sub", (FlexImporter,), {"load_module_from_file": method})
            for file_label, path in FILES.items():
                forget()
                CURRENT[0] = lambda: Sub().load(path)
                attempt(f"subclass load_module_from_file {label} / {file_label}", CURRENT[0])
                def on_instance(_m=method, _p=path):
                    importer = FlexImporter()
                    importer.load_module_from_file = _m.__get__(importer)
                    return importer.load(_p)
                forget()
                CURRENT[0] = on_instance
                attempt(f"instance load_module_from_file {label} / {file_label}", on_instance)
        # the prefix: of the wrong type, set afterwards, or a text whose own methods lie or raise
        for label, value in WRONG.items():
            forget()
            attempt("prefix " + label, lambda: FlexImporter(value).load(PLAIN))
            def later(_v=value):
                importer = FlexImporter()
                importer.module_prefix = _v
                return importer.load_module_from_file(PLAIN)
            forget()
            attempt("prefix set to " + label, later)
        for name in ["endswith", "__add__", "__radd__", "__str__", "__hash__", "__eq__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            for label, step in STEPS.items():
                def method(self, *args, _step=step, _name=name, **kwargs):
                    _step()
                    return getattr(str, _name)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                Text = type("Text", (str,), {name: method, **({"__hash__": str.__hash__} if name == "__eq__" else {})})
                cases = {
                    "prefix": lambda: FlexImporter(Text("pre")).load(PLAIN),
                    "the name loaded": lambda: FlexImporter().load(Text("json")),
                    "the name imported": lambda: FlexImporter().load(Text("colorsys")),
                    "the file loaded": lambda: FlexImporter().load(Text(PLAIN)),
                    "the file given": lambda: FlexImporter().load_module_from_file(Text(PLAIN)),
                }
                for case, call in cases.items():
                    forget()
                    CURRENT[0] = call
                    attempt(f"str {name} {label} / {case}", call)
        # objects given to load whose hash, equality, text form or path form lie or raise
        for name in ["__hash__", "__eq__", "__str__", "__repr__", "__fspath__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            made.update({label: (lambda self, *a, _s=step, **k: _s() or PLAIN) for label, step in STEPS.items()})
            for label, method in made.items():
                Given = type("Given", (), {name: method, **({"__hash__": object.__hash__} if name == "__eq__" else {})})
                forget()
                CURRENT[0] = lambda: FlexImporter().load(Given())
                attempt(f"object {name} {label}", CURRENT[0])
        for label, value in WRONG.items():
            forget()
            attempt("load " + label, lambda: FlexImporter().load(value))
            forget()
            attempt("load_module_from_file " + label, lambda: FlexImporter().load_module_from_file(value))
    """),
]
