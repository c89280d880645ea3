"""A real RTSP server on 127.0.0.1 for the tests: GStreamer's own (GstRtspServer), run in a child
process so that a test can stop it and start it again on the same port mid-stream.

Mounts are launch strings as the server takes them (a bin whose payloaders are named pay0,
pay1, ...). A server made with credentials asks for them (basic authentication, "401
Unauthorized") on every mount. Paths that are not mounted are answered "404 Not Found".

    with RTSPServer({"/clip": "( filesrc location=... ! qtdemux ! h264parse ! rtph264pay name=pay0 )"},
                    credentials=("user", "pass")) as server:
        url = server.url("/clip")
        server.restart()
"""

from __future__ import annotations

import json
import os
import select
import socket
import subprocess
import sys
import threading
import time
from typing import Dict, Mapping, Optional, Tuple

READY = "rtsp-server-ready"


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RTSPServer:
    """The server child process; started by the constructor, stopped by close()."""

    def __init__(
        self,
        mounts: Mapping[str, str],
        credentials: Optional[Tuple[str, str]] = None,
        port: Optional[int] = None,
        start_timeout: float = 15.0,
    ):
        self.mounts = dict(mounts)
        self.credentials = credentials
        self.port = port or free_port()
        self.start_timeout = start_timeout
        self._child: Optional[subprocess.Popen] = None
        self.start()

    def url(self, path: str, user: str = "", password: str = "", scheme: str = "rtsp") -> str:
        credentials = f"{user}:{password}@" if user else ""
        return f"{scheme}://{credentials}127.0.0.1:{self.port}{path}"

    def start(self) -> None:
        config = {"port": self.port, "mounts": self.mounts, "credentials": self.credentials}
        # The system interpreter has the GStreamer bindings whatever environment runs the tests.
        python = sys.executable if _has_rtsp_server(sys.executable) else "/usr/bin/python3"
        self._child = subprocess.Popen(
            [python, "-c", _CHILD, json.dumps(config)],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        deadline = time.monotonic() + self.start_timeout
        line = ""
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self._child.stdout], [], [], 0.1)
            if readable:
                line = self._child.stdout.readline()
                break
            if self._child.poll() is not None:
                break
        if line.strip() != READY:
            self.stop()
            raise RuntimeError(f"the RTSP server did not start (said {line.strip()!r})")

    def stop(self) -> None:
        """Ends the server at once: its clients see their connections drop."""
        child, self._child = self._child, None
        if child is None:
            return
        child.kill()
        child.wait(10)
        child.stdout.close()

    def restart(self, pause: float = 0.0) -> None:
        self.stop()
        time.sleep(pause)
        self.start()

    close = stop

    def __enter__(self) -> RTSPServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


_probed: Dict[str, bool] = {}


def _has_rtsp_server(python: str) -> bool:
    if python not in _probed:
        probe = "import gi; gi.require_version('GstRtspServer', '1.0')"
        result = subprocess.run([python, "-c", probe], capture_output=True, timeout=30, env=os.environ.copy())
        _probed[python] = result.returncode == 0
    return _probed[python]


def available() -> bool:
    """Whether GStreamer's RTSP server library can be used here."""
    return _has_rtsp_server(sys.executable) or _has_rtsp_server("/usr/bin/python3")


_CHILD = f"""
import json, sys
import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer

Gst.init(None)
config = json.loads(sys.argv[1])
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service(str(config["port"]))
mounts = server.get_mount_points()
for path, launch in config["mounts"].items():
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(False)
    mounts.add_factory(path, factory)
if config["credentials"]:
    # Every mount admits this one user, and asks anyone else for credentials (401).
    user, password = config["credentials"]
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "user")
    auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
    for path in config["mounts"]:
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_permission_for_role("user", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS, True)
        permissions.add_permission_for_role("user", GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, True)
        mounts.match(path)[0].set_permissions(permissions)
    server.set_auth(auth)
if server.attach(None) == 0:
    sys.exit("could not bind the port")
print("{READY}", flush=True)
GLib.MainLoop().run()
"""


class HostileRTSPServer:
    """An RTSP server of our own on 127.0.0.1 that answers as no camera should, in a thread of
    this process: "many-streams" describes `count` video streams (and plays none), "endless-
    describe" answers DESCRIBE with a length of 3.9 GB and no body. url(mode) names each."""

    def __init__(self, count: int = 2000):
        self.count = count
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(64)
        self.port = self._socket.getsockname()[1]
        self._closed = False
        threading.Thread(target=self._serve, daemon=True).start()

    def url(self, mode: str) -> str:
        return f"rtsp://127.0.0.1:{self.port}/{mode}"

    def _serve(self) -> None:
        while not self._closed:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _sdp(self) -> bytes:
        lines = ["v=0", "o=- 0 0 IN IP4 127.0.0.1", "s=hostile", "c=IN IP4 127.0.0.1", "t=0 0"]
        for index in range(self.count):
            lines += ["m=video 0 RTP/AVP 96", "a=rtpmap:96 H264/90000", f"a=control:track{index}"]
        return ("\r\n".join(lines) + "\r\n").encode()

    def _answer(self, connection: socket.socket) -> None:
        pending = b""
        with connection:
            while not self._closed:
                try:
                    data = connection.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                pending += data
                while b"\r\n\r\n" in pending:
                    head, pending = pending.split(b"\r\n\r\n", 1)
                    lines = head.decode("latin-1").split("\r\n")
                    method, path = lines[0].split()[:2]
                    fields = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
                    fields = {name.strip().lower(): value.strip() for name, value in fields.items()}
                    reply = f"RTSP/1.0 200 OK\r\nCSeq: {fields.get('cseq', '1')}\r\nSession: 1\r\n"
                    body = b""
                    if method == "DESCRIBE" and path.endswith("/endless-describe"):
                        reply += "Content-Type: application/sdp\r\nContent-Length: 3900000000\r\n"
                    elif method == "DESCRIBE":
                        body = self._sdp()
                        reply += f"Content-Type: application/sdp\r\nContent-Length: {len(body)}\r\n"
                    elif method == "SETUP":
                        reply += f"Transport: {fields.get('transport', '')};server_port=50000-50001\r\n"
                    try:
                        connection.sendall(reply.encode() + b"\r\n" + body)
                    except OSError:
                        return

    def close(self) -> None:
        self._closed = True
        self._socket.close()
