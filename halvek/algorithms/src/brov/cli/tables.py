"""Points and labels from .csv and .npy files, for the command line.

CSV files are read with the standard ``csv`` module (quoted fields, a UTF-8
byte-order mark and blank lines are fine). The first row is a header only
when none of its fields is a number; every other problem is reported with
the file, line and column of the first bad value.
"""

import csv
import os

import numpy as np

__all__ = ["TableError", "read_points", "read_labels"]


class TableError(ValueError):
    """A file that cannot be read as points or labels; the message says where."""


def _records(path):
    """(first line number, stripped fields) of every non-blank CSV record."""
    try:
        with open(path, "r", newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(handle)
            last_line = 0
            for row in reader:
                first_line, last_line = last_line + 1, reader.line_num
                fields = [field.strip() for field in row]
                if any(fields):
                    yield first_line, fields
    except UnicodeDecodeError as error:
        raise TableError("%s is not UTF-8 text (byte %d)" % (path, error.start)) from None
    except csv.Error as error:
        raise TableError("cannot read %s, line %d: %s" % (path, reader.line_num, error)) from None


def _number(text):
    try:
        return float(text)
    except ValueError:
        return None


def _quick_rows(path):
    """All non-empty CSV rows, unstripped, without line numbers: the fast
    path for well-formed files; anything unusual is left to :func:`_records`."""
    try:
        with open(path, "r", newline="", encoding="utf-8-sig") as handle:
            return [row for row in csv.reader(handle) if row]
    except (UnicodeDecodeError, csv.Error):
        return None


def _quick_array(rows, dtype):
    """``rows`` (lists of equal length) converted in one go, or None."""
    try:
        return np.char.strip(np.array(rows, dtype=str)).astype(dtype)
    except (ValueError, OverflowError):
        return None


def _is_header(fields):
    return all(_number(field) is None for field in fields)


def _table(path, what):
    """(header or None, records) of a CSV file that is not empty."""
    records = list(_records(path))
    if not records:
        raise TableError("%s is empty: it holds no %s" % (path, what))
    header = None
    if _is_header(records[0][1]):
        header, records = records[0][1], records[1:]
    return header, records


def _check_widths(path, records, width, what):
    for line, fields in records:
        if len(fields) != width:
            raise TableError("cannot read %s in %s, line %d: %d field(s), expected %d like the first row"
                             % (what, path, line, len(fields), width))


def _column_numbers(path, spec, header, width):
    """Column positions named by ``spec``: header names or 0-based positions, comma-separated."""
    chosen = []
    for item in (part.strip() for part in spec.split(",")):
        if header is not None and item in header:
            chosen.append(header.index(item))
        elif item.isdigit() and int(item) < width:
            chosen.append(int(item))
        else:
            known = ", ".join(header) if header is not None else "positions 0..%d" % (width - 1)
            raise TableError("--columns: %s has no column %r (it has %s)" % (path, item, known))
    if not chosen:
        raise TableError("--columns names no column")
    return chosen


def _floats(path, records, columns):
    out = np.empty((len(records), len(columns)), dtype=np.float64)
    for i, (line, fields) in enumerate(records):
        for j, column in enumerate(columns):
            value = _number(fields[column])
            if value is None:
                raise TableError("cannot read points in %s, line %d, column %d: %r is not a number"
                                 % (path, line, column + 1, fields[column]))
            out[i, j] = value
    return out


def _load_npy(path, what):
    try:
        return np.load(path, allow_pickle=False)
    except (ValueError, OSError) as error:
        raise TableError("cannot read %s %s: %s" % (what, path, str(error).splitlines()[0])) from None


def _kind(path, what):
    if not os.path.exists(path):
        raise TableError("%s: no such file" % path)
    if os.path.isdir(path):
        raise TableError("%s %s is a folder" % (what, path))
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".csv", ".npy"):
        raise TableError("%s must be a .csv or .npy file: %s" % (what, path))
    return ext


def _quick_points(path, columns):
    rows = _quick_rows(path)
    if not rows or len({len(row) for row in rows}) != 1:
        return None
    width = len(rows[0])
    first = [field.strip() for field in rows[0]]
    header = first if _is_header(first) else None
    body = rows[1:] if header is not None else rows
    if not body or (columns is None and width > 2):
        return None
    chosen = list(range(width)) if columns is None else _column_numbers(path, columns, header, width)
    X = _quick_array(body, np.float64)
    return None if X is None else X[:, chosen]


def read_points(path, columns=None):
    """Points as a float array, one row per point.

    ``columns`` (names from the header or 0-based positions, comma-separated)
    picks the coordinates; without it a CSV file may have one or two
    columns, so that a table with more columns is never read as
    higher-dimensional points by accident. A .npy array is taken as it is.
    """
    if _kind(path, "points") == ".npy":
        X = _load_npy(path, "points")
        if columns is not None and X.ndim == 2:
            X = X[:, _column_numbers(path, columns, None, X.shape[1])]
        return X
    quick = _quick_points(path, columns)
    if quick is not None:
        return quick
    header, records = _table(path, "points")
    if not records:
        raise TableError("%s holds a header line but no points" % path)
    width = len(records[0][1])
    _check_widths(path, records, width, "points")
    if columns is None:
        if width > 2:
            names = ",".join(header) if header is not None else ",".join(str(i) for i in range(width))
            raise TableError("%s has %d columns: say which are coordinates with --columns (all of them: "
                             "--columns %s)" % (path, width, names))
        chosen = list(range(width))
    else:
        chosen = _column_numbers(path, columns, header, width)
    return _floats(path, records, chosen)


def _class_id(text):
    try:
        return int(text)
    except ValueError:
        value = _number(text)
        return int(value) if value is not None and np.isfinite(value) and value == int(value) else None


def read_labels(path, n_points=None):
    """Labels as a one-dimensional array of integer class ids (-1 = unlabelled).

    A CSV file has one id per line. A first line that is not a number is a
    header only when the file holds one line more than there are points:
    otherwise it is reported as a bad value rather than silently dropped.
    """
    if _kind(path, "labels") == ".npy":
        y = _load_npy(path, "labels")
        if y.ndim == 2 and y.shape[1] == 1:
            y = y[:, 0]
        if y.ndim != 1:
            raise TableError("labels in %s: expected one class id per point, got an array of shape %s"
                             % (path, y.shape))
        return y
    rows = _quick_rows(path)
    if rows and all(len(row) == 1 for row in rows):
        first = 1 if _class_id(rows[0][0].strip()) is None and (n_points is None or len(rows) == n_points + 1) else 0
        y = _quick_array(rows[first:], np.int64)
        if y is not None:
            return y[:, 0]
    records = list(_records(path))
    if not records:
        raise TableError("%s is empty: it holds no labels" % path)
    if len(records[0][1]) != 1:
        raise TableError("labels in %s: expected one column, got %d" % (path, len(records[0][1])))
    if _class_id(records[0][1][0]) is None and (n_points is None or len(records) == n_points + 1):
        records = records[1:]
    _check_widths(path, records, 1, "labels")
    y = np.empty(len(records), dtype=np.int64)
    for i, (line, fields) in enumerate(records):
        value = _class_id(fields[0])
        if value is None or not -2 ** 63 <= value < 2 ** 63:
            raise TableError("cannot read labels in %s, line %d: %r is not a class id: labels must be "
                             "integer class ids (-1 = unlabelled)" % (path, line, fields[0]))
        y[i] = value
    return y
