"""Stands in for the host framework's package `quarv.utils`; the native modules live here."""
