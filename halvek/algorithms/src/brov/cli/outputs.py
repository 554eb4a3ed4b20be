"""Output files of the command line: whole or not at all, and never at the
expense of what the path already is.

* An output that is one of the inputs is refused before any work.
* A regular file is replaced through a temporary file in its folder; the
  replacement keeps the old file's permissions, and a file with several hard
  links is rewritten in place (after the new content is complete) so that
  every link sees it.
* A symbolic link stays a link: its target is written.
* Character devices (/dev/null, a terminal) and FIFOs are written in place;
  other special files (block devices, sockets) are refused.
* The temporary file is removed on any error, on Ctrl-C and on SIGTERM or
  SIGHUP (see :func:`termination_as_exception`).
"""

import contextlib
import os
import shutil
import signal
import stat
import tempfile

__all__ = ["OutputError", "Terminated", "check_output", "write_output", "termination_as_exception"]


class OutputError(ValueError):
    """An output path that cannot or must not be written."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived; raised so that cleanup code runs on the way out."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _written_in_place(mode):
    return stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)


def check_output(path, what, inputs=()):
    """Refuse, before any work, an output path that cannot be written or is one of ``inputs``."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputError("cannot write %s %s: folder %s does not exist" % (what, path, folder))
    if not os.path.exists(path):
        if os.path.islink(path):  # a dangling link: its target will be created
            folder = os.path.dirname(os.path.realpath(path))
            if not os.path.isdir(folder):
                raise OutputError("cannot write %s %s: it links into the missing folder %s" % (what, path, folder))
        return
    mode = os.stat(path).st_mode
    if stat.S_ISDIR(mode):
        raise OutputError("cannot write %s %s: it is a folder" % (what, path))
    if not (stat.S_ISREG(mode) or _written_in_place(mode)):
        raise OutputError("cannot write %s %s: it is a special file (only regular files, character "
                          "devices and FIFOs can be written)" % (what, path))
    for source in inputs:
        if source and os.path.exists(source) and os.path.samefile(path, source):
            raise OutputError("refusing to write %s %s: it is the input file %s" % (what, path, source))


def _replace_regular(target, write, old):
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".brov-", suffix=os.path.splitext(target)[1], dir=folder)
    os.close(handle)
    try:
        write(temporary)
        if old is None:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        else:
            os.chmod(temporary, stat.S_IMODE(old.st_mode))
            with contextlib.suppress(OSError):  # only the owner or root may hand a file over
                os.chown(temporary, old.st_uid, old.st_gid)
        if old is not None and old.st_nlink > 1:
            with open(temporary, "rb") as source, open(target, "r+b") as sink:
                sink.truncate(0)
                shutil.copyfileobj(source, sink)
            os.unlink(temporary)
        else:
            os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_output(path, write):
    """Call ``write(filename)`` so that ``path`` ends up holding what it wrote
    (see the module documentation for what happens to existing paths)."""
    target = os.path.realpath(path) if os.path.islink(path) else path
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and _written_in_place(old.st_mode):
        write(target)
    elif old is not None and not stat.S_ISREG(old.st_mode):
        raise OutputError("cannot write %s: it is not a regular file" % path)
    else:
        _replace_regular(target, write, old)


@contextlib.contextmanager
def termination_as_exception():
    """Within the block, SIGTERM and SIGHUP raise :class:`Terminated` (as
    SIGINT raises KeyboardInterrupt), so temporary files are cleaned up."""
    previous = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            previous[signum] = signal.signal(signum, _raise_terminated)
        except ValueError:  # not the main thread: leave the handlers alone
            break
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _raise_terminated(signum, frame):
    raise Terminated(signum)
