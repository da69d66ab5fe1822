# Hostile collaborators of quarv.utils.yaml.dumper (see tests/test_hostile_collaborators.py).

ROWS = [
    # the representer: the dumper's represent_dict (overridden on a subclass and on an instance), the
    # ordered dictionary's items (lying, raising, dumping again, emptied or refilled), wrong arguments
    row("dumper.representer", """
        import io
        from collections import OrderedDict
        import yaml
        from quarv.utils.yaml.dumper import OrderedSafeDumper
        represent = OrderedSafeDumper.ordereddict_representer
        CURRENT = [None]
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

        def data():
            return OrderedDict([("b", 1), ("a", OrderedDict([("y", [1, OrderedDict(z=2)])]))])

        class Ordered(OrderedDict):
            pass

        def dumper_for(cls, ordered=Ordered):
            # a dumper class that takes the ordered dictionary subclass through the module's representer
            made = type("Dumper", (cls,), {})
            made.add_representer(ordered, represent)
            return made

        for label, value in WRONG.items():
            attempt("dumper " + label, lambda: represent(value, data()))
            attempt("data " + label, lambda: represent(OrderedSafeDumper(io.StringIO()), value))
        # the dumper's represent_dict
        behaviours = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
        for label, step in STEPS.items():
            def method(self, *args, _step=step, **kwargs):
                _step()
                return OrderedSafeDumper.represent_dict(self, *args, **kwargs)
            behaviours[label] = method
        for label, method in behaviours.items():
            Sub = type("Sub", (OrderedSafeDumper,), {"represent_dict": method})
            CURRENT[0] = lambda: yaml.dump(data(), Dumper=Sub)
            attempt(f"subclass represent_dict {label}", CURRENT[0])
            class OnInstance(OrderedSafeDumper):
                def __init__(self, *args, _m=method, **kwargs):
                    super().__init__(*args, **kwargs)
                    self.represent_dict = _m.__get__(self)
            CURRENT[0] = lambda: yaml.dump(data(), Dumper=OnInstance)
            attempt(f"instance represent_dict {label}", CURRENT[0])
            CURRENT[0] = lambda: represent(OnInstance(io.StringIO()), data())
            attempt(f"instance represent_dict {label} / called directly", CURRENT[0])
        # the ordered dictionary's own items, and the dunders of what it holds
        for name in ["items", "__iter__", "__len__", "__getitem__", "keys"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            steps = dict(STEPS)
            steps["empties itself"] = lambda self: self.clear()
            steps["refills itself"] = lambda self: (self.clear(), self.update(("k%d" % i, i) for i in range(9)))
            for label, step in steps.items():
                def method(self, *args, _step=step, _name=name, **kwargs):
                    _step(self) if _step in (steps["empties itself"], steps["refills itself"]) else _step()
                    return getattr(OrderedDict, _name)(self, *args, **kwargs)
                made[label] = method
            for label, method in made.items():
                Hostile = type("Hostile", (OrderedDict,), {name: method})
                Dumper = dumper_for(OrderedSafeDumper, Hostile)
                make = lambda: Hostile([("b", 1), ("a", Hostile([("y", [1])]))])
                CURRENT[0] = lambda: yaml.dump(make(), Dumper=Dumper)
                attempt(f"ordered {name} {label}", CURRENT[0])
                CURRENT[0] = lambda: represent(Dumper(io.StringIO()), make())
                attempt(f"ordered {name} {label} / called directly", CURRENT[0])
        # the items view emptied or refilled by the values represented from it
        for label, step in {**STEPS, "empties the ordered": None, "refills the ordered": None}.items():
            shared = OrderedDict()
            class Value:
                pass
            def represent_value(dumper, value, _step=step, _label=label):
                if _label == "empties the ordered":
                    shared.clear()
                elif _label == "refills the ordered":
                    shared.clear()
                    shared.update(("k%d" % i, i) for i in range(9))
                else:
                    _step()
                return dumper.represent_int(1)
            Dumper = type("Dumper", (OrderedSafeDumper,), {})
            Dumper.add_representer(Value, represent_value)
            def dump_shared(_D=Dumper):
                shared.clear()
                shared.update(a=Value(), b=Value(), c=OrderedDict(d=Value()))
                return yaml.dump(shared, Dumper=_D)
            CURRENT[0] = dump_shared
            attempt("a value's representer " + label, dump_shared)
        # keys whose own dunders lie or raise, with and without sorting
        for name in ["__lt__", "__eq__", "__hash__", "__str__"]:
            made = {"gives " + label: (lambda self, *a, _v=value, **k: _v) for label, value in WRONG.items()}
            made.update({label: (lambda self, *a, _s=step, **k: _s() or False) for label, step in STEPS.items()})
            for label, method in made.items():
                Key = type("Key", (str,), {name: method, **({"__hash__": str.__hash__} if name == "__eq__" else {})})
                Dumper = dumper_for(OrderedSafeDumper)
                Dumper.add_representer(Key, lambda dumper, key: dumper.represent_str(str.__str__(key)))
                for sort_keys in (True, False):
                    CURRENT[0] = lambda: yaml.dump(Ordered([(Key("b"), 1), (Key("a"), 2)]), Dumper=Dumper,
                                                   sort_keys=sort_keys)
                    attempt(f"key {name} {label} / sort_keys={sort_keys}", CURRENT[0])
    """),
]
