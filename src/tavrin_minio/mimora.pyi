"""MIME types of file and object names, looked up by their last suffix."""

from collections.abc import Hashable, Sequence
from typing import Protocol, type_check_only

@type_check_only
class _Splittable(Protocol):
    # get_mimora calls data.split(".") and looks up the last element.
    def split(self, sep: str, /) -> Sequence[Hashable]: ...

def get_mimora(data: _Splittable) -> str: ...
