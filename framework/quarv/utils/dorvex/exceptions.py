"""Stands in for the host framework's exception module `quarv.utils.dorvex.exceptions`."""


class TimeLimitExceededOnFileTransfer(Exception):
    """A file transfer ran past its time limit."""
