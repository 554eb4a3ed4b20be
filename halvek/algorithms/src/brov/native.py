"""The one door to the built extension modules.

Every other module of the package reaches the native code through these
functions, which import the modules on first use: importing the package stays
cheap, and a build problem shows up where native code is first needed.
"""

__all__ = ["bulk", "core", "tree"]


def bulk():
    """``binaries._bulk``: graphs loaded into containers in bulk, and edge lists clustered."""
    from .binaries import _bulk
    return _bulk


def core():
    """``binaries.brov_core``: the containers and ``clusterize``."""
    from .binaries import brov_core
    return brov_core


def tree():
    """``binaries._tree``: the exact Euclidean tree and the side sizes of a forest's edges."""
    from .binaries import _tree
    return _tree
