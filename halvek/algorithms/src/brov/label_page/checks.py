"""What the page may send: every field of a request is checked here, strictly,
before anything changes. A refusal is a :class:`BadRequest` whose message is
one line."""

import base64
import re

import numpy as np

#: Class ids travel as JSON numbers, which the browser holds as doubles: exact up to 2**53.
ID_LIMIT = 2 ** 53

_COLOUR = re.compile(r"#[0-9a-fA-F]{6}")


class BadRequest(Exception):
    """A request the session refuses; it changes nothing. ``status`` is the HTTP code."""

    def __init__(self, message, status=400, **extra):
        super().__init__(message)
        self.status, self.extra = status, extra


def colour(value):
    if not (isinstance(value, str) and _COLOUR.fullmatch(value)):
        raise BadRequest("colour must look like #rrggbb (six hexadecimal digits)")
    return value.lower()


def name(value):
    if not isinstance(value, str) or not value.strip() or len(value) > 80:
        raise BadRequest("a class name must be a non-empty string of at most 80 characters")
    return value.strip()


def class_id(value):
    if isinstance(value, bool) or not isinstance(value, int) or value == -1 or abs(value) >= ID_LIMIT:
        raise BadRequest("a class id must be an integer other than -1 between -2**53 and 2**53")
    return value


def flag(request, key):
    value = request.get(key, False)
    if not isinstance(value, bool):
        raise BadRequest("%s must be true or false" % key)
    return value


def action(request, known):
    if not isinstance(request, dict):
        raise BadRequest("the request must be a JSON object")
    value = request.get("action")
    if not isinstance(value, str) or value not in known:
        shown = value if isinstance(value, str) and len(value) <= 40 else type(value).__name__
        raise BadRequest("unknown action %r; expected one of %s" % (shown, ", ".join(known)))
    return value


def point_indices(value, n):
    """Point indices sent as base64 little-endian int32, each in 0..n-1, without repeats."""
    if not isinstance(value, str):
        raise BadRequest("indices must be a base64 string of little-endian int32")
    try:
        raw = base64.b64decode(value, validate=True)
    except ValueError:
        raise BadRequest("indices are not valid base64") from None
    if len(raw) % 4:
        raise BadRequest("indices must be a whole number of int32 values")
    indices = np.frombuffer(raw, dtype="<i4")
    if indices.size and (indices.min() < 0 or indices.max() >= n):
        raise BadRequest("point indices must lie in 0..%d" % (n - 1))
    return np.unique(indices).astype(np.int64)
