"""Spanning trees: the Euclidean minimum spanning tree of points (exact in
native code, or from k-nearest-neighbour graphs), the minimum spanning forest
of a precomputed graph, and the sparse matrices SciPy's graph routines take."""

from .euclidean import euclidean_mst

__all__ = ["euclidean_mst"]
