"""Stands in for the host framework's schema exception module `quarv.utils.exceptions`."""

__all__ = [
    "SchemaError",
    "SchemaTypeError",
    "SchemaValueError",
    "SchemaClassError",
    "SchemaMissingKeyError",
    "SchemaUnsupportedKeyError",
    "SchemaFallbackError",
    "SchemaFallbackLoopError",
    "SchemaEmptyParserError",
]


def _where(locations, path):
    """The source position recorded for `path` in a location tree, as " (at ...)", or ""."""
    if locations is None:
        return ""
    node = locations
    try:
        for key in path:
            node = node[key]
    except (KeyError, IndexError, TypeError):
        return ""
    if getattr(node, "line", -1) == -1:
        return ""
    return f" (at {node})"


class SchemaError(Exception):
    """Data does not match a schema; its text form is the message it was made with."""

    def __init__(self, *args, locations=None):
        super().__init__(*args)
        self.locations = locations

    def __str__(self):
        if len(self.args) == 1:
            return str(self.args[0])
        return super().__str__()


class SchemaTypeError(SchemaError):
    def __init__(self, path, schema, data, locations=None):
        super().__init__(path, schema, data, locations=locations)
        self.path, self.schema, self.data = path, schema, data

    def __str__(self):
        return (f"Key path {list(self.path)}: expected {self.schema!r}, got {self.data!r} "
                f"of type {type(self.data).__name__}{_where(self.locations, self.path)}")


class SchemaValueError(SchemaError):
    def __init__(self, path, schema, data, locations=None):
        super().__init__(path, schema, data, locations=locations)
        self.path, self.schema, self.data = path, schema, data

    def __str__(self):
        return (f"Key path {list(self.path)}: expected the value {self.schema!r}, got {self.data!r}"
                f"{_where(self.locations, self.path)}")


class SchemaClassError(SchemaError):
    def __init__(self, path, schema, data, error):
        super().__init__(path, schema, data, error)
        self.path, self.schema, self.data, self.error = path, schema, data, error

    def __str__(self):
        return f"Key path {list(self.path)}: {self.schema!r} refused {self.data!r}: {self.error!r}"


class SchemaMissingKeyError(SchemaError):
    def __init__(self, path, keys, locations=None):
        super().__init__(path, keys, locations=locations)
        self.path, self.keys = path, keys

    def __str__(self):
        missing = ", ".join(f"{key!r} at key path {list(path)}{_where(self.locations, path)}"
                            for path, key in zip(self.path, self.keys))
        return f"Missing keys: {missing}"


class SchemaUnsupportedKeyError(SchemaError):
    def __init__(self, path, wrong_keys, locations=None):
        super().__init__(path, wrong_keys, locations=locations)
        self.path, self.wrong_keys = path, wrong_keys

    def __str__(self):
        keys = ", ".join(sorted(repr(key) for key in self.wrong_keys))
        return f"Key path {list(self.path)}: unsupported keys {keys}{_where(self.locations, self.path)}"


class SchemaFallbackError(Exception):
    def __init__(self, path, data):
        super().__init__(path, data)
        self.path, self.data = path, data

    def __str__(self):
        return f"Fallback for key path {list(self.path)} found no value to copy"


class SchemaFallbackLoopError(Exception):
    def __init__(self, path, fallback_path):
        super().__init__(path, fallback_path)
        self.path, self.fallback_path = path, fallback_path

    def __str__(self):
        return f"Fallbacks of key path {list(self.path)} and {list(self.fallback_path)} form a loop"


class SchemaEmptyParserError(Exception):
    """A schema without a parser; kept for importers."""
