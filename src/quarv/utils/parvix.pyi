from typing import Any

__all__ = [
    'expand_nargs_list',
    'remove_dups_from_multiple_nargs_list',
]

def expand_nargs_list(nargs_list: list[Any]) -> list[Any]: ...
def remove_dups_from_multiple_nargs_list(multiple_nargs_list: list[Any]) -> list[Any]: ...
