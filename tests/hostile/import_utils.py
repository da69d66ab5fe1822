# Hostile collaborators of quarv.utils.import_utils.legacy (see tests/test_hostile_collaborators.py).

ROWS = [
    row("legacy.translators-and-names", """
        import sys, importlib
        import quarv.utils.import_utils.legacy as legacy
        from quarv.utils.import_utils.legacy import LegacyImporter
        LegacyImporter.install()
        LegacyImporter.register(**{"hostile_old": "json"})
        def tries():
            for name in ["hostile_old", "hostile_old.decoder", "nothing_like_it", "json"]:
                LegacyImporter.translate(name)
                LegacyImporter.reverse_translate(name)
                LegacyImporter.find_spec(name, None)
            sys.modules.pop("hostile_old", None)
            importlib.import_module("hostile_old")
        translators = LegacyImporter._custom_translators
        for label, value in WRONG.items():
            translators.append(lambda name, _v=value: _v)
            attempt("translator gives " + label, tries)
            translators.clear()
        for label in RAISING:
            translators.append(raiser(label))
            attempt("translator raises " + label, tries)
            translators.clear()
        def emptying(name):
            translators.clear()
            LegacyImporter._importmap.clear()
            return None
        translators.append(emptying)
        attempt("translator empties the lists it is walked from", tries)
        LegacyImporter.register(**{"hostile_old": "json"})
        def refilling(name):
            translators.extend([lambda n: None] * 50)
            return None
        translators.append(refilling)
        attempt("translator refills its list", tries)
        translators.clear()
        translators.append(lambda name: LegacyImporter.translate(name))
        attempt("translator translates again", tries)
        translators.clear()
        for label, value in WRONG.items():
            attempt("register pair " + label, lambda: LegacyImporter.register(*value) if isinstance(value, tuple)
                    else LegacyImporter.register(value))
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other, _calls=[0]):
                LegacyImporter._importmap.clear()
                return str.__eq__(self, other)
        LegacyImporter._importmap[Key("hostile_key")] = "json"
        attempt("key __eq__ empties the map", tries)
        for name in ["sys", "find_spec", "ModuleSpec", "LegacyLoader", "LegacyImporter", "logger"]:
            saved = vars(legacy)[name]
            for label, value in list(WRONG.items())[:8]:
                setattr(legacy, name, value)
                attempt(name + " is " + label, tries)
            setattr(legacy, name, raiser("ValueError"))
            attempt(name + " raises", tries)
            setattr(legacy, name, saved)
        sys.meta_path[:] = [f for f in sys.meta_path if f is not LegacyImporter]
    """),
]


from textwrap import dedent

# Each case works on a subclass of its own (the class-level containers are the process's), and
# anything put into sys.meta_path or sys.modules is taken out again.
PRELUDE = dedent("""
    import importlib, sys, types
    import quarv.utils.import_utils.legacy as mod
    from quarv.utils.import_utils.legacy import LegacyImporter, LegacyLoader
    sys.modules["hostile_new"] = types.ModuleType("hostile_new")
    sys.modules["hostile_new"].__spec__ = importlib.machinery.ModuleSpec("hostile_new", None)
    def importer(**attributes):
        cls = type("Importer", (LegacyImporter,), {"_importmap": {"hostile_old": "hostile_new",
                                                                   "pkg_old": "pkg_new"},
                                                   "_reverse_importmap": {"hostile_new": "hostile_old"},
                                                   "_custom_translators": [lambda n: None],
                                                   "_custom_reverse_translators": [lambda n: None]})
        for name, value in attributes.items():
            setattr(cls, name, value)
        return cls
    def imports(cls, names=("hostile_old", "hostile_old.sub", "pkg_old.x", "unknown_name")):
        # every step is taken, whatever the ones before gave (an exception that is no Exception ends it)
        failures = []
        def step(fn, *args):
            try:
                fn(*args)
            except Exception as error:
                failures.append(error)
        saved = list(sys.meta_path)
        sys.meta_path.insert(0, cls)
        try:
            for name in names:
                sys.modules.pop(name, None)
                step(importlib.import_module, name)
                sys.modules.pop(name, None)
                for method in ("find_spec", "translate", "reverse_translate"):
                    step(lambda: getattr(cls, method)(name))
        finally:
            sys.meta_path[:] = saved
        if failures:
            raise failures[-1]
    def substitutes():
        return list(WRONG.items()) + [("raises " + label, raiser(label)) for label in RAISING]
    def returning(value):
        return value if callable(value) else (lambda *args, **kwargs: value)
""")

