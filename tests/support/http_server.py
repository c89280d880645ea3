"""A real HTTP/1.1 server on 127.0.0.1 for the tests: files, a live MJPEG camera and faults.

Routes (all GET and HEAD):

/files/<name>                 a registered file; Range requests give 206, out-of-range ones 416
/files/<name>?fault=...       the same file, misbehaving:
    close&after=N             full Content-Length, N body bytes, then the connection closes
    stall&after=N&seconds=S   headers and N body bytes (N=0: headers only), silence for S, close
    hang&seconds=S            reads the request, sends nothing for S, closes
    truncate&bytes=K&length=full|truncated
                              the file cut to its first K bytes, announced with its full size
                              (then the connection closes early) or with K
    trickle&chunk=N&interval=S
                              N bytes every S seconds
/files/<name>?shape=...       the same file, as other servers send it:
    chunked                   without a length, in chunks (Transfer-Encoding: chunked), no Range
    norange                   with its length, but Range ignored (always all of it, status 200)
    lying                     as norange, though it announces Accept-Ranges
/status/<code>                that status with a short text body (404, 500, 503, ...)
/page.html                    an HTML page (status 200)
/garbage?bytes=N&type=T&seed=X
                              N pseudo-random bytes served as content type T (video/mp4 by default)
/live.mjpg?fps=F&frames=N&boundary=B
                              multipart/x-mixed-replace stream of JPEG pictures at F per second
                              until the client leaves (or N parts, then the closing boundary)
/endless.mjpg?bytes=N&length=L
                              multipart/x-mixed-replace whose first part never ends: a JPEG's
                              start, then N bytes (1 GiB by default) without a boundary, as fast
                              as the client takes them; the part announces Content-Length L if given

/private/<route>              any route above, for a client that gives one of the server's
                              `accounts` ("user:password") by basic authentication; else 401

A server made with `tls=(certificate, key)` speaks HTTPS (see self_signed_certificate).

Every stall, trickle and live stream ends by itself within `max_stall` seconds (live streams
within `max_live`), as soon as the client leaves, and when the server closes.
"""

from __future__ import annotations

import base64
import binascii
import mimetypes
import random
import re
import select
import shutil
import socket
import ssl
import subprocess
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, HTTPServer
from pathlib import Path
from socketserver import ThreadingMixIn
from typing import Callable, Dict, List, Optional, Sequence, Set, Tuple
from urllib.parse import parse_qsl, quote, urlencode, urlsplit

CONTENT_TYPES = {
    ".mp4": "video/mp4",
    ".mkv": "video/x-matroska",
    ".webm": "video/webm",
    ".ts": "video/mp2t",
    ".avi": "video/x-msvideo",
    ".jpg": "image/jpeg",
    ".m3u8": "application/vnd.apple.mpegurl",
}

PAGE = b"<!DOCTYPE html>\n<html><head><title>vantle</title></head><body><p>Not a video.</p></body></html>\n"


@dataclass
class Request:
    method: str
    path: str
    query: Dict[str, str]
    headers: Dict[str, str]
    status: int = 0


