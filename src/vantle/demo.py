"""The built-in demo stream: a clip made with GStreamer, served over HTTP on 127.0.0.1,
and a contact sheet of frames written as PNG."""

from __future__ import annotations

import http.server
import os
import re
import struct
import sys
import tempfile
import threading
import zlib
from pathlib import Path
from typing import List, Optional, Sequence

import numpy as np

from vantle.errors import StreamSetupError
from vantle.utils.gstreamer import Gst  # importing it initialises GStreamer

# The demo clip: SMPTE colour bars, H.264 in MP4 (MJPEG in Matroska where no H.264
# encoder is installed). The picture is static so a snapshot can be checked against it.
DEMO_WIDTH = 640
DEMO_HEIGHT = 360
DEMO_FRAMES = 300
DEMO_FRAMERATE = 30
DEMO_PATTERN = "smpte"

_ENCODINGS = (
    ("x264enc", "demo.mp4", "x264enc speed-preset=veryfast key-int-max=30 ! mp4mux faststart=true"),
    ("jpegenc", "demo.mkv", "jpegenc ! matroskamux"),
)


def _cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    path = Path(base) / "vantle"
    try:
        path.mkdir(parents=True, exist_ok=True)
        return path
    except OSError:
        return Path(tempfile.gettempdir())


def demo_media(timeout: float = 120.0) -> Path:
    """The demo clip, made on first use and kept in the user's cache.

    :raises StreamSetupError: No encoder is installed, or the encoding failed
    """
    for encoder, name, tail in _ENCODINGS:
        if Gst.ElementFactory.find(encoder) is None:
            continue
        path = _cache_dir() / f"{DEMO_WIDTH}x{DEMO_HEIGHT}-{DEMO_FRAMES}-{name}"
        if path.exists() and path.stat().st_size > 0:
            return path
        partial = path.with_suffix(path.suffix + f".{os.getpid()}.part")
        launch = (
            f"videotestsrc num-buffers={DEMO_FRAMES} pattern={DEMO_PATTERN} ! "
            f"video/x-raw,format=I420,width={DEMO_WIDTH},height={DEMO_HEIGHT},framerate={DEMO_FRAMERATE}/1 ! "
            f'{tail} ! filesink location="{partial}"'
        )
        _run_to_eos(launch, timeout)
        os.replace(partial, path)
        return path
    raise StreamSetupError("No H.264 or JPEG encoder is installed to make the demo stream")


def _run_to_eos(launch: str, timeout: float) -> None:
    pipeline = Gst.parse_launch(launch)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        message = pipeline.get_bus().timed_pop_filtered(
            int(timeout * Gst.SECOND), Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
        if message is None:
            raise StreamSetupError(f"Making the demo stream took longer than {timeout} seconds")
        if message.type == Gst.MessageType.ERROR:
            error, debug = message.parse_error()
            raise StreamSetupError(f"Making the demo stream failed: {error.message} ({debug})")
    finally:
        pipeline.set_state(Gst.State.NULL)


class _Handler(http.server.BaseHTTPRequestHandler):
    """Serves the files of one folder with Range support (what souphttpsrc asks for)."""

    protocol_version = "HTTP/1.1"
    server: MediaServer

    def do_HEAD(self) -> None:  # noqa: N802 - the handler API's name
        self._serve(body=False)

    def do_GET(self) -> None:  # noqa: N802 - the handler API's name
        self._serve(body=True)

    def _serve(self, body: bool) -> None:
        path = self.server.files.get(self.path.split("?", 1)[0])
        if path is None:
            self.send_error(404, "File not found")
            return
        size = path.stat().st_size
        start, end = 0, size - 1
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        if match and (match.group(1) or match.group(2)):
            if match.group(1):
                start = int(match.group(1))
                end = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
            else:
                start = max(size - int(match.group(2)), 0)
            if start > end:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{size}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        else:
            self.send_response(200)
        self.send_header("Content-Type", "video/mp4" if path.suffix == ".mp4" else "video/x-matroska")
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        if not body:
            return
        with open(path, "rb") as f:
            f.seek(start)
            left = end - start + 1
            while left > 0:
                chunk = f.read(min(left, 1 << 16))
                if not chunk:
                    break
                try:
                    self.wfile.write(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    return
                left -= len(chunk)

    def log_message(self, format: str, *args: object) -> None:
        pass


class MediaServer(http.server.ThreadingHTTPServer):
    """An HTTP server on 127.0.0.1 (ephemeral port) serving a few files, in a thread."""

    daemon_threads = True

    def __init__(self, files: Sequence[Path]):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.files = {f"/{p.name}": p for p in files}
        self._thread = threading.Thread(target=self.serve_forever, name="vantle-demo-server", daemon=True)
        self._thread.start()

    def handle_error(self, request: object, client_address: object) -> None:
        # A client that hangs up mid-request (a reader closed early) is not an error.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)

    def url(self, path: Path) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}/{path.name}"

    def close(self) -> None:
        self.shutdown()
        self.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> MediaServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class ContactSheet:
    """Keeps `count` frames spread evenly over a stream of unknown length: every
    `stride`-th frame is a candidate, the stride doubling (and every other candidate
    going) when more than twice `count` are kept; the sheet shows `count` of them."""

    def __init__(self, count: int = 6):
        self.count = count
        self.stride = 1
        self.frames: List[np.ndarray] = []
        self._seen = 0

    def offer(self, frame: np.ndarray) -> None:
        if self._seen % self.stride == 0:
            self.frames.append(frame)
            if len(self.frames) > 2 * self.count:
                self.frames = self.frames[::2]
                self.stride *= 2
        self._seen += 1

    def chosen(self) -> List[np.ndarray]:
        """The frames on the sheet: `count` of the candidates, evenly spaced."""
        if len(self.frames) <= self.count:
            return list(self.frames)
        last = len(self.frames) - 1
        return [self.frames[round(i * last / (self.count - 1))] for i in range(self.count)]

    def render(self, columns: int = 3, scale: int = 2) -> Optional[np.ndarray]:
        """The chosen frames, each shrunk by `scale`, in a grid; None without frames."""
        thumbs = [f[::scale, ::scale] for f in self.chosen()]
        if not thumbs:
            return None
        columns = min(columns, len(thumbs))
        height = max(t.shape[0] for t in thumbs)
        width = max(t.shape[1] for t in thumbs)
        rows = (len(thumbs) + columns - 1) // columns
        sheet = np.zeros((rows * height, columns * width, 3), dtype=np.uint8)
        for i, thumb in enumerate(thumbs):
            r, c = divmod(i, columns)
            sheet[r * height : r * height + thumb.shape[0], c * width : c * width + thumb.shape[1]] = thumb
        return sheet


def write_png(path: os.PathLike, bgr: np.ndarray) -> None:
    """Writes a (height, width, 3) BGR uint8 array as an 8-bit RGB PNG."""
    height, width = bgr.shape[:2]
    rgb = np.ascontiguousarray(bgr[..., ::-1])
    # Each row starts with its filter type byte (0: none).
    rows = np.zeros((height, width * 3 + 1), dtype=np.uint8)
    rows[:, 1:] = rgb.reshape(height, width * 3)

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (
            struct.pack(">I", len(data))
            + kind
            + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
        )

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
    Path(path).write_bytes(png + chunk(b"IEND", b""))
