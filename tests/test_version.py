"""The version that the package and the command report: the installed
distribution's."""

import importlib.metadata

import pytest

import tidemark_tools
from tidemark_tools.cli import main


def test_version_comes_from_the_installed_distribution(capsys):
    installed = importlib.metadata.version("tidemark")
    assert tidemark_tools.__version__ == installed
    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0
    assert capsys.readouterr().out == f"tidemark {installed}\n"
