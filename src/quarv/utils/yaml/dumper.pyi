import yaml.dumper  # type: ignore[import-untyped]
from typing import Any, ClassVar

class OrderedSafeDumper(yaml.dumper.SafeDumper):
    @staticmethod
    def ordereddict_representer(dumper, data) -> Any: ...
    yaml_representers: ClassVar[dict[Any, Any]]
