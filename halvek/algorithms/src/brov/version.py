"""The package's version, kept in one place: the ``version`` of
pyproject.toml, read from the source tree when running from one, else from
the installed package's metadata (which pyproject.toml produced)."""

import os
import re

__all__ = ["package_version"]

DISTRIBUTION = "halvek-brov"


def _source_tree_version():
    # halvek/algorithms/src/brov/version.py: the tree's root is five levels up.
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), *[os.pardir] * 4))
    try:
        with open(os.path.join(root, "pyproject.toml"), encoding="utf-8") as handle:
            text = handle.read()
    except OSError:
        return None
    project = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if project is None or not re.search(r'^name\s*=\s*"%s"' % DISTRIBUTION, project.group(1), re.M):
        return None
    found = re.search(r'^version\s*=\s*"([^"]+)"', project.group(1), re.M)
    return found.group(1) if found else None


def package_version():
    """The version string, or "unknown" for a copy that is neither a source tree nor installed."""
    version = _source_tree_version()  # first: an older installed copy may sit on the path too
    if version is not None:
        return version
    from importlib.metadata import PackageNotFoundError, version as installed_version

    try:
        return installed_version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown"
