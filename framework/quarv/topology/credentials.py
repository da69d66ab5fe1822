"""Stands in for the host framework's credentials module `quarv.topology.credentials`."""

__all__ = ["Credentials"]


class Credentials:
    """A device's login credentials: a user name and a password, held as given."""

    def __init__(self, username=None, password=None):
        self.username = username
        self.password = password

    def __repr__(self):
        return f"{type(self).__name__}(username={self.username!r})"
