"""``n_jobs`` as scikit-learn means it: None is one thread unless a joblib
context (``joblib.parallel_config``) says otherwise, -1 every core, -2 all
but one, and so on. joblib is asked only when it is already loaded, as it is
whenever such a context can be active."""

import os
import sys

import numpy as np

__all__ = ["effective_n_jobs"]


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def effective_n_jobs(n_jobs):
    """The number of threads (>= 1) that ``n_jobs`` stands for."""
    if n_jobs is not None and (isinstance(n_jobs, (bool, np.bool_)) or not isinstance(n_jobs, (int, np.integer))
                               or n_jobs == 0):
        raise ValueError("n_jobs must be None or a non-zero integer (-1: every core), got %r" % (n_jobs,))
    joblib = sys.modules.get("joblib")
    if joblib is not None:
        return max(1, int(joblib.effective_n_jobs(n_jobs)))
    if n_jobs is None:
        return 1
    return int(n_jobs) if n_jobs > 0 else max(1, _cores() + 1 + int(n_jobs))
