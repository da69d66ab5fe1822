"""Stands in for the host framework's package `quarv.datastructures`."""

from collections import OrderedDict

__all__ = ["ListDict"]

_NOTHING = object()


class ListDict(list):
    """A nested dictionary as a flat list of (key path, leaf value) pairs, key paths being plain
    tuples of the mapping's own key objects.

    A dictionary value (dict or a subclass) is descended into, except an empty one, which is a leaf
    so that reconstruct() gives it back. reconstruct() builds new dictionaries (an OrderedDict where
    the source had one) and never writes into the mapping the list was made from; a pair that
    would replace or pass through a value placed by an earlier pair is dropped, so pairs appended
    later never overwrite the mapping's own values.
    """

    def __init__(self, mapping=_NOTHING):
        super().__init__()
        self._ordered = set()
        if mapping is _NOTHING:
            return
        if not isinstance(mapping, dict):
            raise TypeError(f"ListDict needs a dictionary, not {type(mapping).__name__}")
        self._flatten(mapping, ())

    def _flatten(self, mapping, prefix):
        if isinstance(mapping, OrderedDict):
            self._ordered.add(prefix)
        for key, value in mapping.items():
            path = prefix + (key,)
            if isinstance(value, dict) and value:
                self._flatten(value, path)
            else:
                self.append((path, value))

    def _new(self, prefix):
        return OrderedDict() if prefix in self._ordered else {}

    def reconstruct(self):
        root = self._new(())
        made = {id(root)}
        last_prefix, node = (), root
        for path, value in self:
            prefix = path[:-1]
            if prefix != last_prefix:
                node = self._walk(root, made, path)
                last_prefix = prefix
            if node is not None and path[-1] not in node:
                node[path[-1]] = value
        return root

    def _walk(self, root, made, path):
        """The dictionary that takes the path's last key, or None when an earlier value is in the way."""
        node = root
        for depth in range(len(path) - 1):
            key = path[depth]
            child = node.get(key, _NOTHING)
            if child is _NOTHING or (isinstance(child, dict) and id(child) not in made):
                fresh = self._new(path[:depth + 1])
                if child is not _NOTHING:
                    fresh.update(child)
                node[key] = child = fresh
                made.add(id(fresh))
            elif id(child) not in made:
                return None
            node = child
        return node


class AttrDict(dict):
    """A dictionary whose entries are also its attributes: `record.name = 1` stores the entry
    "name", and `record.name` reads it back (AttributeError when there is none)."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None


__all__.append("AttrDict")
