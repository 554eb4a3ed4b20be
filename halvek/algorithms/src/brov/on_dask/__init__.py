"""The fit on a Dask cluster (the ``dask`` extra): the points stay on the
workers, split into parts by coordinate splits; the tree is the exact tree of
one machine and the labels are those of the one-machine fit with the same
settings (docs/distributed.md)."""

from .driver import DaskFit, fit

__all__ = ["DaskFit", "fit"]
