"""The type stub `_palisk_sdk.pyi` against the built extension module.

mypy's stubtest imports the module and compares every public name, signature, default and
property with the stub, so the stub cannot drift from the native classes.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy.stubtest")


def test_stub_matches_module(tmp_path):
    import palisk_sdk

    # Not resolved: the build's package directory links the sources next to the fresh module.
    pkg = Path(palisk_sdk.__file__).parent
    assert (pkg / "_palisk_sdk.pyi").exists(), f"no stub next to {pkg}"
    env = dict(os.environ, PYTHONPATH=str(pkg.parent), MYPYPATH=str(pkg.parent))
    # Run where mypy may leave its cache without touching the repository.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "palisk_sdk._palisk_sdk", "--concise"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, f"stubtest:\n{proc.stdout}{proc.stderr}"
