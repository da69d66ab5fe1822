# Hostile collaborators of quarv.utils.__zendrel__ (see tests/test_hostile_collaborators.py): the
# bootstrap, run again through its module's _initialize.

import textwrap

COMMON = textwrap.dedent("""
    import collections.abc, sys, types, warnings
    warnings.simplefilter("ignore")
    import quarv.utils.__zendrel__ as z
    from quarv.utils.import_utils import LegacyImporter

    NAMES = ["warnings", "pkg_resources", "LEGACY_IMPORT_ENTRYPOINT", "Mapping", "LegacyImporter"]
    ORIGINALS = {name: getattr(z, name) for name in NAMES}

    class EntryPoint:
        def __init__(self, load):
            self.load = load

    def entry_points(*objects):
        # an iter_entry_points giving one entry point per object, each loading that object
        return types.SimpleNamespace(iter_entry_points=lambda group: iter(
            [EntryPoint(lambda _o=obj: _o) for obj in objects]))

    RECORDED = []
    # a stand-in for the real hook, which the process keeps: it records what it is given
    FAKE_IMPORTER = types.SimpleNamespace(register=lambda *a, **k: RECORDED.append((a, k)),
                                          install=lambda: RECORDED.append("install"))

    CONTRIBUTIONS = [{"old_q": "json"}, (str.upper, str.lower), None, [], {}]
    CURRENT = [None]

    def run(objects=CONTRIBUTIONS, importer=FAKE_IMPORTER):
        # _initialize with these contributions and this hook; the names are put back afterwards
        z.pkg_resources = entry_points(*objects)
        z.LegacyImporter = importer
        try:
            return z._initialize()
        finally:
            z.pkg_resources = ORIGINALS["pkg_resources"]
            z.LegacyImporter = ORIGINALS["LegacyImporter"]

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

    STEPS = {"raises " + label: raiser(label) for label in RAISING}
    STEPS.update({"re-enters once": once(reenter), "re-enters always": reenter})

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
        class Meta(type):
            def __instancecheck__(cls, obj):
                before()
                return isinstance(obj, original)
        return Meta("Substitute", (), {})
""")


def hostile_row(name, code):
    return row(name, COMMON + textwrap.dedent(code))


