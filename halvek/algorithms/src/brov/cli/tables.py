"""Points and labels from files, for the command line: text tables (.csv,
.tsv or any separator given by ``--sep``), .parquet (needs pyarrow) and .npy.

Text tables are read with the standard ``csv`` module (quoted fields, a
UTF-8 byte-order mark and blank lines are fine). Their first row is a header
only when none of its fields is a number; every other problem is reported
with the file, line and column of the first bad value. A label is unlabelled
when its field is empty, NaN or -1; labels are integer class ids, or class
names when no labelled field is a number.
"""

import csv
import os

import numpy as np

from .columns import column_numbers

__all__ = ["Table", "TableError", "read_table", "read_points", "read_labels", "separator_of", "PARQUET_HINT"]

SEPARATORS = {".csv": ",", ".tsv": "\t", ".tab": "\t"}
PARQUET_HINT = "pip install 'halvek-brov[parquet]' (or pip install pyarrow)"
#: Rows between two progress updates while a text table is read.
PROGRESS_ROWS = 65536


class TableError(ValueError):
    """A file that cannot be read as points or labels; the message says where."""


def _number(text):
    try:
        return float(text)
    except ValueError:
        return None


def separator_of(path, sep=None):
    """The field separator of a text table: ``sep`` if given, else the
    extension's; None for .npy and .parquet files."""
    ext = os.path.splitext(path)[1].lower()
    if ext in (".npy", ".parquet"):
        return None
    if sep is not None:
        return "\t" if sep in ("\\t", "tab") else sep
    if ext not in SEPARATORS:
        raise TableError("%s must be a .csv, .tsv, .parquet or .npy file (or give --sep for another text "
                         "table)" % path)
    return SEPARATORS[ext]


class Table:
    """The columns of a file: ``columns[j]`` is a 1-D array (the stripped
    text of each field for text tables, typed values for .npy and .parquet),
    ``names`` the header (None without one), ``lines[i]`` the line of row i
    in a text table (None otherwise)."""

    def __init__(self, path, columns, names=None, lines=None, sep=None):
        self.path, self.columns, self.names, self.lines, self.sep = path, columns, names, lines, sep

    @property
    def width(self):
        return len(self.columns)

    @property
    def n_rows(self):
        return len(self.columns[0]) if self.columns else 0

    def where(self, row):
        return "line %d" % self.lines[row] if self.lines is not None else "row %d" % row

    def _hint(self):
        """Which separator was used, and another one the first line seems to use."""
        if self.sep is None:
            return ""
        first = self.names or [column[0] for column in self.columns if len(column)]
        others = [s for s in (";", "\t", "|", ",") if s != self.sep and s in "".join(first)]
        if not others:
            return ""
        return " (fields read as separated by %r; the first line looks %r-separated: try --sep %r)" % (
            self.sep, others[0], "\\t" if others[0] == "\t" else others[0])

    def error(self, message):
        return TableError(message + self._hint())

    def is_numeric(self, j):
        column = self.columns[j]
        if column.dtype.kind in "biuf":
            return True
        try:
            column.astype(np.float64)
        except (ValueError, TypeError):
            return False
        return True

    def numbers(self, chosen):
        """The chosen columns as a float array, one row per row of the table."""
        out = np.empty((self.n_rows, len(chosen)), dtype=np.float64)
        for k, j in enumerate(chosen):
            column = self.columns[j]
            try:
                out[:, k] = column.astype(np.float64)
            except (ValueError, TypeError):
                row = next(i for i, v in enumerate(column.tolist()) if _float_or_none(v) is None)
                raise self.error("cannot read points in %s, %s, column %d: %r is not a number"
                                 % (self.path, self.where(row), j + 1, str(column[row]))) from None
        return out


def _float_or_none(value):
    try:
        return float(value)
    except (ValueError, TypeError):
        return None


