"""Live sources for bench/run_all.py, each server a process of its own, so that its CPU time and
its pacing stay apart from the benchmark and from the readers measured. A server's first line
of output is its base URL.

    python bench/live.py http --mjpeg FILE --h264 FILE [--fps 15]
    python bench/live.py rtsp [--cameras 16] [--fps 15]

http: every connection to /mjpeg/<n>?run=R (the JPEG pictures of FILE as multipart/x-mixed-
replace, each part with its Content-Length, as cameras send them) or /h264/<n>?run=R (the
Matroska of FILE, frame by frame, as one response without a length) starts at the stream's
first frame and is paced in real time from its own start: part i leaves at start + i / fps.
Its send time (time.time() once the write returned) is logged; /log?run=R gives them as JSON
{path: [[send times] of each connection]}. Frame i a reader delivers from a connection
(dropping none) is part i of it.

rtsp: /cam<n> for n < cameras, each a live 640x360 H.264 camera (x264 tune=zerolatency: no
B-frames) made for its client. Every picture carries the moment it went to the encoder
(draw_stamp), which stamp_age reads back from the decoded BGR frame.
"""

from __future__ import annotations

import argparse
import itertools
import json
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Dict, List, Sequence, Tuple
from urllib.parse import parse_qsl, urlsplit

import numpy as np

BOUNDARY = "vantleframe"
WIDTH, HEIGHT = 640, 360
# A reader must have delivered every frame sent at least this many seconds ago.
GRACE = 1.0
# The stamp: time.time() in microseconds modulo 2**40 (12 days), one bit per 16x16 block along
# the top of the picture, most significant first: white for 1, black for 0, grey chroma. Whole
# macroblocks of flat colour come through any sensible encoding intact.
STAMP_BITS = 40
BLOCK = 16


def draw_stamp(i420: np.ndarray) -> None:
    """Stamps the current time into an I420 picture of WIDTH x HEIGHT (a flat uint8 array)."""
    micros = int(time.time() * 1e6) % (1 << STAMP_BITS)
    bits = np.array([(micros >> (STAMP_BITS - 1 - k)) & 1 for k in range(STAMP_BITS)], np.uint8)
    luma = i420[: WIDTH * HEIGHT].reshape(HEIGHT, WIDTH)
    luma[:BLOCK, : BLOCK * STAMP_BITS] = np.repeat(16 + 219 * bits, BLOCK)


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


def make_media(frames: int, fps: int) -> Dict[str, Path]:
    """The pictures of the HTTP cameras, made once and cached: moving colour bars at WIDTH x
    HEIGHT as 150 JPEG pictures (sent over and over) and as `frames` frames of H.264 for live
    streaming (no B-frames, no look-ahead, a keyframe every 2 s) in streamable Matroska."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from support.media import CATALOGUE, MediaRecipe, ProbedRecipe, default_cache_dir, generate

    def recipe(like: str, name: str, count: int, **changes: Any) -> ProbedRecipe:
        fields = {k: getattr(CATALOGUE[like], k) for k in MediaRecipe.__dataclass_fields__}
        fields.update(name=name, width=WIDTH, height=HEIGHT, frames=count, fps=fps, **changes)
        return ProbedRecipe(**fields, motion="horizontal-speed=4")

    x264 = f"x264enc tune=zerolatency speed-preset=veryfast bitrate=800 key-int-max={2 * fps}"
    recipes = {
        "mjpeg": recipe("mjpeg_multipart", "bench_live_mjpeg_360p", 150),
        "h264": recipe(
            "h264_mkv",
            f"bench_live_h264_360p_{frames}",
            frames,
            encoder=f"{x264} option-string=scenecut=0",
            muxer="h264parse ! matroskamux streamable=true",
        ),
    }
    return {key: generate(r, default_cache_dir()) for key, r in recipes.items()}


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
        start = time.monotonic()
        for i in range(len(server.h264)):
            if kind == "mjpeg":
                jpeg = server.mjpeg[i % len(server.mjpeg)]
                head = f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
                part = head.encode() + jpeg + b"\r\n"
            else:
                part = server.h264[i]
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
    server.mjpeg = split_multipart(mjpeg.read_bytes(), MULTIPART_BOUNDARY)
    server.h264 = mkv_frames(h264.read_bytes())
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
    # Two seconds of moving colour bars, played in a loop, the stamp's area grey in the chroma.
    bars = Gst.parse_launch(
        f"videotestsrc num-buffers={2 * fps} horizontal-speed=4 ! {caps} ! appsink name=s"
    )
    bars.set_state(Gst.State.PLAYING)
    pictures: List[np.ndarray] = []
    while (sample := bars.get_by_name("s").try_pull_sample(10 * Gst.SECOND)) is not None:
        buffer = sample.get_buffer()
        picture = np.frombuffer(buffer.extract_dup(0, buffer.get_size()), np.uint8).copy()
        for plane in range(2):
            start = WIDTH * HEIGHT * (4 + plane) // 4
            chroma = picture[start : start + WIDTH * HEIGHT // 4].reshape(HEIGHT // 2, WIDTH // 2)
            chroma[: BLOCK // 2] = 128
        pictures.append(picture)
    bars.set_state(Gst.State.NULL)

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
    launch = (
        f"( appsrc name=src is-live=true format=time do-timestamp=true caps={caps} ! x264enc "
        f"tune=zerolatency speed-preset=ultrafast bitrate=800 key-int-max={2 * fps} ! rtph264pay name=pay0 pt=96 )"
    )
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


def main(argv: Sequence[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["http", "rtsp"])
    parser.add_argument("--mjpeg", type=Path, help="multipartmux output of JPEG pictures")
    parser.add_argument("--h264", type=Path, help="H.264 in Matroska, written for streaming")
    parser.add_argument("--cameras", type=int, default=16)
    parser.add_argument("--fps", type=int, default=15)
    args = parser.parse_args(argv)
    if args.kind == "http":
        serve_http(args.mjpeg, args.h264, args.fps)
    else:
        serve_rtsp(args.cameras, args.fps)


if __name__ == "__main__":
    main(sys.argv[1:])
