"""Progress of long stages on stderr: a bar with a percentage on a terminal,
plain lines otherwise (a log file or a pipe gets no carriage returns)."""

import sys
import time

__all__ = ["StageProgress"]

BAR_WIDTH = 30
#: A terminal's bar is redrawn at most this often (seconds).
REDRAW_EVERY = 0.1
#: Plain output gets a percentage line at most this often, so short stages print none.
LINE_EVERY = 2.0


class StageProgress:
    """Reports one stage at a time: ``track(name)`` returns the callable that
    the stage calls with its fraction done (0..1), ``done(line)`` ends the
    stage with a summary line."""

    def __init__(self, stream=None, clock=time.monotonic):
        self._stream = stream  # None: whatever sys.stderr is when writing
        isatty = getattr(self.stream, "isatty", None)
        self.terminal = bool(isatty and isatty())
        self.clock = clock
        self._bar_shown = False

    @property
    def stream(self):
        return self._stream if self._stream is not None else sys.stderr

    def track(self, name, after=0.0):
        """``after``: seconds of silence first, so that quick stages show nothing."""
        started = self.clock()
        last = [started]

        def update(fraction):
            fraction = min(max(float(fraction), 0.0), 1.0)
            now = self.clock()
            if now - started < after:
                return
            if self.terminal:
                if now - last[0] >= REDRAW_EVERY or fraction in (0.0, 1.0):
                    filled = int(round(fraction * BAR_WIDTH))
                    self.stream.write("\rbrov: %-10s [%s%s] %3d%%" % (
                        name, "#" * filled, "." * (BAR_WIDTH - filled), int(fraction * 100)))
                    self.stream.flush()
                    self._bar_shown = True
                    last[0] = now
            elif now - last[0] >= LINE_EVERY and fraction < 1.0:
                self.stream.write("brov: %s %d%% (%.0f s)\n" % (name, int(fraction * 100), now - started))
                self.stream.flush()
                last[0] = now

        return update

    def done(self, line):
        """Print the stage's closing line, in place of its bar on a terminal."""
        if self._bar_shown:
            self.stream.write("\r\033[K")
            self._bar_shown = False
        self.stream.write(line + "\n")
        self.stream.flush()
