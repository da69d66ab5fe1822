"""Stands in for the host framework's package `quarv.utils.dorvex.plugins.localhost` (the
file-transfer plug-in base class comes with the FTP plug-in)."""
