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
