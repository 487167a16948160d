"""Writes the dist-info directory of the kyrhid package into a site directory,
from python/pyproject.toml, so that importlib.metadata and pip see the Debian
package's install. Usage: python_metadata.py <pyproject.toml> <site dir>"""
import os
import sys
import tomllib

with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)["project"]
name, version = project["name"], project["version"]
target = os.path.join(sys.argv[2], f"{name}-{version}.dist-info")
os.makedirs(target, exist_ok=True)
with open(os.path.join(target, "METADATA"), "w") as f:
    f.write(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\nSummary: {project.get('description', '')}\n"
            f"Requires-Python: {project.get('requires-python', '')}\n")
with open(os.path.join(target, "INSTALLER"), "w") as f:
    f.write("debian\n")
