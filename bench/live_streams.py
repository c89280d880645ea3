"""Live cameras on 127.0.0.1 for the many-streams section of bench/run_all.py.

    python bench/live_streams.py --mjpeg FILE --h264 FILE [--fps 15]

serves, until it is terminated, every connection to

/mjpeg/<n>?run=R   the JPEG pictures of FILE (multipartmux output) as multipart/x-mixed-replace,
                   one picture per part (with its Content-Length, as cameras send them), over and
                   over, until as many parts as the H.264 stream has frames were sent
/h264/<n>?run=R    the Matroska of FILE (H.264) as one response without a length, frame by frame
/log?run=R         JSON {"<path>": [[send time of part 0, 1, ...] of each connection], ...} of
                   the connections of run R

Every connection starts at the stream's first frame and is paced in real time from its own
start: part i leaves at start + i / fps (frame 0 at once), and its send time (time.time() once
the write returned, the frame wholly in the socket) is logged. So frame i that a reader
delivers from a connection (dropping none) is part i of it, and the time between the send and the delivery is
what the reader adds: transport, demuxing, decoding, conversion and its own code.

Run as a process of its own, so that its CPU time and its pacing are apart from both the
benchmark and the measured contenders. The first line it prints is its port.
"""

from __future__ import annotations

import argparse
import json
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Dict, List, Tuple
from urllib.parse import parse_qsl, urlsplit

BOUNDARY = "vantleframe"
WIDTH, HEIGHT = 640, 360
# A reader must have delivered every frame sent at least this many seconds ago.
GRACE = 1.0


def make_media(frames: int, fps: int = 15) -> Dict[str, Path]:
    """The pictures of the live streams, made once and cached (tests/support/media.py): moving
    colour bars at WIDTH x HEIGHT, as 150 JPEG pictures (sent over and over) and as `frames`
    frames of H.264 for live streaming (x264's zero-latency tuning: no B-frames, no look-ahead;
    a keyframe every two seconds) in Matroska as written for streaming."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from support.media import CATALOGUE, MediaRecipe, ProbedRecipe, default_cache_dir, generate

    def recipe(like: str, name: str, count: int, **changes: object) -> ProbedRecipe:
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


# Matroska: the elements whose children are walked (Segment, Cluster), and those that hold one
# frame each (SimpleBlock, BlockGroup).
_MKV_PARENTS = (0x18538067, 0x1F43B675)
_MKV_FRAMES = (0xA3, 0xA0)


def _vint(data: bytes, offset: int, keep_marker: bool) -> Tuple[int, int]:
    """An EBML variable-length integer at `offset`: (value, its length); -1 for an unknown size."""
    first = data[offset]
    length = 9 - first.bit_length()
    value = first if keep_marker else first & (0xFF >> length)
    for byte in data[offset + 1 : offset + length]:
        value = (value << 8) | byte
    if not keep_marker and value == (1 << (7 * length)) - 1:
        return -1, length
    return value, length


def mkv_frames(data: bytes) -> List[bytes]:
    """A Matroska file of one video track cut before each block after the first (the headers
    go with the first frame, a cluster's header with the frame before it)."""
    cuts: List[int] = []
    offset = 0
    while offset < len(data):
        element, id_length = _vint(data, offset, keep_marker=True)
        size, size_length = _vint(data, offset + id_length, keep_marker=False)
        body = offset + id_length + size_length
        if element in _MKV_FRAMES:
            cuts.append(offset)
        if element in _MKV_PARENTS:
            offset = body
        elif size < 0:
            raise ValueError(f"Matroska element {element:#x} of unknown size")
        else:
            offset = body + size
    if not cuts:
        raise ValueError("no block in the Matroska file")
    cuts[0] = 0
    return [data[a:b] for a, b in zip(cuts, cuts[1:] + [len(data)])]


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, mjpeg: List[bytes], h264: List[bytes], fps: float):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.mjpeg = mjpeg
        self.h264 = h264
        self.period = 1.0 / fps
        self.lock = threading.Lock()
        # (run, path) -> the send times of each connection
        self.logs: Dict[Tuple[str, str], List[List[float]]] = {}


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _Server

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self) -> None:
        url = urlsplit(self.path)
        run = dict(parse_qsl(url.query)).get("run", "")
        if url.path == "/log":
            with self.server.lock:
                body = json.dumps({p: c for (r, p), c in self.server.logs.items() if r == run}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        kind = url.path.split("/")[1]
        if kind not in ("mjpeg", "h264"):
            self.send_error(404)
            return
        self.send_response(200)
        if kind == "mjpeg":
            self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
        else:
            self.send_header("Content-Type", "video/x-matroska")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sent: List[float] = []
        with self.server.lock:
            self.server.logs.setdefault((run, url.path), []).append(sent)
        self._paced(kind, sent)

    def _paced(self, kind: str, sent: List[float]) -> None:
        server = self.server
        start = time.monotonic()
        for i in range(len(server.h264)):
            if kind == "mjpeg":
                jpeg = server.mjpeg[i % len(server.mjpeg)]
                head = f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
                part = head.encode() + jpeg + b"\r\n"
            else:
                part = server.h264[i]
            wait = start + i * server.period - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                self.wfile.write(part)
            except OSError:  # the reader left
                return
            sent.append(time.time())


class LiveServer:
    """This module's server, started in a process of its own; `url` is its base URL."""

    def __init__(self, media: Dict[str, Path], fps: int):
        argv = [sys.executable, __file__, "--mjpeg", str(media["mjpeg"]), "--h264", str(media["h264"])]
        self.process = subprocess.Popen([*argv, "--fps", str(fps)], stdout=subprocess.PIPE, text=True)
        port = self.process.stdout.readline().strip()  # type: ignore[union-attr]
        if not port.isdigit():
            self.close()
            raise RuntimeError(
                f"the live stream server did not start (exit status {self.process.returncode})"
            )
        self.url = f"http://127.0.0.1:{port}"

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()  # type: ignore[union-attr]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mjpeg", type=Path, required=True, help="multipartmux output of JPEG pictures")
    parser.add_argument("--h264", type=Path, required=True, help="H.264 in Matroska, written for streaming")
    parser.add_argument("--fps", type=float, default=15.0)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from support.media import MULTIPART_BOUNDARY, split_multipart

    mjpeg = split_multipart(args.mjpeg.read_bytes(), MULTIPART_BOUNDARY)
    server = _Server(mjpeg, mkv_frames(args.h264.read_bytes()), args.fps)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
