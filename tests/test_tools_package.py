import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import tidemark

import tidemark_tools
from tidemark_tools import _native


def test_package_ships_typing_marker_beside_native_module():
    package = Path(tidemark_tools.__file__).parent
    assert (package / "py.typed").is_file()
    assert Path(_native.__file__).parent == package


def test_importing_the_package_leaves_tidemark_unchanged():
    code = (
        "import tidemark; before = dict(vars(tidemark)); import tidemark_tools;"
        "assert dict(vars(tidemark)) == before; print('ok')"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


@pytest.mark.parametrize(
    "path, entry",
    [(tidemark.__file__, "PyInit_tidemark"), (_native.__file__, "PyInit__native")],
)
def test_each_module_exports_only_its_entry_point(path, entry):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True
    )
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == [entry]
