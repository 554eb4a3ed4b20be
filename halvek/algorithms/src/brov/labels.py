"""Class labels as the native code takes them: int8 codes 0..127, -1 for an
unlabelled node, and back.

Labels are integer class ids (-1 = unlabelled) or any class names NumPy can
sort (strings, objects); in an array of strings or objects, None, NaN, the
empty string and the integer -1 mark unlabelled points (the string "-1" is
a name like any other)."""

import numpy as np

__all__ = ["MAX_CLASSES", "decode_labels", "encode_labels", "is_unlabelled", "result_dtype"]

#: Number of distinct classes an int8 label array can carry (-1 is reserved).
# The path search takes only the codes 0..127 for labels (negative codes are unlabelled).
MAX_CLASSES = 128

_INT64_LIMIT = 2.0 ** 63


def _integer_ids(y):
    """A one-dimensional label array as int64 class ids, refusing anything
    that is not an integer id or does not fit in int64 exactly."""
    if y.dtype.kind in "iu":
        if y.dtype.kind == "u" and y.dtype.itemsize == 8 and len(y) and y.max() >= 2 ** 63:
            at = int(np.argmax(y >= 2 ** 63))
            raise ValueError("class id %d at position %d does not fit in a 64-bit signed integer" % (y[at], at))
        return y
    if y.dtype.kind == "f":
        bad = ~np.isfinite(y)
        if bad.any():
            at = int(np.argmax(bad))
            raise ValueError("Input y contains NaN or infinity: %r at position %d (labels are integer class "
                             "ids; mark unlabelled points with -1)" % (float(y[at]), at))
        outside = ~(np.abs(y) < _INT64_LIMIT)
        if outside.any():
            at = int(np.argmax(outside))
            raise ValueError("class id %r at position %d does not fit in a 64-bit signed integer"
                             % (float(y[at]), at))
        fractional = y != np.round(y)
        if fractional.any():
            at = int(np.argmax(fractional))
            raise ValueError("Unknown label type: labels must be integer class ids (-1 = unlabelled); "
                             "got %r at position %d" % (float(y[at]), at))
        return y.astype(np.int64)
    if y.dtype.kind == "O":
        plain = [v for v in y.tolist() if _plain_integer(v)]
        if len(plain) == len(y):
            return _integer_ids(np.array(plain) if len(plain) else np.empty(0, np.int64))
    raise TypeError("labels must be integer class ids (-1 = unlabelled), got dtype %s" % y.dtype)


def _plain_integer(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def _holds_names(y):
    """Whether ``y`` holds class names rather than integer class ids."""
    return y.dtype.kind in "US" or (y.dtype.kind == "O" and not all(_plain_integer(v) for v in y.tolist()))


def is_unlabelled(y):
    """Boolean mask of the unlabelled entries of a label array (see the module documentation)."""
    y = np.asarray(y)
    if y.dtype.kind in "US":
        return y == y.dtype.type()
    if y.dtype.kind != "O":
        return y == -1
    return np.array([v is None or (isinstance(v, (str, bytes)) and not v) or (_plain_integer(v) and v == -1)
                     or (isinstance(v, (float, np.floating)) and v != v) for v in y.tolist()], dtype=bool)


def _sorted_names(names):
    try:
        return np.unique(names, return_inverse=True)
    except TypeError:
        kinds = sorted({type(v).__name__ for v in names.tolist()})
        raise TypeError("labels must be class names that can be sorted together (integers, or strings; "
                        "-1, None, NaN or '' = unlabelled), got a mix of %s" % ", ".join(kinds)) from None


def encode_labels(y, n_samples=None):
    """Turn class labels (integer ids or sortable names, see the module
    documentation) into the int8 codes that ``clusterize`` takes.

    Returns ``(codes, classes)``: ``classes`` are the distinct labelled ids or
    names in increasing order and ``codes[i]`` is the position of ``y[i]`` in
    it, stored as int8 (0..127), or -1 where y is unlabelled. Raises TypeError
    for labels that are neither integer ids nor sortable names, and ValueError
    for a wrong shape or length, for more than 128 classes, or when no point
    is labelled.
    """
    if y is None:
        raise ValueError("labels are required: one integer class id per point, -1 for unlabelled points")
    y = np.asarray(y)
    if y.ndim != 1:
        raise ValueError("labels must be one-dimensional (one class id per point), got shape %s" % (y.shape,))
    if n_samples is not None and y.shape[0] != n_samples:
        raise ValueError(
            "got %d labels for %d points: there must be one label per point (-1 = unlabelled)"
            % (y.shape[0], n_samples))
    names = _holds_names(y)
    if not names:
        y = _integer_ids(y)
    labelled = ~is_unlabelled(y)
    if not labelled.any():
        raise ValueError("no labelled point: at least one label must differ from -1"
                         + (", None, NaN and ''" if names else ""))
    classes, inverse = _sorted_names(y[labelled]) if names else np.unique(y[labelled], return_inverse=True)
    if classes.shape[0] > MAX_CLASSES:
        raise ValueError(
            "%d distinct classes: at most %d are supported" % (classes.shape[0], MAX_CLASSES))
    codes = np.full(y.shape[0], -1, dtype=np.int8)
    codes[labelled] = inverse.astype(np.int8)
    return codes, classes


def decode_labels(codes, classes, dtype=None):
    """Inverse of :func:`encode_labels`: class ids or names; where a code is
    -1, -1 for ids, '' for strings and None for objects."""
    codes = np.asarray(codes, dtype=np.int8)
    if dtype is None:
        dtype = classes.dtype
    dtype = np.dtype(dtype)
    table = np.full(256, {"U": "", "S": b"", "O": None}.get(dtype.kind, -1), dtype=dtype)
    table[: classes.shape[0]] = classes
    return table[codes.view(np.uint8)]




def result_dtype(y, classes):
    """The dtype of labels decoded for the input labels ``y``: signed integer ids keep theirs,
    names keep the type of their classes, other ids become int64."""
    kind = np.asarray(y).dtype.kind
    if kind == "i":
        return np.asarray(y).dtype
    return classes.dtype if classes.dtype.kind in "OUS" else np.dtype(np.int64)