def _kind(path, what):
    if not os.path.exists(path):
        raise TableError("%s: no such file" % path)
    if os.path.isdir(path):
        raise TableError("%s %s is a folder" % (what, path))
    return os.path.splitext(path)[1].lower()


def _counted_lines(handle, size, progress):
    """The lines of ``handle``, telling ``progress`` the share of ``size`` bytes read."""
    done = 0
    for number, line in enumerate(handle):
        done += len(line)
        if number % PROGRESS_ROWS == 0:
            progress(done / size if size else 1.0)
        yield line


def _open_text(path):
    return open(path, "r", newline="", encoding="utf-8-sig")


def _text_rows(path, sep, progress=None):
    """The fields of every record of a text table; a blank line is a record of no fields."""
    try:
        with _open_text(path) as handle:
            lines = _counted_lines(handle, os.path.getsize(path), progress) if progress is not None else handle
            reader = csv.reader(lines, delimiter=sep)
            rows = list(reader)
    except UnicodeDecodeError as error:
        raise TableError("%s is not UTF-8 text (byte %d)" % (path, error.start)) from None
    except csv.Error as error:
        raise TableError("cannot read %s, line %d: %s" % (path, reader.line_num, error)) from None
    if progress is not None:
        progress(1.0)  # of the parse
    return rows


def _first_lines(path, sep):
    """The line on which each record of a text table starts (records may span lines)."""
    with _open_text(path) as handle:
        reader = csv.reader(handle, delimiter=sep)
        starts, last = [], 0
        for _ in reader:
            starts.append(last + 1)
            last = reader.line_num
    return np.array(starts)


class Lines:
    """Line numbers of kept records, found by reading the file again only when an error needs one."""

    def __init__(self, path, sep, kept):
        self.path, self.sep, self.kept, self._starts = path, sep, kept, None

    def __getitem__(self, row):
        if self._starts is None:
            self._starts = _first_lines(self.path, self.sep)
        return int(self._starts[self.kept[row]])


def _blank(row):
    return not row or (len(row) == 1 and not row[0].strip())


def _is_header(fields):
    return all(_number(field) is None for field in fields)


#: Share of reading a text table spent parsing it (the rest goes to the conversion to arrays).
PARSE_SHARE = 0.6


def _text_table(path, sep, what, progress=None):
    rows = _text_rows(path, sep, None if progress is None else lambda done: progress(PARSE_SHARE * done))
    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    kept = np.arange(len(rows))
    short = np.flatnonzero(lengths <= 1)
    blank = short[[_blank(rows[i]) for i in short]] if len(short) else short
    if len(blank):
        kept = np.delete(kept, blank)
        rows, lengths = [rows[i] for i in kept], lengths[kept]
    if not rows:
        raise TableError("%s is empty: it holds no %s" % (path, what))
    names = None
    if _is_header([field.strip() for field in rows[0]]):
        names, rows, lengths, kept = [field.strip() for field in rows[0]], rows[1:], lengths[1:], kept[1:]
    if not rows:
        raise TableError("%s holds a header line but no %s" % (path, what))
    width = len(names) if names is not None else len(rows[0])
    lines = Lines(path, sep, kept)
    if np.any(lengths != width):
        at = int(np.argmax(lengths != width))
        raise Table(path, [], names, sep=sep).error(
            "cannot read %s in %s, line %d: %d field(s), expected %d like the first row"
            % (what, path, lines[at], lengths[at], width))
    cells = np.array(rows, dtype=str).reshape(len(rows), width)
    if progress is not None:
        progress(PARSE_SHARE + (1 - PARSE_SHARE) / 2)
    cells = np.char.strip(cells)
    if progress is not None:
        progress(1.0)
    return Table(path, [cells[:, j] for j in range(width)], names, lines, sep)


