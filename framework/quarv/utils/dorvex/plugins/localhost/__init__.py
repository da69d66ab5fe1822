"""Stands in for the host framework's package `quarv.utils.dorvex.plugins.localhost`: the
file-transfer plug-in base class `Dorvex`."""

import abc
from urllib.parse import unquote, urlsplit

__all__ = ["Dorvex"]


class Dorvex(metaclass=abc.ABCMeta):
    """Base class of the file-transfer plug-ins: turns URLs into (server, port, path) and gives the
    credentials for a server. The operations are the plug-in's; here they refuse.

    credentials: a mapping of server name to (user name, password); a server without an entry is
    logged into anonymously.

    URLs: "<scheme>://[user@]server[:port]/path" for a remote file, where the scheme is the
    plug-in's (`scheme`, "ftp"); "file:///path" or a plain path for a local one. The path is
    percent-decoded.
    """

    scheme = "ftp"
    ANONYMOUS = ("anonymous", "")

    def __init__(self, credentials=None):
        self.credentials = dict(credentials or {})

    def validate_and_parse_url(self, url, operation):
        """(server name, port or None, path) of `url`; the server name and port are None for a local
        path. ValueError for a URL of another scheme, or a remote one without a server."""
        if not isinstance(url, str):
            raise TypeError(f"{operation}: a URL must be a text, not {type(url).__name__}")
        parts = urlsplit(url)
        if parts.scheme in ("", "file"):
            if parts.netloc not in ("", "localhost"):
                raise ValueError(f"{operation}: a local file URL names no server: {url!r}")
            return None, None, unquote(parts.path)
        if parts.scheme != self.scheme:
            raise ValueError(f"{operation}: unsupported URL scheme {parts.scheme!r} in {url!r}")
        if not parts.hostname:
            raise ValueError(f"{operation}: no server in {url!r}")
        return parts.hostname, parts.port, unquote(parts.path)

    def get_auth(self, server_name):
        """(user name, password) for `server_name`."""
        return tuple(self.credentials.get(server_name, self.ANONYMOUS))

    def _refuse(self, operation):
        raise NotImplementedError(f"{type(self).__name__} does not implement {operation}.")

    def copyfile(self, source, destination, timeout_seconds, *args, upload, **kwargs):
        self._refuse("copyfile")

    def dir(self, target, timeout_seconds, *args, **kwargs):
        self._refuse("dir")

    def stat(self, target, timeout_seconds, *args, **kwargs):
        self._refuse("stat")

    def chmod(self, target, mode, timeout_seconds, *args, **kwargs):
        self._refuse("chmod")

    def deletefile(self, target, timeout_seconds, *args, **kwargs):
        self._refuse("deletefile")

    def renamefile(self, source, destination, timeout_seconds, *args, **kwargs):
        self._refuse("renamefile")

    def getspace(self, target, timeout_seconds, *args, **kwargs):
        """The available disk space of the file server, in bytes, for the directory URL `target`."""
        self._refuse("getspace")
