"""Stands in for the host framework's exception module `quarv.utils.yaml.exceptions`."""


class MarkupError(Exception):
    """A markup in loaded YAML data could not be resolved."""