def _parquet_table(path, what):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise TableError("reading %s needs pyarrow: %s" % (path, PARQUET_HINT)) from None
    try:
        data = pq.read_table(path)
    except Exception as error:  # pyarrow raises its own error types for broken files
        raise TableError("cannot read %s %s: %s" % (what, path, str(error).splitlines()[0])) from None
    if data.num_rows == 0:
        raise TableError("%s is empty: it holds no %s" % (path, what))
    return Table(path, [_arrow_column(data.column(j)) for j in range(data.num_columns)], list(data.column_names))


def _arrow_column(column):
    import pyarrow as pa

    if pa.types.is_integer(column.type) and column.null_count:
        return column.to_numpy(zero_copy_only=False).astype(object)  # missing values stay None
    return column.to_numpy(zero_copy_only=False)


def _npy_table(path, what):
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, OSError) as error:
        raise TableError("cannot read %s %s: %s" % (what, path, str(error).splitlines()[0])) from None
    return array


def read_table(path, what="points", sep=None, progress=None):
    """The table in ``path`` (see :class:`Table`); ``progress`` is called
    with the share read, for text tables."""
    ext = _kind(path, what)
    if ext == ".npy":
        array = _npy_table(path, what)
        if array.ndim == 1:
            array = array[:, None]
        if array.ndim != 2:
            raise TableError("%s in %s: expected a table, got an array of shape %s" % (what, path, array.shape))
        return Table(path, [array[:, j] for j in range(array.shape[1])])
    if ext == ".parquet":
        return _parquet_table(path, what)
    return _text_table(path, separator_of(path, sep), what, progress)


def coordinate_columns(table, columns=None, label_column=None):
    """Positions of the coordinates: those ``columns`` names (see
    :mod:`.columns`), else every column but the label column, which may
    then be two at most."""
    skip = [] if label_column is None else [label_column]
    if columns is not None:
        return column_numbers(table, columns, skip)
    chosen = [j for j in range(table.width) if j not in skip]
    if len(chosen) > 2 and (table.sep is not None or table.names is not None):  # not a bare .npy array
        numeric = [j for j in chosen if table.is_numeric(j)]
        names = ",".join(table.names[j] if table.names is not None else str(j) for j in numeric)
        raise table.error("%s has %d columns: say which are coordinates with --columns (all of them: "
                          "--columns %s)" % (table.path, table.width, names))
    return chosen


def label_column_number(table, name):
    numbers = column_numbers(table, name, [], option="--label-column")
    if len(numbers) != 1:
        raise TableError("--label-column names one column, got %d" % len(numbers))
    return numbers[0]


def read_points(path, columns=None, label_column=None, sep=None, progress=None):
    """(points, labels or None, table): the coordinates picked by ``columns``
    (see :func:`coordinate_columns`) and the labels of ``label_column``.

    Without ``columns`` a text table may have two columns besides the label
    column, so that a table with more columns is never read as
    higher-dimensional points by accident. A .npy array is taken as it is.
    """
    if _kind(path, "points") == ".npy" and columns is None and label_column is None:
        X = _npy_table(path, "points")  # taken as it is: the estimator's checks name a wrong shape
        return X, None, Table(path, [X[:, j] for j in range(X.shape[1])] if X.ndim == 2 else [])
    table = read_table(path, "points", sep, progress)
    labels = None
    if label_column is not None:
        label_column = label_column_number(table, label_column)
        labels = labels_of(table, table.columns[label_column], "labels in %s, column %d" % (path, label_column + 1))
    return table.numbers(coordinate_columns(table, columns, label_column)), labels, table


