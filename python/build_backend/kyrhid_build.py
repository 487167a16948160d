"""The package's build backend (PEP 517, PEP 660), on the standard library alone.

The package is pure Python, so its wheel is a zip of the sources and their
metadata. setuptools before 70.1 builds wheels only with the separate
`wheel` module, which pyenv interpreters and many CI images lack, and with
--no-build-isolation pip cannot fetch it. Building here needs nothing past
the interpreter, fetched or installed, with or without build isolation.
"""
import base64
import hashlib
import io
import json
import os
import re
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "kyrhid"
# Files of the source tree that go into an sdist, beside the package.
SDIST_EXTRA = ("pyproject.toml", "README.md", "build_backend", "examples")
# Reproducible archives: the time of SOURCE_DATE_EPOCH, else the oldest a zip can hold.
_EPOCH = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _read_toml(text):
    """pyproject.toml, by tomllib where there is one (3.11 on)."""
    try:
        import tomllib
    except ImportError:
        return _read_toml_subset(text)
    return tomllib.loads(text)


def _read_toml_subset(text):
    """The TOML that pyproject.toml uses: tables, comment lines, and keys with a string, a one-line array or
    a one-line inline table of strings."""
    document = table = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        header = re.fullmatch(r"\[([\w.-]+)\]", line)
        if header:
            table = document
            for key in header.group(1).split("."):
                table = table.setdefault(key, {})
            continue
        key, value = (part.strip() for part in line.split("=", 1))
        if value.startswith("{"):
            table[key] = {k: json.loads(v) for k, v in re.findall(r'([\w-]+)\s*=\s*("(?:[^"\\]|\\.)*")', value)}
        else:
            table[key] = json.loads(value)
    return document


def _project():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        return _read_toml(f.read())["project"]


def _metadata():
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}"]
    if "license" in project:
        lines.append(f"License: {project['license']['text']}")
    lines += [f"Requires-Dist: {dependency}" for dependency in project.get("dependencies", [])]
    for extra, dependencies in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dependency}; extra == "{extra}"' for dependency in dependencies]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def _dist_name():
    project = _project()
    return f"{re.sub(r'[-_.]+', '_', project['name']).lower()}-{project['version']}"


def _sources(top):
    """(archive name, path) of every file under ROOT/top, without bytecode."""
    path = os.path.join(ROOT, top)
    if os.path.isfile(path):
        yield top, path
        return
    for directory, subdirectories, files in os.walk(path):
        subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
        for name in sorted(files):
            if not name.endswith((".pyc", ".pyo")):
                full = os.path.join(directory, name)
                yield os.path.relpath(full, ROOT).replace(os.sep, "/"), full


def _dist_info_files(tag_line):
    dist_info = f"{_dist_name()}.dist-info"
    return dist_info, {
        f"{dist_info}/METADATA": _metadata().encode("utf-8"),
        f"{dist_info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: {__name__}\nRoot-Is-Purelib: true\n"
                               f"Tag: {tag_line}\n").encode("ascii"),
        f"{dist_info}/top_level.txt": f"{PACKAGE}\n".encode("ascii"),
    }


def _write_wheel(wheel_directory, contents):
    """Writes a py3-none-any wheel of {archive name: bytes}, adding its RECORD; returns its file name."""
    name = f"{_dist_name()}-py3-none-any.whl"
    dist_info, info_files = _dist_info_files("py3-none-any")
    contents = {**contents, **info_files}
    record = [f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},"
              f"{len(data)}" for path, data in contents.items()]
    contents[f"{dist_info}/RECORD"] = ("\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n").encode("ascii")
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in contents.items():
            info = zipfile.ZipInfo(path, time.gmtime(_EPOCH)[:6])
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


def _read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- PEP 517 --------------------------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info, files = _dist_info_files("py3-none-any")
    for path, data in files.items():
        os.makedirs(os.path.join(metadata_directory, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(metadata_directory, path), "wb") as f:
            f.write(data)
    return dist_info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, {name: _read(path) for name, path in _sources(PACKAGE)})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The source directory on the path, as an editable install of a flat layout has it.
    return _write_wheel(wheel_directory, {f"__editable__.{_dist_name()}.pth": (ROOT + "\n").encode("utf-8")})


def build_sdist(sdist_directory, config_settings=None):
    base = _dist_name()
    name = f"{base}.tar.gz"

    def add(archive, member, data):
        info = tarfile.TarInfo(f"{base}/{member}")
        info.size, info.mtime, info.mode = len(data), _EPOCH, 0o644
        archive.addfile(info, io.BytesIO(data))

    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for top in (PACKAGE, *SDIST_EXTRA):
            for member, path in _sources(top):
                add(archive, member, _read(path))
        add(archive, "PKG-INFO", _metadata().encode("utf-8"))
    return name
