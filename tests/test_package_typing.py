"""The type stubs match the built native module, and the package type-checks against them."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")

CONFIG = "[mypy]\nignore_missing_imports = True\n"  # scipy ships no types


# The shared native library beside the extension is not a Python module.
ALLOWLIST = "spanlet.libspanlet_native\n"


@pytest.mark.parametrize("command", [["mypy.stubtest", "spanlet", "--ignore-unused-allowlist", "--allowlist",
                                      "allowlist.txt", "--mypy-config-file"],
                                     ["mypy", "-p", "spanlet", "--config-file"]], ids=["stubtest", "mypy"])
def test_types(command, tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(CONFIG + f"cache_dir = {tmp_path / 'cache'}\n")
    (tmp_path / "allowlist.txt").write_text(ALLOWLIST)
    result = subprocess.run([sys.executable, "-m", *command, str(config)], capture_output=True, text=True,
                            cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
