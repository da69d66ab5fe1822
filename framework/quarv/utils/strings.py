"""Stands in for the host framework's helper module `quarv.utils.strings`."""

import base64
import binascii
import re
import textwrap

__all__ = ["decode_cli_string", "wrap_split"]

_BASE64_URLSAFE = re.compile(r"^[A-Za-z0-9_-]+={0,2}$")


def decode_cli_string(text):
    """Undoes an optional URL-safe base64 encoding; any other text comes back unchanged.

    A text counts as encoded when it is made of the URL-safe base64 alphabet with correct padding
    and decodes to printable UTF-8 text.
    """
    if not isinstance(text, str) or len(text) % 4 or not _BASE64_URLSAFE.match(text):
        return text
    try:
        decoded = base64.urlsafe_b64decode(text.encode("ascii")).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError, ValueError):
        return text
    if not decoded or not all(ch.isprintable() or ch in "\t\r\n" for ch in decoded):
        return text
    return decoded


def wrap_split(text, width=70):
    """The lines of `text` wrapped to `width` characters."""
    return textwrap.wrap(text, width=width) or [text]
