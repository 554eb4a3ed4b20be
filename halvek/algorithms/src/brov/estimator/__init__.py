"""The estimator: points and a few labels in, every point's class out.

``BrovClustering`` builds the tree of the points, weighs its edges
(``weighting``), cuts it, and with several trees lets perturbed trees vote
(``consensus``); ``conventions`` makes it behave as a scikit-learn
semi-supervised classifier.
"""

from .brov_clustering import BrovClustering, check_points

__all__ = ["BrovClustering", "check_points"]
