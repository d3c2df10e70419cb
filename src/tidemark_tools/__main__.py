"""`python -m tidemark_tools` runs the `tidemark` command."""

from .cli import entry_point

entry_point()
