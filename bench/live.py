"""Live cameras for bench/run_all.py, each server a process of its own (its CPU time and pacing
apart from the benchmark and from the readers measured); its first line of output is its URL.

    python bench/live.py http MJPEG_FILE H264_FILE FPS
    python bench/live.py rtsp CAMERAS FPS

http: /mjpeg/<n>?run=R (the JPEG pictures as multipart/x-mixed-replace, each part with its
Content-Length) and /h264/<n>?run=R (the Matroska frame by frame, one response without a length),
every connection from the first frame, paced from its own start (part i leaves at start + i / fps).
/log?run=R gives the send times (once the write returned): {path: [[times] of each connection]}.
rtsp: /cam<n>, live 640x360 H.264 cameras (x264 tune=zerolatency) made for each client, every
picture stamped with the moment it goes to the encoder (draw_stamp; stamp_age reads it back).
"""

from __future__ import annotations

import itertools
import json
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, List, Tuple
from urllib.parse import parse_qsl, urlsplit

import numpy as np

BOUNDARY = "vantleframe"
WIDTH, HEIGHT = 640, 360
# A reader must have delivered every frame sent at least this many seconds ago.
GRACE = 1.0
# The stamp: time.time() in microseconds modulo 2**40 (12 days), a bit a 16x16 block along the top
# of the picture, most significant first: white for 1, black for 0. Whole macroblocks of flat grey
# come through any sensible encoding intact.
STAMP_BITS = 40
BLOCK = 16


