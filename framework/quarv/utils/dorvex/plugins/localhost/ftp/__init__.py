"""Stands in for the host framework's package `quarv.utils.dorvex.plugins.localhost.ftp`; the FTP
plug-in, the native module `dorvex`, is installed in it."""
