"""Stands in for the host framework's helper module `quarv.utils.utils`."""

__all__ = ["chainget", "get_argv_args", "str_to_number"]


def chainget(tree, path):
    """The node reached from `tree` by `path`: a list of keys, or a text of keys joined by ".".

    Each key selects the next node by item access; in a list, a key that spells an integer is a
    position. The node itself is returned. Any path that cannot be followed raises KeyError, also
    from a tree that is None.
    """
    if tree is None:
        raise KeyError(path)
    keys = path.split(".") if isinstance(path, str) else list(path)
    node = tree
    for key in keys:
        if node is None:
            raise KeyError(key)
        if isinstance(node, (list, tuple)) and isinstance(key, str):
            try:
                key = int(key)
            except ValueError:
                raise KeyError(key) from None
        try:
            node = node[key]
        except (KeyError, IndexError, TypeError) as error:
            raise KeyError(key) from error
    return node


def get_argv_args(argv):
    """The options of a command line as a dict: "--name value", "--name=value"; a bare "--flag" is True."""
    result = {}
    words = list(argv)
    index = 0
    while index < len(words):
        word = words[index]
        index += 1
        if not isinstance(word, str) or not word.startswith("--") or word == "--":
            continue
        name, sep, value = word[2:].partition("=")
        if not sep:
            if index < len(words) and not str(words[index]).startswith("--"):
                value = words[index]
                index += 1
            else:
                value = True
        result[name] = value
    return result


def str_to_number(text):
    """The number that `text` spells (int, then float), else the text unchanged."""
    if not isinstance(text, str):
        return text
    stripped = text.strip()
    for convert in (int, float):
        try:
            return convert(stripped)
        except ValueError:
            pass
    return text
