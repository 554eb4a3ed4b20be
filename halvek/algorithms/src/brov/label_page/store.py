"""Files of the labelling page, written so that a kill at any moment leaves
either the old content or the new one.

Every file goes through one temporary file next to it, named after it
(``.NAME.brov-tmp``): written, flushed to disk with fsync, then renamed over
the target with ``os.replace``, and the folder is synced so that the rename
itself survives a crash. The temporary file's name is fixed, so the next
start of the page removes what a kill left behind (:func:`remove_leftovers`)
without touching the temporary files of anything else.

The session file (:func:`dump_session` / :func:`load_session`) is JSON;
arrays in it are base64 little-endian binary, like on the wire. Changes
between two such whole writes go to its journal (``FILE.journal``), one
line each, appended and synced (:func:`append_record`): a line is
``CRC32 JSON``, and reading stops at the first line that is cut short or
does not match its checksum, which is where a kill stopped the writing. The
journal's first line names the session file it continues (a random id kept
in both); a journal of another id is already folded into the session file.
"""

import base64
import contextlib
import hashlib
import json
import os
import stat
import zlib

import numpy as np

#: What the first field of a session file says, so that any other JSON file is refused.
SESSION_MARK = "brov label session"
SESSION_FORMAT = 1


def temporary_name(path):
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    return os.path.join(folder, ".%s.brov-tmp" % name)


def remove_leftovers(paths):
    """Remove the temporary files a killed writer of ``paths`` left behind; returns those removed."""
    removed = []
    for path in paths:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary_name(path))
            removed.append(temporary_name(path))
    return removed


def _sync_folder(folder):
    with contextlib.suppress(OSError):  # not every file system lets a folder be opened or synced
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def write_whole(path, data):
    """Make ``path`` hold ``data`` (bytes): the old content or the new one, never a part.

    A symbolic link's target is written; devices and FIFOs are written in place."""
    write_wholes([(path, data)])


def write_wholes(items):
    """Make each path of ``items`` ((path, bytes) pairs) hold its data, as :func:`write_whole` does.

    Every temporary file is written and synced before the first rename, so an error on the way
    leaves every path as it was; only a kill between the renames leaves the first paths new and
    the others old."""
    ready = []  # (temporary or None for a file written in place, target, data)
    try:
        for path, data in items:
            target = os.path.realpath(path)
            ready.append((_prepared(target, data), target, data))
        for temporary, target, data in ready:
            if temporary is None:
                with open(target, "wb") as handle:
                    handle.write(data)
            else:
                os.replace(temporary, target)
    except BaseException:
        for temporary, _, _ in ready:
            if temporary is not None:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temporary)
        raise
    for folder in {os.path.dirname(target) for temporary, target, _ in ready if temporary is not None}:
        _sync_folder(folder)


def _prepared(target, data):
    """The synced temporary file that will replace ``target`` with ``data``, with the old file's
    permissions; None when ``target`` is a device or FIFO, which is written in place."""
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        return None
    temporary = temporary_name(target)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(temporary)  # a leftover would keep its own permissions
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(handle, view):]
            if old is not None:
                os.fchmod(handle, stat.S_IMODE(old.st_mode))
            os.fsync(handle)
        finally:
            os.close(handle)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    return temporary


def digest(data):
    return hashlib.sha256(data).hexdigest()


def file_digest(path):
    """sha256 of a file's content, or None when there is no such file."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as handle:
            for block in iter(lambda: handle.read(1 << 20), b""):
                digest.update(block)
    except FileNotFoundError:
        return None
    return digest.hexdigest()


def pack(array, dtype):
    return base64.b64encode(np.ascontiguousarray(array, dtype=dtype).tobytes()).decode("ascii")


def unpack(text, dtype):
    return np.frombuffer(base64.b64decode(text, validate=True), dtype=dtype).copy()


def dump_session(path, document):
    """Write the session ``document`` (a dict of JSON values) as a whole; returns its size."""
    body = json.dumps({"brov": SESSION_MARK, "format": SESSION_FORMAT, **document}, separators=(",", ":"))
    write_whole(path, body.encode("utf-8"))
    return len(body)


class SessionFileError(ValueError):
    """A session file that cannot be read back; the message says which and why."""


def load_session(path):
    """The document written by :func:`dump_session`, or None when ``path`` does not exist."""
    try:
        with open(path, "rb") as handle:
            document = json.loads(handle.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError, ValueError, RecursionError) as error:
        raise SessionFileError("cannot read the session %s: %s" % (path, error)) from None
    if not isinstance(document, dict) or document.get("brov") != SESSION_MARK:
        raise SessionFileError("%s is not a brov label session" % path)
    if document.get("format") != SESSION_FORMAT:
        raise SessionFileError("%s is a session of format %r; this brov reads format %d"
                               % (path, document.get("format"), SESSION_FORMAT))
    return document


def journal_path(path):
    return path + ".journal"


def _line(value):
    body = json.dumps(value, separators=(",", ":")).encode("utf-8")
    return b"%08x %s\n" % (zlib.crc32(body), body)


def start_journal(path, journal_id):
    """A new, empty journal for the session file ``path`` whose id is ``journal_id``."""
    write_whole(journal_path(path), _line({"journal": journal_id}))


def append_record(path, record):
    """Append ``record`` (JSON values) to the journal of ``path`` and sync it;
    on any error the journal is cut back to what it held before."""
    line = _line(record)
    handle = os.open(journal_path(path), os.O_WRONLY | os.O_APPEND)
    try:
        size = os.fstat(handle).st_size
        try:
            view = memoryview(line)
            while view:
                view = view[os.write(handle, view):]
            os.fsync(handle)
        except BaseException:
            with contextlib.suppress(OSError):
                os.ftruncate(handle, size)
            raise
        return size + len(line)
    finally:
        os.close(handle)


def read_journal(path, journal_id):
    """The records of the journal of ``path`` when it continues ``journal_id``, up to the
    first line a kill cut short; [] when there is none."""
    try:
        with open(journal_path(path), "rb") as handle:
            lines = handle.read().split(b"\n")[:-1]  # the part after the last newline is cut short
    except FileNotFoundError:
        return []
    records = []
    for line in lines:
        checksum, _, body = line.partition(b" ")
        try:
            if int(checksum, 16) != zlib.crc32(body):
                break
            records.append(json.loads(body.decode("utf-8")))
        except ValueError:
            break
    if not records or records[0] != {"journal": journal_id}:
        return []
    return records[1:]
