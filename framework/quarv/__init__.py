"""Stands in for the host framework's root package `quarv`."""
