"""Stands in for the host framework's topology base classes `quarv.topology.bases`."""

__all__ = ["TopologyObject"]


class TopologyObject:
    """The base of the objects that make up a test topology (devices, links, interfaces).

    Callers only test objects against it; subclasses may be iterable.
    """
