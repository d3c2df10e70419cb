"""Feed files of the tidemark module as columnar data.

`tidemark_tools` sits beside the `tidemark` module in the same wheel. Its
Python layer checks and documents arguments; the work is done by the private
native module `tidemark_tools._native`, built from the same C++ core as
`tidemark`.
"""

from __future__ import annotations

from . import _native  # noqa: F401  (fails early if the build is incomplete)

__all__: list[str] = []
