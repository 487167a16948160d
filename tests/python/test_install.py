"""The package installs with pip into a virtual environment, nothing fetched."""
import os
import shutil
import subprocess
import sys

from conftest import SOURCE_DIR


def test_the_package_installs_into_a_venv_and_imports_from_outside_the_source_tree(tmp_path):
    # pip builds inside the directory it is given: a copy keeps the sources clean.
    source = tmp_path / "source"
    shutil.copytree(os.path.join(SOURCE_DIR, "python"), source, ignore=shutil.ignore_patterns("__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", "--no-cache-dir",
                    "--disable-pip-version-check", str(source)], check=True)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run(
        [python, "-c", "import kyrhid; print(kyrhid.__file__); print(hex(kyrhid.crc16(b'123456789')))"],
        cwd=tmp_path, env=env, check=True, capture_output=True, text=True).stdout.split()
    assert out[0].startswith(str(venv)) and out[1] == "0x906e"