ROWS = [
    # the names _initialize looks up at each run, rebound
    hostile_row("zendrel.module-names", """
        CURRENT[0] = run
        for name in NAMES:
            substitutes = {"wrong " + label: value for label, value in WRONG.items()}
            for label, step in STEPS.items():
                substitutes[label] = abc_like(ORIGINALS[name], step) if name == "Mapping" else \\
                    Proxy(FAKE_IMPORTER if name == "LegacyImporter" else ORIGINALS[name], step)
            for label, substitute in substitutes.items():
                def case(_n=name, _s=substitute):
                    if _n == "pkg_resources":
                        z.pkg_resources = _s
                        try:
                            return z._initialize()
                        finally:
                            z.pkg_resources = ORIGINALS["pkg_resources"]
                    setattr(z, _n, _s)
                    try:
                        return run(importer=_s if _n == "LegacyImporter" else FAKE_IMPORTER)
                    finally:
                        setattr(z, _n, ORIGINALS[_n])
                CURRENT[0] = case
                attempt(f"{name} {label}", case)
                CURRENT[0] = run
        # what their functions give back, of the wrong type
        for label, value in WRONG.items():
            give = lambda *a, _v=value, **k: _v
            attempt("iter_entry_points gives " + label, lambda: (
                setattr(z, "pkg_resources", types.SimpleNamespace(iter_entry_points=give)), z._initialize()))
            z.pkg_resources = ORIGINALS["pkg_resources"]
            attempt("an entry point is " + label, lambda: (
                setattr(z, "pkg_resources", types.SimpleNamespace(iter_entry_points=lambda g, _v=value: [_v])),
                z._initialize()))
            z.pkg_resources = ORIGINALS["pkg_resources"]
            attempt("warn gives " + label, lambda: (
                setattr(z, "warnings", types.SimpleNamespace(warn=give)), run()))
            z.warnings = ORIGINALS["warnings"]
            for hook_label, hook in [("register", types.SimpleNamespace(register=give, install=print)),
                                     ("install", types.SimpleNamespace(register=print, install=give)),
                                     ("register is", types.SimpleNamespace(register=value, install=print)),
                                     ("install is", types.SimpleNamespace(register=print, install=value))]:
                attempt(f"hook {hook_label} {label}", lambda: run(importer=hook))
        del z.Mapping
        attempt("no Mapping", run)
        z.Mapping = ORIGINALS["Mapping"]
        z.Mapping = object  # every contribution is taken for a mapping
        attempt("Mapping is object", run)
        z.Mapping = ORIGINALS["Mapping"]
    """),
    # the contributions the entry points give, and their own methods
    hostile_row("zendrel.contributions", """
        CURRENT[0] = lambda: run([GIVEN[0]])
        GIVEN = [None]
        def contribute(obj, label, importer=FAKE_IMPORTER):
            GIVEN[0] = obj
            attempt(label, lambda: run([obj], importer))
        for label, value in WRONG.items():
            contribute(value, "contribution " + label)
            contribute({"old_q": value}, "mapping to " + label)
            contribute({value: "json"} if isinstance(value, collections.abc.Hashable) else [value], "mapping of " + label)
            contribute((value, value), "pair of " + label)
        for label in RAISING:
            attempt("load raises " + label, lambda: (
                setattr(z, "pkg_resources", types.SimpleNamespace(iter_entry_points=lambda g, _l=label: [
                    EntryPoint(raiser(_l))])), z._initialize()))
            z.pkg_resources = ORIGINALS["pkg_resources"]
        # mappings and iterables whose own methods lie, raise, re-enter, or empty themselves
        for base, names in [(dict, ["keys", "__getitem__", "__iter__", "__len__", "__bool__", "items"]),
                            (collections.abc.Mapping, ["keys", "__getitem__", "__iter__", "__len__", "__bool__"]),
                            (list, ["__iter__", "__len__", "__getitem__", "__bool__"]),
                            (tuple, ["__iter__", "__len__", "__getitem__", "__bool__"])]:
            for name in names:
                made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
                for label, step in {**STEPS, "empties itself": None}.items():
                    def method(self, *args, _step=step, _name=name, _base=base, **kwargs):
                        if _step is None:
                            getattr(self, "clear", lambda: None)()
                        else:
                            _step()
                        if _base is collections.abc.Mapping:
                            return getattr(self.inner, _name)(*args, **kwargs) if _name != "__bool__" else True
                        return getattr(_base, _name, lambda self: True)(self, *args, **kwargs)
                    made[label] = method
                for label, method in made.items():
                    if base is collections.abc.Mapping:
                        members = {"__init__": lambda self, inner: setattr(self, "inner", inner),
                                   "__getitem__": lambda self, k: self.inner[k],
                                   "__iter__": lambda self: iter(self.inner), "__len__": lambda self: len(self.inner),
                                   "clear": lambda self: self.inner.clear()}
                        members[name] = method
                        made_obj = type("Contribution", (base,), members)({"old_q": "json", "older_q": "json"})
                    elif base is dict:
                        made_obj = type("Contribution", (base,), {name: method})(old_q="json", older_q="json")
                    else:
                        made_obj = type("Contribution", (base,), {name: method})([str.upper, str.lower])
                    contribute(made_obj, f"{base.__name__} {name} {label}")
                    contribute(made_obj, f"{base.__name__} {name} {label} / the real hook", importer=LegacyImporter)
        # a few wrong contributions given to the real hook too
        for label, value in WRONG.items():
            contribute(value, "the real hook / contribution " + label, importer=LegacyImporter)
            contribute({"old_q": value}, "the real hook / mapping to " + label, importer=LegacyImporter)
            contribute((value, value), "the real hook / pair of " + label, importer=LegacyImporter)
    """),
]
