# Private native module of tidemark_tools; its functions are wrapped by the
# package's Python layer and are not a public interface.

from collections.abc import Callable
from typing import Any

def feed_stats(path: str, progress: Callable[[int], object] | None = None) -> Any: ...
