# The package re-exports the extension's classes as they stand.
from typing import Any, Protocol

from velarix._velarix import *

class _Pickled(Protocol):
    def __reduce__(self) -> tuple[Any, tuple[str, bytes]]: ...

def _restore(name: str, state: bytes) -> _Pickled: ...
