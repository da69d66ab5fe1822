"""quarv.utils.objects: the module's contents, the requirement R and the comparison operators."""

import copy
import importlib
import re

import pytest

import quarv.utils.objects as objects
from quarv.datastructures.logic import BaseLogic
from quarv.topology.bases import TopologyObject
from quarv.utils.objects import Contains, Find, GroupKeys, Not, NotExists, Operator, R, find


# ----- the module ----------------------------------------------------------------------------------------

def test_module_names_in_the_order_of_the_body():
    names = [name for name in vars(objects) if not name.startswith("__")]
    assert names == ["re", "copy", "TopologyObject", "BaseLogic", "Iterable", "logging", "logger", "Find", "R",
                     "Operator", "Not", "Contains", "NotExists", "GroupKeys", "find"]
    assert objects.__doc__ is None and not hasattr(objects, "__all__")
    assert objects.re is re and objects.copy is copy
    assert objects.TopologyObject is TopologyObject and objects.BaseLogic is BaseLogic
    assert objects.logger.name == "quarv.utils.objects"


def test_find_is_one_shared_bound_method():
    assert isinstance(find.__self__, Find)
    assert objects.find.__self__ is find.__self__
    assert find.__func__ is Find.find


def test_classes_and_their_documentation():
    assert [name for name in vars(Find) if not name.startswith("__")] == [
        "_formalize_loopable", "_match", "_unhashable_intersection", "_unhashable_remove", "reset_keys", "find",
        "_populate_path", "_normalize_r", "_build_dict"]
    assert Find.__doc__ is None and Find.__bases__ == (object,)
    assert R.__init__.__doc__ == "Requirements class"
    assert Operator.__doc__.startswith(" basic find operator")
    assert "Takes a requirement value and uses to match laterly." in Operator.__doc__
    assert Not.__doc__.startswith(" Not operator") and Contains.__doc__.startswith(" Contains operator")
    assert NotExists.__doc__.startswith(" Key does not exists in dictionary and object")
    assert Operator.__init__.__doc__ == "Operator class"
    assert Operator.__eq__.__doc__ == "dunder function to match regex or object comparison"
    assert Not.__eq__.__doc__ == "dunder function to check whether no value or they dont match "
    assert Find._normalize_r.__doc__ == "normalization function to reduce regex at multiple requirements"
    assert Find._build_dict.__doc__ == "Recursive function to return the right dictionary for the index"
    assert "callable_" in Find.find.__doc__ and "callable_" in Find._match.__doc__
    assert [c.__bases__ for c in (Not, Contains, NotExists)] == [(Operator,)] * 3
    assert isinstance(vars(GroupKeys)["group_keys"], classmethod)


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    class Counting(Operator):
        pass

    key = Operator("a")
    monkeypatch.setattr(objects, "Operator", Counting)
    # a plain Operator is no operator any more for the matcher: it is looked up as a plain key
    assert Find()._match({"a": 1}, {key: 1}) == (True, [key])
    monkeypatch.undo()
    assert Find()._match({"a": 1}, {key: 1}) is True


# ----- R -------------------------------------------------------------------------------------------------

def test_requirement_keeps_what_it_is_given():
    path = ["a", 1]
    requirement = R(path, b=2)
    assert requirement.args == (path,) and requirement.args[0] is path
    assert requirement.kwargs == {"b": 2}
    empty = R()
    assert empty.args == () and empty.kwargs == {}
    empty.extra = 1
    assert R() != R() and hash(empty) == hash(empty)


# ----- Operator and its subclasses ---------------------------------------------------------------------

@pytest.mark.parametrize("operator, other, expected", [
    (Operator("(1|2)"), 12, True),
    (Operator("(ab)"), "xab", False),
    (Operator("(.*)"), "", False),
    (Operator("(ab"), "(ab", True),
    (Operator("(ab"), "ab", False),
    (Operator("ab.*"), "ab.*", True),
    (Operator("ab.*"), "abc", False),
    (Operator(), None, True),
    (Operator([1, 2]), [1, 2], True),
    (Not("200"), "200", False),
    (Not("200"), "100", True),
    (Not("(1.*)"), "100", False),
    (Not(5), 5, False),
    (Not(5), 6, True),
    (Contains(1), [1, 2, 3], True),
    (Contains("100"), "VLAN0100", True),
    (Contains("a"), {"a": 5}, True),
    (Contains(5), {"a": 5}, True),
    (Contains(5), 5, True),
    (Contains(None), [None], False),
    (Contains(1), None, False),
    (Contains(4), [1, 2], False),
])
def test_equality_rules(operator, other, expected):
    assert bool(operator == other) is expected
    assert bool(operator.match(other)) is expected
    assert (operator != other) is not expected


def test_pattern_operator_gives_the_match_object_and_compiles_once():
    operator = Operator("(1|2)")
    assert isinstance(operator.regex, re.Pattern) and operator.regex.pattern == "(1|2)"
    assert operator.parent is None and operator.value == "(1|2)"
    assert (operator == 12).group(0) == "1"
    assert (Operator("(ab)") == "xab") is None
    assert Operator("(ab").regex is None and Operator("ab.*").regex is None and Operator(5).regex is None
    # assigning a new value does not recompile; assigning regex changes the comparison
    operator.value = "(3)"
    assert operator.regex.pattern == "(1|2)"
    operator.regex = None
    assert (operator == "(3)") is True


