"""Points on a sphere given as (latitude, longitude): their great-circle minimum spanning tree.

The chord between two points of the unit sphere, 2 sin(d / 2), grows with their great-circle
distance d (from 0 to pi), so it orders every pair as d does: the exact Euclidean tree of the
points' unit vectors in 3-D is the exact great-circle tree. Its edge lengths are then measured on
the sphere again, in radians (multiply by the sphere's radius, e.g. 6371.0 km for the Earth).
"""

import numpy as np

__all__ = ["ANGLE_UNITS", "METRICS", "SpherePoints", "check_metric", "great_circle", "plane_projection"]

METRICS = ("euclidean", "haversine")
ANGLE_UNITS = ("degrees", "radians")


def check_metric(metric, angle_unit, scale=False):
    """The metric and angle unit of a fit; standardizing angles (``scale`` True) is refused."""
    if not isinstance(metric, str) or metric not in METRICS:
        raise ValueError("metric must be 'euclidean' or 'haversine', got %r" % (metric,))
    if not isinstance(angle_unit, str) or angle_unit not in ANGLE_UNITS:
        raise ValueError("angle_unit must be 'degrees' or 'radians', got %r" % (angle_unit,))
    if metric == "haversine" and not isinstance(scale, str) and bool(scale):
        raise ValueError("scale=True does not apply to metric='haversine': latitudes and longitudes are used "
                         "as angles")


def great_circle(a, b):
    """Great-circle distances (radians) between the rows of ``a`` and ``b``, (latitude, longitude)
    in radians; by the haversine formula, which keeps close points' distances accurate."""
    half_lat = np.sin((b[:, 0] - a[:, 0]) / 2)
    half_lon = np.sin((b[:, 1] - a[:, 1]) / 2)
    h = half_lat ** 2 + np.cos(a[:, 0]) * np.cos(b[:, 0]) * half_lon ** 2
    return 2 * np.arcsin(np.sqrt(np.clip(h, 0.0, 1.0)))


def plane_projection(angles):
    """(longitude x cos(mean latitude), latitude) in degrees, equirectangular, of (latitude,
    longitude) rows in radians; longitudes are taken around their circular mean, so points on
    both sides of the antimeridian stay together."""
    lat, lon = angles[:, 0], angles[:, 1]
    centre = np.arctan2(np.sin(lon).sum(), np.cos(lon).sum()) if len(lon) else 0.0
    east = np.angle(np.exp(1j * (lon - centre)))  # in (-pi, pi]
    return np.degrees(np.column_stack([east * np.cos(lat.mean() if len(lat) else 0.0), lat]))


class SpherePoints:
    """Rows of (latitude, longitude) in ``angle_unit``, checked (two finite columns, latitudes
    within +-90 degrees): ``angles`` in radians and ``unit_vectors`` (n, 3), whose Euclidean tree is
    the great-circle tree."""

    def __init__(self, X, angle_unit="degrees"):
        check_metric("haversine", angle_unit)
        if X.ndim != 2 or X.shape[1] != 2:
            raise ValueError("metric='haversine' takes two columns, latitude and longitude (in %s), got %d"
                             % (angle_unit, X.shape[1] if X.ndim == 2 else 0))
        if not np.all(np.isfinite(X)):
            raise ValueError("latitudes and longitudes must be finite numbers")
        limit = 90.0 if angle_unit == "degrees" else np.pi / 2
        outside = np.flatnonzero(np.abs(X[:, 0]) > limit)
        if len(outside):
            raise ValueError("latitude must lie within +-%g %s, got %r at row %d (%d row(s) outside); the "
                             "first column is the latitude" % (limit, angle_unit, float(X[outside[0], 0]),
                                                               outside[0], len(outside)))
        self.angles = np.radians(X) if angle_unit == "degrees" else np.array(X, dtype=np.float64)
        lat, lon = self.angles[:, 0], self.angles[:, 1]
        self.unit_vectors = np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])

    def projected(self):
        """The points as the plane shows them (see ``plane_projection``)."""
        return plane_projection(self.angles)

    def lengths(self, pairs):
        """Great-circle length (radians) of each pair of row indices."""
        pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
        return great_circle(self.angles[pairs[:, 0]], self.angles[pairs[:, 1]])

    def arcs(self, chords):
        """Great-circle lengths of chords between the unit vectors."""
        return 2 * np.arcsin(np.clip(np.asarray(chords) / 2, 0.0, 1.0))
