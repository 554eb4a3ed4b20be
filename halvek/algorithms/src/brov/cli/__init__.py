"""The ``brov`` command line: ``main`` parses and dispatches, one module per
command (``demo``, ``cluster``, ``label``), the files read by ``tables`` and
written by ``outputs``, pictures by ``plot``, and what the commands share in
``common``."""

from .main import main

__all__ = ["main"]