ROWS += [
    row("import_utils.containers", PRELUDE + dedent("""
        # the class's maps and translator lists, replaced by wrong types and by mappings whose own
        # methods misbehave
        for name in ("_importmap", "_reverse_importmap", "_custom_translators", "_custom_reverse_translators"):
            for label, value in WRONG.items():
                attempt(name + " = " + label, lambda: imports(importer(**{name: value})))
        for method in ("__contains__", "__getitem__", "__iter__", "keys", "get", "__eq__", "__hash__"):
            for label, value in substitutes():
                cls = type("Names", (dict,), {method: returning(value)})
                names = cls({"hostile_old": "hostile_new", "pkg_old": "pkg_new"})
                attempt(f"_importmap.{method} -> {label}", lambda: imports(importer(_importmap=names)))
        for label, value in substitutes():
            class Key(str):
                __hash__ = str.__hash__
                def __eq__(self, other, _v=value):
                    return returning(_v)()
                def startswith(self, prefix, _v=value):
                    return returning(_v)()
            attempt("key methods -> " + label,
                    lambda: imports(importer(_importmap={Key("hostile_old"): "hostile_new", Key("pkg"): "x"})))
            attempt("registered value " + label,
                    lambda: imports(importer(_importmap={"hostile_old": value, "pkg_old": value})))
            class Name(str):
                def replace(self, *args, _v=value):
                    return returning(_v)()
                def startswith(self, *args, _v=value):
                    return returning(_v)()
            attempt("name methods -> " + label, lambda: imports(importer(), names=(Name("pkg_old.x"),)))
        # the maps emptied or refilled while they are walked
        names = {"a": "b", "pkg_old": "pkg_new"}
        class Emptying(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                names.clear()
                return False
            def startswith(self, prefix):
                names.clear()
                return False
        names[Emptying("k")] = "v"
        attempt("a key empties the map", lambda: imports(importer(_importmap=names)))
        refill = {"a": "b"}
        class Refilling(str):
            __hash__ = str.__hash__
            def startswith(self, prefix):
                refill.update({f"r{i}": "x" for i in range(20)})
                return False
        refill[Refilling("k")] = "v"
        attempt("a key refills the map", lambda: imports(importer(_importmap=refill)))
    """)),
    row("import_utils.translators", PRELUDE + dedent("""
        # the registered translators, returning wrong types, raising, changing their own list, calling
        # the hook again
        def with_reverse_translator(translator):
            LegacyImporter._custom_reverse_translators.append(translator)
            try:
                LegacyLoader("hostile_new").exec_module(types.ModuleType("hostile_old"))
            finally:
                LegacyImporter._custom_reverse_translators.remove(translator)
        for label, value in substitutes():
            attempt("translator -> " + label, lambda: imports(importer(_custom_translators=[returning(value)])))
            attempt("reverse translator -> " + label, lambda: with_reverse_translator(returning(value)))
        translators = []
        def emptying(name):
            translators.clear()
            return None
        translators += [emptying, lambda n: "never"]
        attempt("translator empties the list", lambda: imports(importer(_custom_translators=translators)))
        refilled = []
        def refilling(name):
            if len(refilled) < 10:
                refilled.append(lambda n: None)
            return None
        refilled.append(refilling)
        attempt("translator refills the list", lambda: imports(importer(_custom_translators=refilled)))
        def again(name):
            if name != "hostile_old.sub":
                importlib.util.find_spec("hostile_old")
                LegacyImporter.translate(name)
            return None
        attempt("translator re-enters", lambda: imports(importer(_custom_translators=[again])))
        # translate and reverse_translate overridden on the class
        for method in ("translate", "reverse_translate", "find_spec"):
            for label, value in substitutes():
                cls = importer(**{method: classmethod(lambda cls, *a, _v=value: returning(_v)())})
                attempt(method + " -> " + label, lambda: imports(cls))
                attempt("loader with " + method + " -> " + label, lambda: LegacyLoader("hostile_new").exec_module(
                    types.ModuleType("hostile_old")))
        # register's arguments
        for label, value in substitutes():
            attempt("register(" + label + ")", lambda: LegacyImporter.register(value))
            attempt("register(" + label + ", " + label + ")", lambda: LegacyImporter.register(value, value))
            attempt("register(**{old: " + label + "})", lambda: LegacyImporter.register(**{"h_old": value}))
        attempt("register(a, b, c)", lambda: LegacyImporter.register(len, len, len))
        class Args(tuple):
            def __iter__(self):
                raise ValueError("hostile")
        attempt("register(*tuple subclass)", lambda: LegacyImporter.register(*Args((len, len))))
    """)),
    row("import_utils.module-names", PRELUDE + dedent("""
        # the module-level names looked up at each call
        originals = dict(vars(mod))
        def everything():
            cls = importer()
            imports(cls)
            loader = LegacyLoader("hostile_new")
            loader.create_module(None)
            loader.exec_module(types.ModuleType("hostile_old"))
            cls.install()
            sys.meta_path[:] = [f for f in sys.meta_path if f is not cls]
        try:
            for name in ("sys", "find_spec", "ModuleSpec", "LegacyLoader", "LegacyImporter", "__import__"):
                for label, value in substitutes():
                    setattr(mod, name, value)
                    attempt(name + " = " + label, everything)
                    vars(mod).pop(name, None)
                    vars(mod).update({k: v for k, v in originals.items() if k == name})
                def again(*args, _name=name, **kwargs):
                    vars(mod).update(originals)
                    if _name != "__import__":
                        everything()
                    return originals.get(_name, __import__)(*args, **kwargs)
                setattr(mod, name, again)
                attempt(name + " re-enters", everything)
                vars(mod).pop(name, None)
                vars(mod).update(originals)
            # sys.modules emptied or refilled while the loader walks it, and a sys whose parts are wrong
            class Reverse(LegacyImporter):
                @classmethod
                def reverse_translate(cls, name):
                    sys.modules.pop("hostile_new", None)
                    sys.modules.setdefault("hostile_refill", types.ModuleType("hostile_refill"))
                    return None
            mod.LegacyImporter = Reverse
            attempt("reverse_translate changes sys.modules",
                    lambda: LegacyLoader("hostile_new").exec_module(types.ModuleType("hostile_old")))
            mod.LegacyImporter = originals["LegacyImporter"]
            sys.modules["hostile_new"] = types.ModuleType("hostile_new")
            for part in ("modules", "meta_path"):
                for label, value in WRONG.items():
                    mod.sys = types.SimpleNamespace(**{"modules": {}, "meta_path": [], part: value})
                    attempt("sys." + part + " = " + label, everything)
            mod.sys = originals["sys"]
        finally:
            vars(mod).update(originals)
    """)),
    row("import_utils.loader", PRELUDE + dedent("""
        # the loader's own attribute and the module spec and module it is given
        for label, value in substitutes():
            loader = LegacyLoader("hostile_new")
            loader._module_name = value
            attempt("_module_name = " + label, lambda: loader.create_module(None))
            attempt("exec with _module_name = " + label, lambda: loader.exec_module(types.ModuleType("x")))
            attempt("exec of a module named " + label,
                    lambda: LegacyLoader("hostile_new").exec_module(types.SimpleNamespace(__name__=value)))
            attempt("LegacyLoader(" + label + ")", lambda: LegacyLoader(value).create_module(value))
        class Again(LegacyLoader):
            depth = 0
            def __getattribute__(self, name):
                if Again.depth < 20:
                    Again.depth += 1
                    self.create_module(None)
                return super().__getattribute__(name)
        attempt("create_module re-entered", lambda: Again("hostile_new").create_module(None))
        # a hook that translates a name into itself or into a name that leads back
        cycle = importer(_importmap={"cyc_a": "cyc_b", "cyc_b": "cyc_a", "self_x": "self_x", "down": "down.sub"})
        attempt("a cycle of translations", lambda: imports(cycle, names=("cyc_a", "self_x", "down", "down.sub")))
    """)),
]
