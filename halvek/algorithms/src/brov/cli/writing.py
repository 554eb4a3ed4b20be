"""Output tables: text with the extension's separator (.tsv: tabs, else
commas) or Parquet for .parquet (needs pyarrow). The
caller writes them through :func:`.outputs.write_output`, atomically."""

import csv
import os

import numpy as np

from .tables import PARQUET_HINT, SEPARATORS

__all__ = ["check_format", "write_table"]

#: Rows written between two progress updates.
CHUNK_ROWS = 65536


def check_format(path):
    """'parquet' or the separator of a text table for the output ``path``;
    ImportError with the install hint for Parquet without pyarrow."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ImportError("writing %s needs pyarrow: %s" % (path, PARQUET_HINT)) from None
        return "parquet"
    return SEPARATORS.get(ext, ",")


def _texts(column):
    """A column as the text of each field: '' for a missing name, floats in their shortest exact form."""
    column = np.asarray(column)
    if column.dtype.kind == "O":
        return ["" if v is None or (isinstance(v, float) and v != v) else str(v) for v in column.tolist()]
    return column.astype(str).tolist()


def _arrow(column):
    import pyarrow as pa

    column = np.asarray(column)
    if column.dtype.kind in "biuf":
        return pa.array(column)
    if column.dtype.kind == "U":  # a text table's fields: numbers where every field is one
        for dtype in (np.int64, np.float64):
            try:
                return pa.array(column.astype(dtype))
            except (ValueError, OverflowError):
                pass
    texts = _texts(column)
    return pa.array([text if text != "" else None for text in texts], type=pa.string())


def write_table(target, names, columns, form, progress=None):
    """Write ``columns`` (1-D arrays of equal length) under ``names`` into
    ``target`` in ``form`` (see :func:`check_format`)."""
    if form == "parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.table([_arrow(c) for c in columns], names=list(names)), target)
        return
    rows = len(columns[0]) if columns else 0
    with open(target, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, delimiter=form, lineterminator="\n")
        writer.writerow(names)
        for start in range(0, rows, CHUNK_ROWS):
            stop = min(start + CHUNK_ROWS, rows)
            writer.writerows(zip(*(_texts(c[start:stop]) for c in columns)))
            if progress is not None:
                progress(stop / rows)