def refused_port() -> int:
    """A port on 127.0.0.1 that was just bound and closed: connecting to it is refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def self_signed_certificate(folder: Path) -> Optional[Tuple[str, str]]:
    """A certificate for 127.0.0.1 signed by itself, and its key, made with openssl in `folder`;
    None without openssl."""
    openssl = shutil.which("openssl")
    if openssl is None:
        return None
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(
        [openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(cert),
         "-days", "2", "-subj", "/CN=127.0.0.1"],
        check=True, capture_output=True, timeout=60,
    )  # fmt: skip
    return str(cert), str(key)


def parse_range(header: str, size: int) -> Optional[Tuple[int, int]]:
    """(first, last) byte of a single `bytes=` range; None when it cannot be satisfied.

    Raises ValueError for a header that is not a byte range (the server then ignores it).
    """
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*(,.*)?", header)
    if not m or (m.group(1) == "" and m.group(2) == ""):
        raise ValueError(header)
    first, last = m.group(1), m.group(2)
    if first == "":  # suffix: the last N bytes
        n = int(last)
        return (max(0, size - n), size - 1) if n > 0 and size > 0 else None
    a = int(first)
    b = size - 1 if last == "" else min(int(last), size - 1)
    if a >= size or b < a:
        return None
    return a, b


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "vantle-test"
    timeout = 30  # idle keep-alive connections and blocked writes give up after this
    server: TestServer._HTTPServer

    def log_message(self, format, *args):
        pass

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        url = urlsplit(self.path)
        owner = self.server.owner
        self.record = Request(self.command, url.path, dict(parse_qsl(url.query)), dict(self.headers))
        owner._count_request(self.record)
        q = self.record.query
        try:
            if url.path.startswith("/private/"):
                if self._account() not in owner.accounts:
                    self._head(401, [("WWW-Authenticate", 'Basic realm="vantle"'), ("Content-Length", 0)])
                    return
                url = url._replace(path=url.path[len("/private") :])
            if url.path.startswith("/files/") and url.path[7:] in owner.files:
                data, ctype = owner.files[url.path[7:]]
                self._file(data, ctype, q)
            elif url.path == "/page.html":
                self._simple(200, PAGE, "text/html; charset=utf-8")
            elif url.path.startswith("/status/") and url.path[8:].isdigit():
                self._simple(int(url.path[8:]), b"status %s\n" % url.path[8:].encode())
            elif url.path == "/garbage":
                n = int(q.get("bytes", 65536))
                data = random.Random(q.get("seed", "0")).getrandbits(8 * n).to_bytes(n, "little")
                self._simple(200, data, q.get("type", "video/mp4"))
            elif url.path == "/live.mjpg":
                self._live(q)
            elif url.path == "/endless.mjpg":
                self._endless(q)
            elif url.path == "/live.m3u8":
                self._live_playlist(q)
            else:
                self._simple(404, b"not found\n")
        except OSError:  # the client left, or a write timed out
            self.close_connection = True

    def _account(self) -> Optional[str]:
        """The "user:password" of the request's basic authentication, or None."""
        scheme, _, encoded = self.headers.get("Authorization", "").partition(" ")
        if scheme.lower() != "basic":
            return None
        try:
            return base64.b64decode(encoded, validate=True).decode()
        except (binascii.Error, UnicodeDecodeError):
            return None

    # --- responses ------------------------------------------------------------------------

    def _head(self, status: int, headers: Sequence[Tuple[str, object]], close: bool = False) -> None:
        self.record.status = status
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, str(v))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

    def _simple(self, status: int, body: bytes, ctype: str = "text/plain") -> None:
        self._head(status, [("Content-Type", ctype), ("Content-Length", len(body))])
        if self.command != "HEAD":
            self.wfile.write(body)

    def _file(self, data: bytes, ctype: str, q: Dict[str, str]) -> None:
        fault = q.get("fault", "")
        declared = len(data)
        if fault == "hang":
            self.close_connection = True
            self._pause(float(q.get("seconds", 30)))
            return
        if fault == "truncate":
            data = data[: int(q["bytes"])]
            if q.get("length", "full") != "full":
                declared = len(data)
        shape = q.get("shape", "")
        if shape == "chunked":
            self._head(200, [("Content-Type", ctype), ("Transfer-Encoding", "chunked")])
            if self.command != "HEAD":
                for i in range(0, len(data), 32768):
                    piece = data[i : i + 32768]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"0\r\n\r\n")
            return
        status, first, last = 200, 0, declared - 1
        headers: List[Tuple[str, object]] = [("Content-Type", ctype)]
        if shape != "norange":
            headers.append(("Accept-Ranges", "bytes"))
        if "Range" in self.headers and shape not in ("norange", "lying"):
            try:
                r = parse_range(self.headers["Range"], declared)
            except ValueError:
                r = (0, declared - 1)
            else:
                if r is None:
                    self._head(416, [("Content-Range", f"bytes */{declared}"), ("Content-Length", 0)])
                    return
                status = 206
                headers.append(("Content-Range", f"bytes {r[0]}-{r[1]}/{declared}"))
            first, last = r
        headers.append(("Content-Length", last - first + 1))
        body = data[first : last + 1]
        self._head(status, headers, close=bool(fault) or len(body) < last - first + 1)
        if self.command == "HEAD":
            return
        if fault == "close":
            body = body[: int(q.get("after", 0))]
        elif fault == "stall":
            after = int(q.get("after", 0))
            self.wfile.write(body[:after])
            self._pause(float(q.get("seconds", 30)))
            return
        elif fault == "trickle":
            chunk, interval = int(q.get("chunk", 100)), float(q.get("interval", 0.1))
            deadline = time.monotonic() + self.server.owner.max_stall
            for i in range(0, len(body), chunk):
                self.wfile.write(body[i : i + chunk])
                if time.monotonic() + interval > deadline or not self._pause(interval):
                    return
            return
        self.wfile.write(body)

    def _live(self, q: Dict[str, str]) -> None:
        owner = self.server.owner
        frames = owner.jpeg_frames
        if not frames:
            self._simple(503, b"no pictures for the live stream\n")
            return
        period = 1.0 / float(q.get("fps", 15))
        limit = int(q.get("frames", 0))
        boundary = q.get("boundary", "vantlelive").encode()
        self._head(
            200,
            [("Content-Type", f"multipart/x-mixed-replace; boundary={boundary.decode()}"),
             ("Cache-Control", "no-cache")],
            close=True,
        )  # fmt: skip
        if self.command == "HEAD":
            return
        owner._update(live_streams=1)
        try:
            deadline = time.monotonic() + owner.max_live
            due = time.monotonic()
            sent = 0
            while not limit or sent < limit:
                jpeg = frames[sent % len(frames)]
                head = b"--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n" % (
                    boundary,
                    len(jpeg),
                )
                self.wfile.write(head + jpeg + b"\r\n")
                sent += 1
                owner._update(live_frames_sent=1)
                due += period
                if due > deadline or not self._pause(due - time.monotonic()):
                    return
            self.wfile.write(b"--%s--\r\n" % boundary)
        finally:
            owner._update(live_streams=-1)

    def _live_playlist(self, q: Dict[str, str]) -> None:
        """A live HLS playlist over the served segment*.ts files: from the first request of its
        `id`, one more segment every `period` seconds in a window of `window`, then the end tag."""
        owner = self.server.owner
        segments = sorted(name for name in owner.files if name.startswith("segment"))
        period, window = float(q.get("period", 1)), int(q.get("window", 3))
        with owner._lock:
            started = owner.playlists_started.setdefault(q.get("id", ""), time.monotonic())
        published = min(len(segments), 1 + int((time.monotonic() - started) / period))
        first = max(0, published - window)
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:1", f"#EXT-X-MEDIA-SEQUENCE:{first}"]
        for name in segments[first:published]:
            lines += ["#EXTINF:1.0,", f"files/{name}"]
        if time.monotonic() - started >= len(segments) * period:
            lines.append("#EXT-X-ENDLIST")
        self._simple(200, ("\n".join(lines) + "\n").encode(), "application/vnd.apple.mpegurl")

    def _endless(self, q: Dict[str, str]) -> None:
        owner = self.server.owner
        total = int(q.get("bytes", 1 << 30))
        self._head(200, [("Content-Type", "multipart/x-mixed-replace; boundary=vantleendless")], close=True)
        if self.command == "HEAD":
            return
        head = b"--vantleendless\r\nContent-Type: image/jpeg\r\n"
        if "length" in q:
            head += b"Content-Length: %d\r\n" % int(q["length"])
        # A JPEG's start of image and a comment segment, then filler that holds no marker.
        self.wfile.write(head + b"\r\n\xff\xd8\xff\xfe\x00\x10endless part...")
        chunk = bytes(range(1, 255)) * (1 << 12)
        deadline = time.monotonic() + owner.max_live
        sent = 0
        try:
            while sent < total and not owner.closing.is_set() and time.monotonic() < deadline:
                piece = chunk[: total - sent]
                self.wfile.write(piece)
                sent += len(piece)
        finally:
            owner._update(endless_bytes_sent=sent)

    def _pause(self, seconds: float) -> bool:
        """Wait up to `seconds` (at most max_stall); False if the client left or the server closes."""
        owner = self.server.owner
        deadline = time.monotonic() + min(seconds, owner.max_stall)
        while not owner.closing.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                return True
            readable, _, _ = select.select([self.connection], [], [], min(left, 0.05))
            if readable:
                try:
                    if self.connection.recv(1, socket.MSG_PEEK) == b"":
                        return False
                except OSError:
                    return False
                owner.closing.wait(min(left, 0.05))  # pipelined request data: nothing to do yet
        return False