def labels_of(table, values, what):
    """A label column as integer ids (-1 = unlabelled), or as names (an
    object array, None = unlabelled) when no labelled value is a number."""
    if values.dtype.kind in "biu":
        return values
    if values.dtype.kind == "f":
        return np.where(np.isnan(values), -1.0, values)  # checked as class ids by the estimator
    texts = np.array(["" if v is None or (isinstance(v, float) and v != v) else str(v).strip()
                      for v in values.tolist()]) if values.dtype.kind == "O" else values
    unlabelled = (texts == "") | (texts == "-1") | (np.char.lower(texts) == "nan")
    given = texts[~unlabelled]
    ids = _class_ids(given)
    if ids is None and any(_number(text) is not None for text in given.tolist()):
        row = np.flatnonzero(~unlabelled)[next(i for i, text in enumerate(given.tolist()) if _class_id(text) is None)]
        raise table.error("cannot read %s, %s: %r is not a class id: labels must be integer class ids "
                          "(-1 = unlabelled) or class names" % (what, table.where(row), str(texts[row])))
    if ids is not None:
        out = np.full(len(texts), -1, dtype=np.int64)
        out[~unlabelled] = ids
        return out
    out = np.full(len(texts), None, dtype=object)
    out[~unlabelled] = given.tolist()
    return out


def _class_id(text):
    try:
        return int(text)
    except ValueError:
        value = _number(text)
        if value is None or not np.isfinite(value) or value != int(value) or not -2 ** 63 <= value < 2 ** 63:
            return None
        return int(value)


def _class_ids(texts):
    """Integer ids of ``texts``, or None if one of them is not an integer."""
    try:
        return texts.astype(np.int64)
    except (ValueError, OverflowError):
        pass
    ids = [_class_id(text) for text in texts.tolist()]
    if any(value is None for value in ids):
        return None
    return np.array(ids, dtype=np.int64)


def read_labels(path, n_points=None, sep=None):
    """Labels, one per point: integer class ids (-1 = unlabelled) or, when no
    labelled field is a number, class names (None = unlabelled).

    A text file has one label per line; a blank line is an unlabelled point
    when that makes the count right. A first line that is not a label is a
    header only when the file holds one line more than there are points:
    otherwise it is reported as a bad value rather than silently dropped.
    """
    ext = _kind(path, "labels")
    if ext in (".npy", ".parquet"):
        if ext == ".npy":
            y = _npy_table(path, "labels")
            if y.ndim == 2 and y.shape[1] == 1:
                y = y[:, 0]
            if y.ndim != 1:
                raise TableError("labels in %s: expected one class id per point, got an array of shape %s"
                                 % (path, y.shape))
            return labels_of(Table(path, [y]), y, "labels in %s" % path)
        table = _parquet_table(path, "labels")
        if table.width != 1:
            raise TableError("labels in %s: expected one column, got %d" % (path, table.width))
        return labels_of(table, table.columns[0], "labels in %s" % path)
    sep = separator_of(path, sep)
    rows = _text_rows(path, sep)
    if not any(not _blank(row) for row in rows):
        raise TableError("%s is empty: it holds no labels" % path)
    wide = next((row for row in rows if len(row) > 1), None)
    if wide is not None:
        raise TableError("labels in %s: expected one column, got %d" % (path, len(wide)))
    texts = np.char.strip(np.array([row[0] if row else "" for row in rows], dtype=str))
    keep = _label_rows(texts, n_points)
    table = Table(path, [texts[keep]], lines=Lines(path, sep, np.flatnonzero(keep)))
    return labels_of(table, texts[keep], "labels in %s" % path)


def _label_rows(texts, n_points):
    """Which lines of a labels file hold labels. A first line that is not a
    number is a header when the count says so; blank lines are skipped when
    that gives one label per point, else they are unlabelled points."""
    filled = texts != ""
    first = int(np.argmax(filled))
    header = _number(texts[first]) is None
    if n_points is None:
        filled[first] = not header
        return filled
    choices = (filled, np.ones(len(texts), dtype=bool))
    for extra, rows in [(1, rows) for rows in choices if header] + [(0, rows) for rows in choices]:
        if int(rows.sum()) == n_points + extra:
            rows = rows.copy()
            rows[first] = not extra
            return rows
    return filled
