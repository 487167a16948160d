"""The package installs with pip into a virtual environment, nothing fetched,
under Debian's interpreter and under others (pyenv's, when there), whether or
not the interpreter has the wheel module or even setuptools."""
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

from conftest import SOURCE_DIR


def interpreter_version(python):
    out = subprocess.run([python, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True, text=True)
    return tuple(map(int, out.stdout.split())) if out.returncode == 0 else None


def other_interpreters():
    """The oldest and the newest interpreter of KYR_OTHER_PYTHONS that the package supports (3.9 on)."""
    found = sorted((version, python) for python in filter(None, os.environ.get("KYR_OTHER_PYTHONS", "").split(":"))
                   if (version := interpreter_version(python)) and version >= (3, 9))
    return [pytest.param(python, [], id=f"python{v[0]}.{v[1]}") for v, python in dict.fromkeys(found[:1] + found[-1:])]


@pytest.fixture
def source(tmp_path):
    # pip builds inside the directory it is given: a copy keeps the sources clean.
    copy = tmp_path / "source"
    shutil.copytree(os.path.join(SOURCE_DIR, "python"), copy, ignore=shutil.ignore_patterns("__pycache__"))
    return copy


def pip(python, *args):
    subprocess.run([python, "-m", "pip", "-q", "--disable-pip-version-check", *args], check=True)


@pytest.mark.parametrize("interpreter, venv_options", [
    pytest.param(sys.executable, ["--system-site-packages"], id="debian-system-site-packages"),
    pytest.param(sys.executable, [], id="debian-without-wheel"),   # Debian's venv has pip and setuptools only
    *other_interpreters(),
])
def test_the_package_installs_into_a_venv_and_imports_from_outside_the_source_tree(tmp_path, source, interpreter,
                                                                                    venv_options):
    venv = tmp_path / "venv"
    subprocess.run([interpreter, "-m", "venv", *venv_options, str(venv)], check=True)
    python = str(venv / "bin" / "python")
    pip(python, "install", "--no-build-isolation", "--no-index", "--no-cache-dir", str(source))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run(
        [python, "-c", "import kyrhid, os; print(kyrhid.__file__, hex(kyrhid.crc16(b'123456789')), "
                       "os.path.exists(os.path.join(os.path.dirname(kyrhid.__file__), 'py.typed')))"],
        cwd=tmp_path, env=env, check=True, capture_output=True, text=True).stdout.split()
    assert out[0].startswith(str(venv)) and out[1:] == ["0x906e", "True"]
    pip(python, "uninstall", "-y", "kyrhid")
    assert subprocess.run([python, "-c", "import kyrhid"], cwd=tmp_path, env=env).returncode != 0


def test_the_wheel_and_the_sdist_hold_the_package_its_types_and_its_metadata(tmp_path, source):
    sys.path.insert(0, str(source / "build_backend"))
    try:
        import kyrhid_build
    finally:
        sys.path.pop(0)
    wheel = zipfile.ZipFile(tmp_path / kyrhid_build.build_wheel(str(tmp_path)))
    names = set(wheel.namelist())
    assert {"kyrhid/__init__.py", "kyrhid/py.typed", "kyrhid-1.0.0.dist-info/RECORD"} <= names
    assert not any("__pycache__" in name or name.startswith(("examples", "build_backend")) for name in names)
    metadata = wheel.read("kyrhid-1.0.0.dist-info/METADATA").decode()
    assert metadata.startswith("Metadata-Version: 2.1\nName: kyrhid\nVersion: 1.0.0\n")
    assert 'Requires-Dist: numpy; extra == "numpy"' in metadata
    # The reader for interpreters without tomllib reads this pyproject.toml as tomllib does.
    import tomllib
    text = (source / "pyproject.toml").read_text()
    assert kyrhid_build._read_toml_subset(text) == tomllib.loads(text)
    editable = zipfile.ZipFile(tmp_path / kyrhid_build.build_editable(str(tmp_path)))
    assert editable.read("__editable__.kyrhid-1.0.0.pth").decode() == f"{source}\n"
    with tarfile.open(tmp_path / kyrhid_build.build_sdist(str(tmp_path))) as sdist:
        members = set(sdist.getnames())
    assert {f"kyrhid-1.0.0/{name}" for name in ("PKG-INFO", "pyproject.toml", "build_backend/kyrhid_build.py",
                                                 "kyrhid/py.typed", "examples/touch.py")} <= members