class TestServer:
    """The test HTTP server, running in a daemon thread from construction until close()."""

    __test__ = False  # not a test class, whatever pytest thinks of the name

    class _HTTPServer(ThreadingMixIn, HTTPServer):
        daemon_threads = True
        owner: TestServer

        def process_request(self, request, client_address):
            t = threading.Thread(
                target=self.owner._connection,
                args=(request, client_address),
                name="test-http-connection",
                daemon=True,
            )
            self.owner._opened(request, t)
            t.start()

        def handle_error(self, request, client_address):
            pass  # clients going away mid-response are part of the tests

    def __init__(
        self,
        jpeg_frames: Optional[Sequence[bytes]] = None,
        max_stall: float = 30.0,
        max_live: float = 120.0,
        tls: Optional[Tuple[str, str]] = None,
    ):
        self.files: Dict[str, Tuple[bytes, str]] = {}
        self.jpeg_frames = list(jpeg_frames or [])
        self.max_stall = max_stall
        self.max_live = max_live
        self.closing = threading.Event()
        self.requests: List[Request] = []
        self.accounts: Set[str] = set()
        self.playlists_started: Dict[str, float] = {}
        self.requests_served = 0
        self.open_connections = 0
        self.live_streams = 0
        self.live_frames_sent = 0
        self.endless_bytes_sent = 0
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._sockets: Set[socket.socket] = set()
        self._threads: Set[threading.Thread] = set()
        self._httpd = self._HTTPServer(("127.0.0.1", 0), _Handler)
        self._httpd.owner = self
        self.scheme = "http"
        if tls is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
            self.scheme = "https"
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, args=(0.05,), name="test-http-server", daemon=True
        )
        self._thread.start()

    def __enter__(self) -> TestServer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def base_url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}"

    def url(self, path: str, **query: object) -> str:
        """Full URL of `path` on this server, with `query` as its query string."""
        if not path.startswith("/"):
            path = "/" + path
        return self.base_url + quote(path) + (("?" + urlencode(query)) if query else "")

    def serve_file(self, path, name: Optional[str] = None, content_type: Optional[str] = None) -> str:
        """Register a file (read into memory now) under /files/<name>; returns its URL path."""
        path = Path(path)
        name = name or path.name
        ctype = content_type or CONTENT_TYPES.get(path.suffix) or mimetypes.guess_type(path.name)[0]
        self.files[name] = (path.read_bytes(), ctype or "application/octet-stream")
        return f"/files/{name}"

    def count(self, path: str) -> int:
        """Requests received so far for `path` (query ignored)."""
        with self._lock:
            return sum(1 for r in self.requests if r.path == path)

    def wait_until(self, predicate: Callable[[], bool], timeout: float = 5.0) -> bool:
        """Wait for a condition on the counters; True if it held within `timeout`."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(min(left, 0.1))
            return True

    def wait_idle(self, timeout: float = 5.0) -> bool:
        """Wait until no connection is open and no live stream runs."""
        return self.wait_until(lambda: self.open_connections == 0 and self.live_streams == 0, timeout)

    def close(self, timeout: float = 5.0) -> None:
        """Stop serving, cut every connection and join every thread (RuntimeError if one stays)."""
        self.closing.set()
        if self._thread.is_alive():
            self._httpd.shutdown()
        self._httpd.server_close()
        with self._lock:
            socks, threads = list(self._sockets), list(self._threads) + [self._thread]
        for s in socks:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        alive = [t for t in threads if t.is_alive()]
        if alive:
            raise RuntimeError(f"test server threads still running after {timeout} s: {alive}")

    # --- bookkeeping, called from the server's threads ----------------------------------------

    def _update(self, **deltas: int) -> None:
        with self._changed:
            for name, d in deltas.items():
                setattr(self, name, getattr(self, name) + d)
            self._changed.notify_all()

    def _opened(self, sock: socket.socket, thread: threading.Thread) -> None:
        with self._lock:
            self._sockets.add(sock)
            self._threads.add(thread)
        self._update(open_connections=1)

    def _connection(self, sock: socket.socket, client_address) -> None:
        try:
            self._httpd.process_request_thread(sock, client_address)
        finally:
            with self._lock:
                self._sockets.discard(sock)
                self._threads.discard(threading.current_thread())
            self._update(open_connections=-1)

    def _count_request(self, request: Request) -> None:
        with self._lock:
            self.requests.append(request)
        self._update(requests_served=1)
