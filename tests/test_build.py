"""The built extension: one stable-ABI module that exports its init function only."""
import pathlib
import shutil
import subprocess

import ostina
from conftest import tool_environment


def test_module_is_built_for_the_stable_abi():
    assert pathlib.Path(ostina.__file__).name == "ostina.abi3.so"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    assert nm, "binutils come with the compiler that built the module"
    listing = subprocess.run([nm, "-D", "--defined-only", ostina.__file__],
                             check=True, capture_output=True, text=True, env=tool_environment()).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit_ostina"]
