"""Scatter plot of a clustering (needs matplotlib, the ``plot`` extra)."""

import os

import numpy as np

from ..labels import is_unlabelled

__all__ = ["plot_clusters", "picture_format", "require_matplotlib", "PLOT_HINT"]

PLOT_HINT = "plotting needs matplotlib: pip install 'halvek-brov[plot]' (or pip install matplotlib)"

#: Up to this many points the whole tree is drawn, faintly.
TREE_DRAWN_UP_TO = 3000
#: Up to this many points the cut edges are drawn.
CUTS_DRAWN_UP_TO = 50000


def require_matplotlib():
    """Raise ImportError with the install hint when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(PLOT_HINT) from None


def picture_format(path):
    """The picture format that the extension of ``path`` names, as matplotlib
    knows it; ValueError for a missing or unknown extension."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    known = FigureCanvasAgg(Figure()).get_supported_filetypes()
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    if extension not in known:
        raise ValueError("cannot tell the picture format of %s: its extension must be one of %s"
                         % (path, ", ".join("." + name for name in sorted(known))))
    return extension


def _plane(X):
    """2-D coordinates to draw and the axis names."""
    if X.shape[1] == 1:
        return np.column_stack([X[:, 0], np.zeros(len(X))]), ("x", "")
    if X.shape[1] == 2:
        return X, ("x", "y")
    centred = X - X.mean(axis=0)
    _, _, vt = np.linalg.svd(centred, full_matrices=False)
    return centred @ vt[:2].T, ("first principal axis", "second principal axis")


def plot_clusters(path, X, labels, given, edges=None, cut=None, title=None, format=None):
    """Write a scatter plot of the points coloured by cluster to ``path``.

    ``labels`` are the cluster ids (-1 in grey), ``given`` the input labels
    (points with a label other than -1 are drawn as large outlined stars).
    With ``edges`` and a boolean ``cut`` mask, the cut edges are drawn when
    there are at most CUTS_DRAWN_UP_TO points, and the whole tree, faintly,
    up to TREE_DRAWN_UP_TO points. Points with more than two coordinates are
    shown on their first two principal axes. ``format`` ("png", "jpg",
    "svg", "pdf", ...) defaults to the one that the extension of ``path`` names.
    """
    require_matplotlib()
    from matplotlib import colormaps
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    X = np.asarray(X, dtype=np.float64)
    labels = np.asarray(labels)
    given = np.asarray(given)
    P, (xname, yname) = _plane(X)
    n = len(P)

    fig = Figure(figsize=(9, 7), dpi=110)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    classes = np.unique(labels[~is_unlabelled(labels)]).tolist()
    cmap_name = "tab10" if len(classes) <= 10 else "tab20" if len(classes) <= 20 else "hsv"
    cmap = colormaps[cmap_name]
    colour = {c: cmap(i % cmap.N if cmap_name != "hsv" else i / max(1, len(classes))) for i, c in enumerate(classes)}
    colour[-1] = (0.6, 0.6, 0.6, 1.0)

    handles = []
    if edges is not None and len(edges):
        segments = P[np.asarray(edges)]
        if n <= TREE_DRAWN_UP_TO:
            ax.add_collection(LineCollection(segments, colors=[(0.5, 0.5, 0.5, 0.35)], linewidths=0.6, zorder=1))
            handles.append(Line2D([], [], color=(0.5, 0.5, 0.5, 0.6), lw=0.8, label="spanning tree"))
        if cut is not None and n <= CUTS_DRAWN_UP_TO and np.any(cut):
            ax.add_collection(LineCollection(segments[np.asarray(cut)], colors="black", linewidths=1.8,
                                             linestyles="--", zorder=3))
            handles.append(Line2D([], [], color="black", lw=1.8, ls="--", label="cut edges (%d)" % int(np.sum(cut))))

    size = float(np.clip(30000.0 / max(n, 1), 1.0, 25.0))
    for c in ([-1] if np.any(labels == -1) else []) + classes:
        mask = labels == c
        ax.scatter(P[mask, 0], P[mask, 1], s=size, color=colour[c], linewidths=0, zorder=2)
        name = "unlabelled" if c == -1 else "cluster %s" % c
        handles.append(Line2D([], [], marker="o", ls="", color=colour[c], label="%s (%d)" % (name, int(mask.sum()))))

    marked = ~is_unlabelled(given)
    if marked.any():
        star_colours = [colour.get(g, colour[-1]) for g in given[marked]]
        ax.scatter(P[marked, 0], P[marked, 1], s=180, marker="*", c=star_colours, edgecolors="black",
                   linewidths=1.0, zorder=4)
        handles.append(Line2D([], [], marker="*", ls="", markersize=12, markerfacecolor="white",
                              markeredgecolor="black", label="labelled points (%d)" % int(marked.sum())))

    ax.set_xlabel(xname)
    ax.set_ylabel(yname)
    if X.shape[1] == 2:
        ax.set_aspect("equal", adjustable="datalim")
    ax.autoscale_view()
    ax.set_title(title or "brov clustering: %d points, %d clusters" % (n, len(classes)))
    ax.legend(handles=handles, loc="best", fontsize=8, framealpha=0.85)
    fig.tight_layout()
    fig.savefig(path, format=format or picture_format(path))
