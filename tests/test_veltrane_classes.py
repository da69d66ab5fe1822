"""veltrane's schema classes: construction, attributes, text forms, key priority, module interface."""

import inspect

import pytest

from quarv.utils import veltrane
from quarv.utils.veltrane import And, Any, Default, Fallback, ListOf, Optional, Or, Schema, Use

Path = veltrane.Path
PathAwareUse = veltrane.PathAwareUse


def test_module_interface():
    assert veltrane.__all__ == ["Schema", "Optional", "Any", "Or", "ListOf", "Default", "Fallback", "Use", "And"]
    namespace = {}
    exec("from quarv.utils.veltrane import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(veltrane.__all__)
    for name in ("re", "OrderedDict", "ListDict", "Location", "chainget", "SchemaEmptyParserError"):
        assert hasattr(veltrane, name)
    assert veltrane.__doc__ is None
    bases = {"Optional": Schema, "Any": Optional, "And": Schema, "Or": Schema, "Default": Optional,
             "Fallback": Optional, "Use": Schema, "ListOf": Schema, "PathAwareUse": Schema, "Path": tuple}
    for name, base in bases.items():
        assert getattr(veltrane, name).__bases__ == (base,)
    for cls in (Use, ListOf, PathAwareUse):
        assert cls.__doc__ is None
    for cls in (Schema, Optional, Any, And, Or, Default, Fallback, Path):
        assert cls.__doc__


@pytest.mark.parametrize("method, signature", [
    (Schema.__init__, "(self, schema, path=None)"),
    (Schema.validate, "(self, data, top=True, locations=None, advanced_datatypes=True)"),
    (Any.__init__, "(self, path=None)"),
    (And.__init__, "(self, *args, path=None)"),
    (Or.validate, "(self, data, top=False, locations=None, advanced_datatypes=True)"),
    (Default.__init__, "(self, schema, default, path=None)"),
    (Default.validate, "(self, data, top=False, locations=None, advanced_datatypes=True)"),
    (Fallback.__init__, "(self, schema, fallback)"),
    (Use.validate, "(self, data, top=False, locations=None, **kwargs)"),
    (PathAwareUse.validate, "(self, data, top=False, locations=None, **kwargs)"),
    (ListOf.validate, "(self, data, top=False, locations=None, advanced_datatypes=True)"),
    (Path.missing_from, "(self, paths)"),
])
def test_signatures(method, signature):
    assert str(inspect.signature(method)) == signature


def test_method_docstrings():
    documented = [Schema.collect_defaults, Schema.collect_fallbacks, Schema.apply_defaults, Schema.apply_fallback,
                  Schema.validate, Path.missing_from, Schema.__dict__["priority"].__func__]
    assert all(m.__doc__ for m in documented)
    assert Schema.__init__.__doc__ is None and Path.__eq__.__doc__ is None


def test_path_argument_is_copied():
    given = ["a", 0]
    schema = Schema(int, given)
    assert schema.path == given and schema.path is not given
    given.append("x")
    schema.path.append("y")
    assert given == ["a", 0, "x"] and schema.path == ["a", 0, "y"]
    for made in (Schema(int), Schema(int, []), Schema(int, ()), Schema(int, None)):
        assert made.path == [] and made.missed == [] and made.schemaType is type
    assert Schema(int).path is not Schema(int).path


@pytest.mark.parametrize("make", [lambda p: Schema(int, p), lambda p: Any(p), lambda p: Default(int, 1, p),
                                  lambda p: And(str, path=p), lambda p: Or(path=p), lambda p: Optional(str, p)])
def test_path_without_copy_method_raises(make):
    with pytest.raises(AttributeError):
        make(("a",))
    with pytest.raises(AttributeError):
        make("text")


def test_constructors():
    wildcard = Any(["k"])
    assert (wildcard.schema, wildcard.schemaType, wildcard.path, wildcard.missed) == ("*", str, ["k"], [])
    both = And(str, int)
    assert both.schemas == (str, int) and both.path == []
    assert Or().schemas == () and And(str, []).schemas == (str, [])
    for attribute in ("schema", "schemaType", "missed"):
        assert not hasattr(both, attribute)
    default = Default(int, None, ["a"])
    assert default.default is None and default.path == ["a"] and default.schemaType is type
    shared = {"x": 1}
    assert Default(dict, shared).default is shared
    assert Fallback(str, "a.b.c").fallback == ("a", "b", "c")
    assert Fallback(str, "a..b").fallback == ("a", "", "b")
    assert Fallback(str, "").fallback == ("",) and Fallback(str, "a").path == []
    with pytest.raises(TypeError):
        Fallback(str, "a", ["p"])
    with pytest.raises(AttributeError):
        Fallback(str, 5)
    with pytest.raises(TypeError):
        Fallback(str, b"a.b")
    with pytest.raises(TypeError):
        Schema()
    use = Use(len, ["p"])
    assert use.schema is len and use.path == ["p"] and use.schemaType is type(len)


@pytest.mark.parametrize("obj, text", [
    (Schema(5, ["a", 0]), "Schema a.0 (int) 5"),
    (Schema(int), "Schema  (type) <class 'int'>"),
    (Any(), "Any  (str) *"),
    (Default(str, "x", ["k"]), "Default k (type) <class 'str'>"),
    (Or(str, int), "Or (<class 'str'>, <class 'int'>)"),
    (Or(), "Or ()"),
    (And(str), "And (<class 'str'>,)"),
    (Or(Optional("a")), "Or (Optional  (str) a,)"),
])
def test_text_forms(obj, text):
    assert str(obj) == text and repr(obj) == text


def test_text_form_follows_subclass_and_attributes():
    class Mine(Schema):
        def __str__(self):
            return "mine"

    assert repr(Mine(1)) == "mine"
    schema = Schema({"a": 1})
    schema.path = ["x", 1]
    assert str(schema) == "Schema x.1 (dict) {'a': 1}"


@pytest.mark.parametrize("obj, rank", [(Any(), 3), (Default(int, 1), 2), (Fallback(str, "a"), 2),
                                       (Optional("a"), 2), ("text", 1), (Any, 1), (And(), 1), (Use(int), 1)])
def test_priority(obj, rank):
    assert Schema.priority(obj) == rank
    assert Schema(int).priority(obj) == rank


def test_identity_equality_and_hashing():
    first, second = Optional("a"), Optional("a")
    assert first != second and first == first
    assert hash(first) == object.__hash__(first)
    assert len({first, second}) == 2 and bool(Or()) and bool(Schema(None))
    schema = Schema({first: int, second: str})
    assert len(schema.schema) == 2


def test_classes_are_ordinary_python_classes():
    class Positive(Schema):
        def __init__(self, path=None):
            super().__init__(int, path)
            self.extra = True

    positive = Positive(["p"])
    assert positive.extra and positive.path == ["p"] and positive.validate(3) == 3
    positive.anything = 1
    assert type(Schema).__name__ == "type" and Schema.__module__ == "quarv.utils.veltrane"
