"""quarv.utils.yaml.dumper: the safe dumper that writes ordered dictionaries in insertion order."""

from collections import OrderedDict

import pytest
import yaml

from quarv.utils.yaml import dumper
from quarv.utils.yaml.dumper import OrderedSafeDumper


def dump(data, **kwargs):
    return yaml.dump(data, Dumper=OrderedSafeDumper, **kwargs)


def test_module_and_class():
    names = [name for name in vars(dumper) if not name.startswith("__")]
    assert names == ["SafeDumper", "OrderedDict", "OrderedSafeDumper"]
    assert not hasattr(dumper, "__all__")
    assert issubclass(OrderedSafeDumper, yaml.SafeDumper) and OrderedSafeDumper.__doc__ == "Order safe dumper"
    assert OrderedSafeDumper.__module__ == "quarv.utils.yaml.dumper"
    own = [name for name in vars(OrderedSafeDumper) if not name.startswith("__")]
    assert own == ["ordereddict_representer", "yaml_representers"]
    assert isinstance(vars(OrderedSafeDumper)["ordereddict_representer"], staticmethod)
    registered = OrderedSafeDumper.yaml_representers[OrderedDict]
    assert registered is OrderedSafeDumper.ordereddict_representer
    assert set(OrderedSafeDumper.yaml_representers) - set(yaml.SafeDumper.yaml_representers) == {OrderedDict}
    assert OrderedDict not in yaml.SafeDumper.yaml_representers


@pytest.mark.parametrize("sort_keys", [True, False])
def test_insertion_order_is_kept_with_and_without_sorting(sort_keys):
    data = OrderedDict([("b", 1), ("a", 2)])
    assert dump(data, sort_keys=sort_keys) == "b: 1\na: 2\n"
    assert list(yaml.safe_load(dump(data, sort_keys=sort_keys))) == ["b", "a"]


def test_nested_plain_and_ordered_mappings():
    data = OrderedDict([("z", {"y": 1, "x": 2}), ("m", OrderedDict([("q", 1), ("p", [OrderedDict(d=1, c=2)])]))])
    assert dump(data) == "z:\n  x: 2\n  y: 1\nm:\n  q: 1\n  p:\n  - d: 1\n    c: 2\n"
    assert dump(data, sort_keys=False).startswith("z:\n  y: 1\n  x: 2\n")
    assert yaml.safe_load(dump(data)) == data


def test_empty_and_shared_ordered_dictionaries():
    assert dump(OrderedDict()) == "{}\n"
    shared = OrderedDict(k=1)
    assert dump([shared, shared]) == "- &id001\n  k: 1\n- *id001\n"


def test_subclasses_and_the_plain_safe_dumper_refuse_ordered_dictionaries():
    class MyOrdered(OrderedDict):
        pass

    for data, dumper_cls in ((MyOrdered(a=1), OrderedSafeDumper), (OrderedDict(a=1), yaml.SafeDumper)):
        with pytest.raises(yaml.representer.RepresenterError, match="cannot represent an object"):
            yaml.dump(data, Dumper=dumper_cls)


def test_representer_hands_the_items_view_to_represent_dict():
    seen = []

    class Recorder:
        def represent_dict(self, value):
            seen.append(value)
            return "node"

    data = OrderedDict(a=1)
    assert OrderedSafeDumper.ordereddict_representer(Recorder(), data) == "node"
    assert type(seen[0]) is type(data.items()) and list(seen[0]) == [("a", 1)]