def draw_stamp(i420: np.ndarray) -> None:
    """Stamps the current time into an I420 picture of WIDTH x HEIGHT (a flat uint8 array)."""
    bits = (int(time.time() * 1e6) >> np.arange(STAMP_BITS - 1, -1, -1)) & 1
    i420[: WIDTH * HEIGHT].reshape(HEIGHT, WIDTH)[:BLOCK] = np.repeat(16 + 219 * bits, BLOCK)
    i420[WIDTH * HEIGHT :].reshape(2, HEIGHT // 2, WIDTH // 2)[:, : BLOCK // 2] = 128  # grey chroma


def stamp_age(image: np.ndarray, now: float) -> float:
    """Seconds from the stamp in a decoded BGR picture to `now` (time.time())."""
    bits = image[BLOCK // 2, BLOCK // 2 : BLOCK * STAMP_BITS : BLOCK, 1] > 128
    sent = int.from_bytes(np.packbits(bits).tobytes(), "big")
    return ((int(now * 1e6) - sent) % (1 << STAMP_BITS)) / 1e6


class LiveServer:
    """A server of this module in a process of its own; `url` is its base URL."""

    def __init__(self, *args: str):
        self.process = subprocess.Popen([sys.executable, __file__, *args], stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().strip()  # type: ignore[union-attr]
        if "://" not in self.url:
            self.close()
            raise RuntimeError(f"the live server ({' '.join(args)}) did not start")

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()  # type: ignore[union-attr]


def _vint(data: bytes, offset: int, keep_marker: bool) -> Tuple[int, int]:
    """An EBML variable-length integer at `offset`: (value, its length); -1 for an unknown size."""
    first = data[offset]
    length = 9 - first.bit_length()
    value = first if keep_marker else first & (0xFF >> length)
    for byte in data[offset + 1 : offset + length]:
        value = (value << 8) | byte
    return (-1 if not keep_marker and value == (1 << (7 * length)) - 1 else value), length


def mkv_frames(data: bytes) -> List[bytes]:
    """A Matroska file of one video track cut before each block (SimpleBlock, BlockGroup) after
    the first: the headers go with the first frame, a cluster's header with the frame before."""
    cuts, offset = [], 0
    while offset < len(data):
        element, id_length = _vint(data, offset, keep_marker=True)
        size, size_length = _vint(data, offset + id_length, keep_marker=False)
        body = offset + id_length + size_length
        if element in (0xA3, 0xA0):
            cuts.append(offset)
        if element in (0x18538067, 0x1F43B675):  # Segment, Cluster: walk their children
            offset = body
        elif size < 0:
            raise ValueError(f"Matroska element {element:#x} of unknown size")
        else:
            offset = body + size
    cuts[0] = 0
    return [data[a:b] for a, b in zip(cuts, cuts[1:] + [len(data)])]


class _HTTPHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass

    def do_GET(self) -> None:  # noqa: N802 - the handler API's name
        server: Any = self.server
        url = urlsplit(self.path)
        run, kind = dict(parse_qsl(url.query)).get("run", ""), url.path.split("/")[1]
        if url.path == "/log":
            with server.lock:
                body = json.dumps({p: c for (r, p), c in server.logs.items() if r == run}).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if kind not in ("mjpeg", "h264"):
            self.send_error(404)
            return
        self.send_response(200)
        mime = f"multipart/x-mixed-replace; boundary={BOUNDARY}" if kind == "mjpeg" else "video/x-matroska"
        self.send_header("Content-Type", mime)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sent: List[float] = []
        with server.lock:
            server.logs.setdefault((run, url.path), []).append(sent)
        start, parts = time.monotonic(), server.parts[kind]
        for i in range(len(server.parts["h264"])):
            part = parts[i % len(parts)]
            time.sleep(max(0.0, start + i / server.fps - time.monotonic()))
            try:
                self.wfile.write(part)
            except OSError:  # the reader left
                return
            sent.append(time.time())


def serve_http(mjpeg: Path, h264: Path, fps: float) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from support.media import MULTIPART_BOUNDARY, split_multipart

    server: Any = ThreadingHTTPServer(("127.0.0.1", 0), _HTTPHandler)
    server.daemon_threads = True
    head = f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {{}}\r\n\r\n"
    jpegs = split_multipart(mjpeg.read_bytes(), MULTIPART_BOUNDARY)
    server.parts = {"mjpeg": [head.format(len(j)).encode() + j + b"\r\n" for j in jpegs]}
    server.parts["h264"] = mkv_frames(h264.read_bytes())
    server.fps, server.lock, server.logs = fps, threading.Lock(), {}
    print(f"http://127.0.0.1:{server.server_address[1]}", flush=True)
    server.serve_forever()


def serve_rtsp(cameras: int, fps: int) -> None:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstApp, GstRtspServer  # noqa: F401 - GstApp: appsink's methods

    Gst.init(None)
    caps = f"video/x-raw,format=I420,width={WIDTH},height={HEIGHT},framerate={fps}/1"
    # Two seconds of moving colour bars, played in a loop.
    src = Gst.parse_launch(f"videotestsrc num-buffers={2 * fps} horizontal-speed=4 ! {caps} ! appsink name=s")
    src.set_state(Gst.State.PLAYING)
    pictures: List[np.ndarray] = []
    while (sample := src.get_by_name("s").try_pull_sample(10 * Gst.SECOND)) is not None:
        pictures.append(np.frombuffer(sample.get_buffer().extract_dup(0, WIDTH * HEIGHT * 3 // 2), np.uint8))
    src.set_state(Gst.State.NULL)

    def feed(_factory: Any, media: Any) -> None:
        src, stop = media.get_element().get_by_name("src"), threading.Event()
        media.connect("unprepared", lambda _media: stop.set())

        def push() -> None:
            due = time.monotonic()
            for i in itertools.count():
                if stop.wait(max(0.0, due - time.monotonic())):
                    return
                due += 1 / fps
                if src.get_state(0)[1] != Gst.State.PLAYING:
                    continue  # nothing is sent before the client plays: no stale pictures
                picture = pictures[i % len(pictures)].copy()
                draw_stamp(picture)
                if src.emit("push-buffer", Gst.Buffer.new_wrapped(picture.tobytes())) != Gst.FlowReturn.OK:
                    return

        threading.Thread(target=push, daemon=True).start()

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    launch = f"( appsrc name=src is-live=true format=time do-timestamp=true caps={caps} ! x264enc tune="
    launch += f"zerolatency speed-preset=ultrafast bitrate=800 key-int-max={2 * fps} ! rtph264pay name=pay0 "
    launch += "pt=96 )"
    for n in range(cameras):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(False)
        factory.connect("media-configure", feed)
        server.get_mount_points().add_factory(f"/cam{n}", factory)
    if server.attach(None) == 0:
        raise SystemExit("the RTSP server could not bind a port")
    print(f"rtsp://127.0.0.1:{server.get_bound_port()}", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    if sys.argv[1] == "http":  # http MJPEG H264 FPS
        serve_http(Path(sys.argv[2]), Path(sys.argv[3]), int(sys.argv[4]))
    else:  # rtsp CAMERAS FPS
        serve_rtsp(int(sys.argv[2]), int(sys.argv[3]))
