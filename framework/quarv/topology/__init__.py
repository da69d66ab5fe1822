"""Stands in for the host framework's package `quarv.topology`."""
