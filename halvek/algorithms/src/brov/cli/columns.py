"""Which columns ``--columns`` names: a comma-separated list of header names
or 0-based positions, ranges ``first:last`` of either (both ends included;
an end left out is the first or last column), globs on header names
(``pixel_*``) and exclusions (``^id``, ``^2:3``). Exclusions alone start from
every column; the label column is never a coordinate."""

import fnmatch

__all__ = ["column_numbers"]


def _position(table, item, option):
    position = _single(table, item)
    if position is not None and position < table.width:
        return position
    known = ", ".join(table.names) if table.names is not None else "positions 0..%d" % (table.width - 1)
    raise table.error("%s: %s has no column %r (it has %s)" % (option, table.path, item, known))


def _matches(table, item, option):
    """Positions of one item: a name, a position, a range or a glob."""
    if ":" in item and not (table.names is not None and item in table.names):
        first, _, last = item.partition(":")
        start = _position(table, first.strip(), option) if first.strip() else 0
        stop = _position(table, last.strip(), option) if last.strip() else table.width - 1
        return list(range(start, stop + 1))
    if any(c in item for c in "*?[") and table.names is not None and item not in table.names:
        found = [j for j, name in enumerate(table.names) if fnmatch.fnmatchcase(name, item)]
        if not found:
            raise table.error("%s: no column of %s matches %r" % (option, table.path, item))
        return found
    return [_position(table, item, option)]


def _single(table, item):
    """The position that ``item`` names by itself (a name or a number), or None."""
    if table.names is not None and item in table.names:
        return table.names.index(item)
    return int(item) if item.isdigit() else None


def column_numbers(table, spec, skip=(), option="--columns"):
    """Positions named by ``spec`` (see the module documentation), in the
    order given, without the ``skip`` positions taken by ranges and globs."""
    chosen, excluded = [], set()
    for item in (part.strip() for part in spec.split(",")):
        if not item:
            continue
        if item.startswith("^"):
            excluded.update(_matches(table, item[1:].strip(), option))
            continue
        found = _matches(table, item, option)
        if found == [_single(table, item)] and found[0] in skip:
            raise table.error("%s names the label column %r: it cannot be a coordinate too" % (option, item))
        chosen.extend(j for j in found if j not in chosen)
    if not chosen and excluded:
        chosen = list(range(table.width))
    chosen = [j for j in chosen if j not in excluded and j not in skip]
    if not chosen:
        raise table.error("%s names no column" % option)
    return chosen
