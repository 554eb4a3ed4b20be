"""The local web server behind ``brov label``: the page, the points, and a
small JSON interface that edits a :class:`LabelSession`.

It listens on 127.0.0.1 only. Requests whose Host is not this server's
address are refused (a web page elsewhere cannot reach it by renaming
itself), and changes must come as ``application/json``, which other sites
cannot send here without the browser asking first.
"""

import json
import os
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .session import BadRequest

PAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
STATIC = {"/": ("index.html", "text/html; charset=utf-8"),
          "/label.js": ("label.js", "text/javascript; charset=utf-8"),
          "/label.css": ("label.css", "text/css; charset=utf-8")}


def body_limit(n):
    """Largest request body accepted: every point's index in base64, plus room."""
    return 65536 + 6 * n


class LabelHandler(BaseHTTPRequestHandler):
    server_version = "brov-label"
    protocol_version = "HTTP/1.1"

    # -- plumbing -------------------------------------------------------------------------------

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # the terminal shows what brov says, not one line per request

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

    def _error(self, status, message):
        self._json(status, {"error": message})

    def _host_ok(self):
        port = self.server.server_address[1]
        return self.headers.get("Host", "") in ("127.0.0.1:%d" % port, "localhost:%d" % port)

    # -- requests -------------------------------------------------------------------------------

    def do_GET(self):
        if not self._host_ok():
            return self._error(403, "this server answers only to 127.0.0.1")
        session = self.server.session
        path = self.path.split("?", 1)[0]
        if path in STATIC:
            name, content_type = STATIC[path]
            with open(os.path.join(PAGE_DIR, name), "rb") as handle:
                return self._send(200, handle.read(), content_type)
        if path == "/api/state":
            return self._json(200, session.state())
        if path == "/api/points":
            return self._send(200, session.points_bytes(), "application/octet-stream")
        if path == "/api/edges":
            return self._send(200, session.edges_bytes(), "application/octet-stream")
        return self._error(404, "no such page: %s" % path)

    do_HEAD = do_GET

    def do_POST(self):
        if not self._host_ok():
            return self._error(403, "this server answers only to 127.0.0.1")
        path = self.path.split("?", 1)[0]
        if path not in ("/api/change", "/api/save"):
            self.close_connection = True
            return self._error(404, "no such action: %s" % path)
        request = self._read_json()
        if request is None:
            return
        session = self.server.session
        try:
            if path == "/api/save":
                written = session.save(*self.server.writers)
                return self._json(200, {"written": written, "state": session.state()})
            return self._json(200, session.apply(request))
        except BadRequest as error:
            return self._error(error.status, str(error))
        except self.server.refusals as error:
            return self._error(409, " ".join(str(error).split()))
        except OSError as error:
            return self._error(500, "cannot save: %s" % (" ".join(str(error).split()) or type(error).__name__))

    def _read_json(self):
        """The request body as JSON, or None after answering with an error."""
        content_type = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            self._error(411, "send the body with a Content-Length")
            return None
        try:
            length = int(length)
        except (TypeError, ValueError):
            self.close_connection = True
            self._error(411, "a Content-Length is required")
            return None
        if length < 0 or length > body_limit(self.server.session.n):
            # The body is not read, so the connection cannot be reused.
            self.close_connection = True
            self._error(413, "request body of %d bytes is larger than %d" % (
                length, body_limit(self.server.session.n)))
            return None
        body = self.rfile.read(length)
        if content_type != "application/json":
            self._error(415, "send application/json")
            return None
        try:
            return json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            self._error(400, "malformed JSON: %s" % error)
            return None


class LabelServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, session, port, writers, refusals=()):
        """``writers`` are the save functions handed to ``session.save``;
        ``refusals`` the exception types that mean an output was refused."""
        self.session = session
        self.writers = writers
        self.refusals = tuple(refusals) or (BadRequest,)
        super().__init__(("127.0.0.1", port), LabelHandler)

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.server_address[1]
