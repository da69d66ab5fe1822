"""Stands in for the host framework's logic objects `quarv.datastructures.logic`."""

__all__ = ["BaseLogic"]


class BaseLogic:
    """A test of one value: calling the object with the value gives the verdict, whose truth counts.

    Subclasses say what they test in __call__.
    """

    def __call__(self, value):
        raise NotImplementedError(f"{type(self).__name__} does not say what it tests.")
