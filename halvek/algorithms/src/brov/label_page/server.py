"""The local web server behind ``brov label``: the page, the points, and a
small JSON interface that edits a :class:`LabelSession`.

Who may use it:

* It listens on 127.0.0.1 only, and refuses requests whose Host is not this
  server's address (a web page elsewhere cannot reach it by renaming itself).
* Every request must carry the token made at start (``secrets``), either as
  ``?token=`` in the URL (the address printed at start has it) or in the
  ``X-Brov-Token`` header (the page sends it so); without it the answer is
  403. The token is compared in constant time.
* Changes must come as ``application/json``, which other sites cannot send
  here without the browser asking first (and that preflight is refused).

How it holds up: each connection is closed after ``IDLE_SECONDS`` without a
byte; at most ``MAX_CONNECTIONS`` are open at once, and a new one beyond that
closes the connection that has waited longest for its next request (or is
refused with 503 when every connection is busy); the listen backlog is 128.
Running out of file descriptors pauses accepting instead of spinning. Every
bad request gets a 4xx and a one-line reason; anything unexpected, a 500 and
one line on the terminal, never a traceback.
"""

import errno
import hmac
import json
import os
import secrets
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from . import checks
from .checks import BadRequest

PAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
STATIC = {"/": ("index.html", "text/html; charset=utf-8"),
          "/label.js": ("label.js", "text/javascript; charset=utf-8"),
          "/picture.js": ("picture.js", "text/javascript; charset=utf-8"),
          "/label.css": ("label.css", "text/css; charset=utf-8")}

IDLE_SECONDS = 20
MAX_CONNECTIONS = 64
_NO_BODY = object()


def body_limit(n):
    """Largest request body accepted: every point's index in base64, plus room."""
    return 65536 + 6 * n


def one_line(error):
    return " ".join(str(error).split()) or type(error).__name__


class LabelHandler(BaseHTTPRequestHandler):
    server_version = "brov-label"
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS

    # -- plumbing -------------------------------------------------------------------------------

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # the terminal shows what brov says, not one line per request

    def handle_one_request(self):
        self.server.mark(self.connection, idle=True)
        super().handle_one_request()

    def parse_request(self):
        parsed = super().parse_request()
        self.server.mark(self.connection, idle=False)
        return parsed

    def _send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status, value):
        self._send(status, json.dumps(value).encode("utf-8"), "application/json")

    def _error(self, status, message, **extra):
        self._json(status, dict(extra, error=message))

    def _allowed(self):
        """Whether the request may go on; answers 403 when not."""
        port = self.server.server_address[1]
        if self.headers.get("Host", "") not in ("127.0.0.1:%d" % port, "localhost:%d" % port):
            self.close_connection = True  # a body left unread must not be taken for the next request
            self._error(403, "this server answers only to 127.0.0.1")
            return False
        given = self.headers.get("X-Brov-Token") or (parse_qs(urlsplit(self.path).query).get("token") or [""])[0]
        if not hmac.compare_digest(given.encode("utf-8", "replace"), self.server.token.encode("ascii")):
            self.close_connection = True
            self._error(403, "open the address brov label printed: it holds the token")
            return False
        return True

    def _guarded(self, serve):
        try:
            if self._allowed():
                serve(urlsplit(self.path).path)
        except BadRequest as error:
            self._error(error.status, one_line(error), **error.extra)
        except self.server.refusals as error:
            self._error(409, one_line(error))
        except OSError as error:
            self.close_connection = True
            self._error(500, "cannot write: %s" % one_line(error))
        except Exception as error:  # noqa: BLE001 - one line for the user, never a traceback
            self.close_connection = True
            print("brov label: request %s %s failed: %s" % (self.command, self.path[:80], one_line(error)),
                  file=sys.stderr, flush=True)
            self._error(500, "the server failed: %s" % one_line(error))

    # -- requests -------------------------------------------------------------------------------

    def do_GET(self):
        self._guarded(self._get)

    do_HEAD = do_GET

    def do_POST(self):
        self._guarded(self._post)

    def _get(self, path):
        session = self.server.session
        if path in STATIC:
            name, content_type = STATIC[path]
            with open(os.path.join(PAGE_DIR, name), "rb") as handle:
                content = handle.read()
            if name == "index.html":  # the page's own files are fetched with the token
                content = content.replace(b"{TOKEN}", self.server.token.encode("ascii"))
            return self._send(200, content, content_type)
        if path == "/api/state":
            return self._json(200, session.state())
        if path == "/api/points":
            axes = [self._number(name, len(session.axes.choices())) for name in ("x", "y")]
            return self._send(200, session.points_bytes(*axes), "application/octet-stream")
        if path == "/api/row":
            return self._json(200, session.row(self._number("i", session.n)))
        if path == "/api/edges":
            return self._send(200, session.edges_bytes(), "application/octet-stream")
        return self._error(404, "no such page: %s" % path[:80])

    def _number(self, name, limit):
        """The query's integer ``name`` in 0..limit-1, or None when it is not given."""
        values = parse_qs(urlsplit(self.path).query).get(name)
        if not values:
            return None
        try:
            value = int(values[0])
        except ValueError:
            value = -1
        if not 0 <= value < limit:
            raise BadRequest("%s must be an integer in 0..%d" % (name, limit - 1))
        return value

    def _post(self, path):
        if path not in ("/api/change", "/api/save"):
            self.close_connection = True
            return self._error(404, "no such action: %s" % path[:80])
        request = self._read_json()
        if request is _NO_BODY:
            return None
        session = self.server.session
        if path == "/api/save":
            if not isinstance(request, dict):
                raise BadRequest("the request must be a JSON object")
            saved = session.save(overwrite=checks.flag(request, "overwrite"))
            return self._json(200, dict(saved, state=session.state()))
        return self._json(200, session.apply(request))

    def _read_json(self):
        """The request body as JSON, or _NO_BODY after answering with an error."""
        content_type = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            self._error(411, "send the body with a Content-Length")
            return _NO_BODY
        try:
            length = int(length)
        except (TypeError, ValueError):
            self.close_connection = True
            self._error(411, "a Content-Length is required")
            return _NO_BODY
        limit = body_limit(self.server.session.n)
        if length < 0 or length > limit:
            # The body is not read, so the connection cannot be reused.
            self.close_connection = True
            self._error(413, "request body of %d bytes is larger than %d" % (length, limit))
            return _NO_BODY
        body = self.rfile.read(length)
        if content_type != "application/json":
            self._error(415, "send application/json")
            return _NO_BODY
        try:
            return json.loads(body.decode("utf-8"))
        except RecursionError:
            self._error(400, "malformed JSON: nested too deeply")
        except (UnicodeDecodeError, ValueError) as error:
            self._error(400, "malformed JSON: %s" % one_line(error))
        return _NO_BODY


class LabelServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128
    lock = None  # a file held open (and locked) for as long as the server runs

    def __init__(self, session, port, refusals=(), token=None, max_connections=MAX_CONNECTIONS):
        """``refusals`` are the exception types that mean Save refused an output."""
        self.session = session
        self.refusals = tuple(refusals) or (BadRequest,)
        self.token = token or secrets.token_urlsafe(24)
        self.max_connections = max_connections
        self._open = {}  # connection -> when it began waiting for a request, None while busy
        self._open_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), LabelHandler)

    @property
    def url(self):
        return "http://127.0.0.1:%d/?token=%s" % (self.server_address[1], self.token)

    # -- connections ------------------------------------------------------------------------------

    def mark(self, connection, idle):
        with self._open_lock:
            if connection in self._open:
                self._open[connection] = time.monotonic() if idle else None

    def _close_longest_idle(self):
        """Close the connection that has waited longest for a request; False when all are busy."""
        waiting = [(since, key) for key, since in self._open.items() if since is not None]
        if not waiting:
            return False
        connection = min(waiting, key=lambda entry: entry[0])[1]
        del self._open[connection]
        try:
            connection.shutdown(socket.SHUT_RDWR)  # its handler wakes up, sees the end and closes it
        except OSError:
            pass
        return True

    def process_request(self, request, client_address):
        with self._open_lock:
            room = len(self._open) < self.max_connections or self._close_longest_idle()
            if room:
                self._open[request] = time.monotonic()
        if not room:
            try:
                request.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                b"Connection: close\r\n\r\n")
            except OSError:
                pass
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._open_lock:
            self._open.pop(request, None)
        super().shutdown_request(request)

    def get_request(self):
        try:
            return super().get_request()
        except OSError as error:
            if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                with self._open_lock:
                    self._close_longest_idle()
                time.sleep(0.05)  # rather than spin on a listening socket that stays readable
            raise

    def server_close(self):
        super().server_close()
        if self.session is not None:
            self.session.close()
        if self.lock is not None:
            self.lock.close()

    def handle_error(self, request, client_address):
        pass  # a client that went away mid-answer is not the user's problem