def test_not_answers_a_truth_value_and_errors_propagate():
    assert (Not("(1.*)") == "200") is True
    assert (Not("x") == "x") is False

    class Grumpy:
        def __eq__(self, other):
            raise KeyError("no")

    with pytest.raises(KeyError):
        Not(Grumpy()) == 1
    with pytest.raises(TypeError):
        Not.__eq__(Not(1))


def test_contains_of_a_non_text_in_a_text_raises():
    with pytest.raises(TypeError):
        Contains(1) == "abc"


@pytest.mark.parametrize("parent, value, expected", [
    ({"y": 1}, "x", True),
    ({"x": 0}, "x", False),
    ({}, "items", False),
    (None, "x", True),
    (type("Obj", (), {"x": 0})(), "x", True),
    (type("Obj", (), {"x": 1})(), "x", False),
    ({3: None}, 3, False),
])
def test_not_exists_looks_at_its_parent_only(parent, value, expected):
    operator = NotExists(value)
    operator.parent = parent
    assert (operator == object()) is expected


def test_not_exists_lets_only_a_missing_attribute_pass():
    class Broken:
        @property
        def x(self):
            raise ValueError("broken")

    operator = NotExists("x")
    operator.parent = Broken()
    with pytest.raises(ValueError):
        operator == 1


def test_text_forms():
    assert repr(Not("abc")) == "Not('abc')" and str(Not("abc")) == "Not('abc')"
    assert repr(Not(5)) == "Not('5')" and repr(Not()) == "Not('None')"
    assert repr(NotExists(3)) == "NotExists('3')"
    assert repr(Operator("a")).startswith("<quarv.utils.objects.Operator object at")
    assert repr(Contains("a")).startswith("<quarv.utils.objects.Contains object at")


@pytest.mark.parametrize("cls", [Operator, Not, Contains, NotExists])
def test_operators_hash_as_their_value(cls):
    assert hash(cls("a")) == hash("a") and hash(cls(5)) == hash(5)
    with pytest.raises(TypeError):
        hash(cls([1]))
    with pytest.raises(TypeError):
        {cls({}): 1}
    assert bool(cls("a"))


def test_operators_as_dictionary_keys():
    assert {"a": 1}[Operator("a")] == 1
    with pytest.raises(KeyError):
        {"a": 1}[Not("a")]


@pytest.mark.parametrize("cls", [Operator, Not, Contains, NotExists])
def test_deep_copy_goes_through_the_constructor(cls):
    operator = cls("(a.*)")
    operator.parent = {"a": 1}
    operator.extra = True
    copied = copy.deepcopy(operator)
    assert type(copied) is cls and copied is not operator
    assert copied.value == "(a.*)" and copied.parent is None and not hasattr(copied, "extra")
    assert copied.regex is not None and copied.regex.pattern == "(a.*)"
    twice = copy.deepcopy([operator, operator])
    assert twice[0] is twice[1] and twice[0] is not operator
    memo = {}
    assert operator.__deepcopy__(memo) is operator.__deepcopy__(memo)
    nested = Operator([1, [2]])
    assert copy.deepcopy(nested).value == [1, [2]] and copy.deepcopy(nested).value[1] is not nested.value[1]


def test_constructor_arguments():
    assert Operator(value=3).value == 3
    with pytest.raises(TypeError):
        Operator(1, 2)
    with pytest.raises(KeyboardInterrupt):
        class Interrupting(str):
            def startswith(self, prefix):
                return True

        original = objects.re

        class FakeRe:
            @staticmethod
            def compile(text):
                raise KeyboardInterrupt

        objects.re = FakeRe
        try:
            Operator(Interrupting("(x"))
        finally:
            objects.re = original


def test_a_module_imported_afresh_works_on_its_own():
    import sys

    import quarv.utils

    saved = sys.modules.pop("quarv.utils.objects")
    try:
        fresh = importlib.import_module("quarv.utils.objects")
        assert fresh is not saved and fresh.Operator is not saved.Operator
        assert fresh.find([{"a": {"b": 1}}], fresh.R(["a", "b", 1]), filter_=False) == [(1, ["a", "b"])]
        assert saved.find([{"a": 1}], saved.R(a=1)) == [{"a": 1}]
    finally:
        # the package's attribute too: `import quarv.utils.objects as m` reads it
        sys.modules["quarv.utils.objects"] = saved
        quarv.utils.objects = saved


# ----- the framework's stand-ins -----------------------------------------------------------------------

def test_stand_ins_keep_their_contracts():
    class Positive(BaseLogic):
        def __call__(self, value):
            return value > 0

    assert isinstance(Positive(), BaseLogic) and Positive()(1) and not Positive()(-1)
    with pytest.raises(NotImplementedError):
        BaseLogic()(1)

    class Device(TopologyObject):
        pass

    assert isinstance(Device(), TopologyObject)
