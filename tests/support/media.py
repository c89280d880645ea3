"""Small test videos made with gst-launch-1.0, and the pictures they should decode to.

Files are cached in a directory keyed by everything that goes into their generation
($VANTLE_MEDIA_CACHE, or a per-user directory under the system temp dir), so repeated test
runs and the benchmarks reuse them instead of encoding again.
"""

from __future__ import annotations

import fcntl
import functools
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

GST_LAUNCH = shutil.which("gst-launch-1.0") or "gst-launch-1.0"
GENERATION_TIMEOUT = 60.0
MULTIPART_BOUNDARY = "vantleframe"
# Bump to invalidate every cached file after a change in how files are made.
_FORMAT_VERSION = "1"


@dataclass(frozen=True)
class MediaRecipe:
    """One catalogue entry and the properties a reader should observe in it."""

    name: str
    container: str  # mp4, matroska, mpegts, webm, multipart
    codec: str  # h264, h265, vp8, vp9, jpeg
    width: int
    height: int
    frames: int
    fps: int
    keyint: int  # maximum distance between keyframes; 1 for intra-only codecs
    pattern: str  # videotestsrc pattern name
    encoder: str  # encoder element with its properties
    muxer: str  # parser and muxer elements, as a pipeline fragment
    suffix: str
    content_type: str
    foreground: Optional[int] = None  # ARGB, for pattern=solid-color
    raw_format: str = "I420"  # what videotestsrc draws in
    # A whole launch string with {location}, for media that is not videotestsrc's pictures
    # through `encoder` and `muxer`; or "pyav", for a file that PyAV encodes (make_with_pyav).
    launch: str = ""

    @property
    def source(self) -> str:
        """The videotestsrc fragment (without num-buffers) that produces the pictures."""
        src = f"videotestsrc pattern={self.pattern}"
        if self.foreground is not None:
            src += f" foreground-color={self.foreground}"
        return (
            f"{src} ! video/x-raw,format={self.raw_format},width={self.width},height={self.height},"
            f"framerate={self.fps}/1"
        )

    def pipeline(self, location: str) -> str:
        if self.launch:
            return self.launch.format(location=location)
        return (
            f"{self.source.replace('videotestsrc', f'videotestsrc num-buffers={self.frames}', 1)}"
            f" ! {self.encoder} ! {self.muxer} ! filesink location={location}"
        )

    @property
    def elements(self) -> List[str]:
        """Element factories the generation needs."""
        if self.launch == "pyav":
            return []
        words = (self.launch or f"videotestsrc ! {self.encoder} ! {self.muxer}").split("!")
        return [w.split()[0] for w in words if "/" not in w]


def _x264(keyint: int) -> str:
    return f"x264enc speed-preset=ultrafast bitrate=400 key-int-max={keyint} option-string=scenecut=0"


# JPEG holds full-range YCbCr. videotestsrc draws limited range whatever the caps say and
# videoconvert keeps the values between YUV formats, so draw in BGR and convert from there.
_MJPEG = "videoconvert ! video/x-raw,format=I420,colorimetry=1:4:0:0 ! jpegenc quality=85"

CATALOGUE: Dict[str, MediaRecipe] = {
    s.name: s
    for s in [
        MediaRecipe("h264_mp4", "mp4", "h264", 320, 240, 60, 30, 30, "smpte",
                  _x264(30), "h264parse ! mp4mux", "mp4", "video/mp4"),
        MediaRecipe("h264_mkv", "matroska", "h264", 322, 240, 60, 30, 30, "smpte",
                  _x264(30), "h264parse ! matroskamux", "mkv", "video/x-matroska"),
        MediaRecipe("h264_ts", "mpegts", "h264", 320, 240, 60, 30, 30, "solid-color",
                  _x264(30), "h264parse ! mpegtsmux", "ts", "video/mp2t", foreground=0xFFC04020),
        MediaRecipe("h265_mp4", "mp4", "h265", 320, 240, 60, 30, 30, "smpte",
                  "x265enc speed-preset=ultrafast bitrate=400 key-int-max=30",
                  "h265parse ! mp4mux", "mp4", "video/mp4"),
        MediaRecipe("vp8_webm", "webm", "vp8", 322, 242, 60, 30, 30, "solid-color",
                  "vp8enc deadline=1 cpu-used=8 target-bitrate=400000 keyframe-max-dist=30",
                  "webmmux", "webm", "video/webm", foreground=0xFF3070C0),
        MediaRecipe("vp9_webm", "webm", "vp9", 320, 240, 60, 30, 30, "smpte",
                  "vp9enc deadline=1 cpu-used=8 target-bitrate=400000 keyframe-max-dist=30",
                  "webmmux", "webm", "video/webm"),
        MediaRecipe("mjpeg_mkv", "matroska", "jpeg", 320, 240, 60, 30, 1, "ball",
                  _MJPEG, "matroskamux", "mkv", "video/x-matroska", raw_format="BGR"),
        # JPEG as IP cameras send it, its colour sampled 4:2:2: colour detail in every other row.
        MediaRecipe("mjpeg_422_mkv", "matroska", "jpeg", 320, 240, 30, 30, 1, "colors",
                  _MJPEG.replace("I420", "Y42B"), "matroskamux", "mkv", "video/x-matroska",
                  raw_format="BGR"),
        MediaRecipe("mjpeg_multipart", "multipart", "jpeg", 320, 240, 60, 30, 1, "smpte",
                  _MJPEG, f"multipartmux boundary={MULTIPART_BOUNDARY}", "mjpeg",
                  f"multipart/x-mixed-replace; boundary={MULTIPART_BOUNDARY}", raw_format="BGR"),
        # Keyframes at 0, 30, 60, 90, 120 and nowhere else (scene-cut detection is off).
        MediaRecipe("h264_keyint30", "mp4", "h264", 320, 240, 150, 30, 30, "smpte",
                  _x264(30), "h264parse ! mp4mux faststart=true", "mp4", "video/mp4"),
        # Frames for the live multipart endpoint of the test server.
        MediaRecipe("live_jpeg", "multipart", "jpeg", 320, 240, 30, 30, 1, "smpte",
                  _MJPEG, f"multipartmux boundary={MULTIPART_BOUNDARY}", "mjpeg",
                  f"multipart/x-mixed-replace; boundary={MULTIPART_BOUNDARY}", raw_format="BGR"),
    ]
}  # fmt: skip

# Media that is not videotestsrc's pictures, kept out of CATALOGUE (whose every entry decodes
# to known pictures): the frame counts and failures of the sources are checked with them.
OTHER_MEDIA: Dict[str, MediaRecipe] = {
    s.name: s
    for s in [
        # H.264 with B-frames in MP4 as ffmpeg writes it (an edit list shifts the presentation
        # times by the reordering delay): read as a byte stream, the last frames are at risk.
        MediaRecipe("h264_bframes_mp4", "mp4", "h264", 854, 480, 90, 30, 30, "", "", "", "mp4",
                    "video/mp4", launch="pyav"),
        # MPEG-2 with B-frames in a program stream as ffmpeg writes it: most pictures have no
        # presentation time of their own.
        MediaRecipe("mpeg2_ps", "mpeg-ps", "mpeg2", 320, 240, 60, 30, 15, "", "", "", "mpg",
                    "video/mpeg", launch="pyav"),
        MediaRecipe("aac_mp4", "mp4", "aac", 0, 0, 0, 0, 0, "", "", "", "mp4", "video/mp4",
                    launch="audiotestsrc num-buffers=100 ! audioconvert ! avenc_aac ! mp4mux ! "
                           "filesink location={location}"),
    ]
}  # fmt: skip


_PYAV_ENCODER = """
import sys
import av
import numpy as np

out, form, codec = sys.argv[1:4]
width, height, frames, fps, keyint = map(int, sys.argv[4:])
with av.open(out, "w", format=form) as container:
    stream = container.add_stream(codec, rate=fps)
    stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
    stream.options = {"bf": "2", "g": str(keyint), **({"preset": "veryfast"} if codec == "libx264" else {})}
    for index in range(frames):
        picture = np.zeros((height, width, 3), np.uint8)
        x = index * 8 % width
        picture[:, x : x + 40] = 255
        for packet in stream.encode(av.VideoFrame.from_ndarray(picture, format="bgr24")):
            container.mux(packet)
    for packet in stream.encode():
        container.mux(packet)
"""


def make_with_pyav(recipe: MediaRecipe, out: Path) -> None:
    """Encodes `recipe` with PyAV (two B-frames) into its container: a moving bar. In a process of
    its own, for the reason pyav_frame_count gives."""
    numbers = [recipe.width, recipe.height, recipe.frames, recipe.fps, recipe.keyint]
    form, codec = {"h264": ("mp4", "libx264"), "mpeg2": ("mpeg", "mpeg2video")}[recipe.codec]
    result = subprocess.run(
        [sys.executable, "-c", _PYAV_ENCODER, str(out), form, codec, *map(str, numbers)],
        capture_output=True,
        text=True,
        timeout=GENERATION_TIMEOUT,
    )
    if result.returncode != 0:
        raise MediaUnavailable(f"{recipe.name}: PyAV could not encode it: {result.stderr[-500:]}")


@functools.lru_cache(maxsize=None)
def pyav_frame_count(location: str) -> int:
    """The frames PyAV (ffmpeg) decodes from the video of a file.

    Counted in a process of its own, so that PyAV's bundled ffmpeg libraries stay out of the
    process where GStreamer's libav plug-in has loaded the system's."""
    script = "import av, sys\nwith av.open(sys.argv[1]) as c:\n    print(sum(1 for _ in c.decode(video=0)))"
    result = subprocess.run(
        [sys.executable, "-c", script, location], capture_output=True, text=True, timeout=120
    )
    if result.returncode != 0:
        raise MediaUnavailable(f"PyAV could not decode {location}: {result.stderr[-500:]}")
    return int(result.stdout)


class MediaUnavailable(Exception):
    """The machine lacks an element needed to make this entry."""


@dataclass(frozen=True)
class MediaFile:
    recipe: MediaRecipe
    path: Path

    def __getattr__(self, name: str):
        # Expose the recipe's properties directly: entry.width, entry.frames, ...
        if name.startswith("_") or name == "recipe":
            raise AttributeError(name)
        return getattr(self.recipe, name)

    @property
    def size(self) -> int:
        return self.path.stat().st_size

    def keyframe_indices(self) -> List[int]:
        return [i for i, key in enumerate(frame_flags(self)) if key]


def default_cache_dir() -> Path:
    env = os.environ.get("VANTLE_MEDIA_CACHE")
    if env:
        return Path(env)
    return Path(tempfile.gettempdir()) / f"vantle-media-{os.getuid()}"


@functools.lru_cache(maxsize=None)
def have_element(name: str) -> bool:
    proc = subprocess.run(["gst-inspect-1.0", "--exists", name], capture_output=True, timeout=30)
    return proc.returncode == 0


@functools.lru_cache(maxsize=None)
def _gst_version() -> str:
    out = subprocess.run([GST_LAUNCH, "--version"], capture_output=True, text=True, timeout=30).stdout
    return out.strip()


def _run(pipeline: str, timeout: float = GENERATION_TIMEOUT) -> None:
    proc = subprocess.run(
        [GST_LAUNCH, "-q", "-e", *pipeline.split()],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"gst-launch failed ({proc.returncode}): {pipeline}\n{proc.stderr[-2000:]}")


def _cached(cache_dir: Path, stem: str, suffix: str, key_text: str, make: Callable[[Path], None]) -> Path:
    """Return the file for key_text, making it once even with several processes at work."""
    key = hashlib.sha256(f"{_FORMAT_VERSION}\n{_gst_version()}\n{key_text}".encode()).hexdigest()
    path = cache_dir / f"{stem}-{key[:16]}.{suffix}"
    if path.exists():
        return path
    cache_dir.mkdir(parents=True, exist_ok=True)
    with open(cache_dir / f".{path.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not path.exists():
            tmp = cache_dir / f".{path.name}.{os.getpid()}.tmp"
            try:
                make(tmp)
                os.replace(tmp, path)
            finally:
                tmp.unlink(missing_ok=True)
    return path


def generate(recipe: MediaRecipe, cache_dir: Path) -> Path:
    missing = [e for e in recipe.elements if not have_element(e)]
    if missing:
        raise MediaUnavailable(f"{recipe.name}: missing GStreamer elements {missing}")
    if recipe.launch == "pyav":
        return _cached(
            cache_dir, recipe.name, recipe.suffix, repr(recipe), lambda out: make_with_pyav(recipe, out)
        )
    template = recipe.pipeline("@OUT@")
    return _cached(
        cache_dir,
        recipe.name,
        recipe.suffix,
        template,
        lambda out: _run(template.replace("@OUT@", str(out))),
    )


def render_expected(recipe: MediaRecipe, cache_dir: Path, index: int = 0) -> np.ndarray:
    """The BGR picture of frame `index` as videotestsrc draws it, through videoconvert."""
    src = recipe.source.replace("videotestsrc", f"videotestsrc num-buffers={index + 1}", 1)
    template = f"{src} ! videoconvert ! video/x-raw,format=BGR ! multifilesink max-files=1 location=@OUT@/%d"

    def make(out: Path) -> None:
        frames_dir = out.with_suffix(".d")
        frames_dir.mkdir()
        try:
            _run(template.replace("@OUT@", str(frames_dir)))
            os.replace(frames_dir / str(index), out)
        finally:
            shutil.rmtree(frames_dir, ignore_errors=True)

    path = _cached(cache_dir, f"{recipe.name}-{index}", "bgr", template, make)
    stride = (recipe.width * 3 + 3) & ~3  # GStreamer pads packed RGB rows to 4 bytes
    raw = np.frombuffer(path.read_bytes(), np.uint8).reshape(recipe.height, stride)
    return raw[:, : recipe.width * 3].reshape(recipe.height, recipe.width, 3).copy()


class Catalogue:
    """The session's media: entries are generated on first use and memoised."""

    def __init__(
        self, cache_dir: Optional[Path] = None, on_missing: Optional[Callable[[str], object]] = None
    ):
        self.cache_dir = Path(cache_dir) if cache_dir else default_cache_dir()
        self._on_missing = on_missing
        self._lock = threading.Lock()
        self._files: Dict[str, MediaFile] = {}
        self._expected: Dict[Tuple[str, int], np.ndarray] = {}
        self.generation_seconds = 0.0

    names = sorted(CATALOGUE)

    def __getitem__(self, name: str) -> MediaFile:
        with self._lock:
            if name not in self._files:
                start = time.monotonic()
                recipe = CATALOGUE[name] if name in CATALOGUE else OTHER_MEDIA[name]
                try:
                    path = generate(recipe, self.cache_dir)
                except MediaUnavailable as exc:
                    if self._on_missing is None:
                        raise
                    self._on_missing(str(exc))
                    raise
                self.generation_seconds += time.monotonic() - start
                self._files[name] = MediaFile(recipe, path)
            return self._files[name]

    def expected(self, name: str, index: int = 0) -> np.ndarray:
        with self._lock:
            key = (name, index)
            if key not in self._expected:
                self._expected[key] = render_expected(CATALOGUE[name], self.cache_dir, index)
            return self._expected[key]

    def jpeg_frames(self, name: str = "live_jpeg") -> List[bytes]:
        """The JPEG pictures of a multipart entry, in order."""
        return split_multipart(self[name].path.read_bytes(), MULTIPART_BOUNDARY)


def hls_files(cache_dir: Path, frames: int = 90) -> List[Path]:
    """An HLS presentation of `frames` frames of H.264 in MPEG-TS segments of one second: the
    playlist first, then its segments (named as the playlist names them)."""
    for element in ("x264enc", "hlssink2", "videotestsrc"):
        if not have_element(element):
            raise MediaUnavailable(f"hls: missing GStreamer element {element}")
    key = hashlib.sha256(f"{_FORMAT_VERSION}\n{_gst_version()}\nhls-{frames}".encode()).hexdigest()[:16]
    folder = cache_dir / f"hls-{frames}-{key}"
    playlist = folder / "playlist.m3u8"
    if not playlist.exists():
        cache_dir.mkdir(parents=True, exist_ok=True)
        with open(cache_dir / f".{folder.name}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not playlist.exists():
                partial = cache_dir / f".{folder.name}.{os.getpid()}.tmp"
                launch = (
                    f"videotestsrc num-buffers={frames} pattern=smpte ! "
                    "video/x-raw,format=I420,width=320,height=240,framerate=30/1 ! "
                    f"{_x264(30)} ! h264parse ! hlssink2 target-duration=1 max-files=0 playlist-length=0 "
                    f"location={partial}/segment%05d.ts playlist-location={partial}/playlist.m3u8"
                )
                # The splitmuxsink inside hlssink2 now and then never finishes at the end of
                # the stream (a race of GStreamer's own); another run does.
                for attempt in range(3):
                    shutil.rmtree(partial, ignore_errors=True)
                    partial.mkdir()
                    try:
                        _run(launch, timeout=20)
                        break
                    except subprocess.TimeoutExpired:
                        if attempt == 2:
                            raise
                os.replace(partial, folder)
    segments = sorted(folder.glob("segment*.ts"))
    return [playlist, *segments]


def split_multipart(data: bytes, boundary: str) -> List[bytes]:
    """Bodies of the parts of a multipart stream (as multipartmux or HTTP cameras write it)."""
    parts = []
    for chunk in data.split(b"--" + boundary.encode())[1:]:
        head, sep, body = chunk.partition(b"\r\n\r\n")
        if not sep:
            continue
        length = None
        for line in head.split(b"\r\n"):
            k, _, v = line.partition(b":")
            if k.strip().lower() == b"content-length":
                length = int(v)
        parts.append(body[:length] if length is not None else body.rstrip(b"\r\n"))
    return parts


# --- decoding, for checks -------------------------------------------------------------------


def _gst():
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst

    Gst.init(None)
    return Gst


def run_appsink(description: str, on_sample, timeout: float = 30.0) -> None:
    """Run `description` (with an appsink named "sink") to EOS, handing each sample to on_sample."""
    Gst = _gst()
    pipeline = Gst.parse_launch(description)
    sink = pipeline.get_by_name("sink")
    bus = pipeline.get_bus()
    deadline = time.monotonic() + timeout
    pipeline.set_state(Gst.State.PLAYING)
    try:
        while True:
            msg = bus.pop_filtered(Gst.MessageType.ERROR)
            if msg is not None:
                err, dbg = msg.parse_error()
                raise RuntimeError(f"{err.message} ({dbg})")
            sample = sink.emit("try-pull-sample", 100 * Gst.MSECOND)
            if sample is not None:
                on_sample(sample)
            elif sink.get_property("eos"):
                return
            if time.monotonic() > deadline:
                raise TimeoutError(f"pipeline did not finish within {timeout} s: {description}")
    finally:
        pipeline.set_state(Gst.State.NULL)


def decode_frames(source: str, timeout: float = 30.0) -> List[np.ndarray]:
    """Decode everything `source` (a pipeline fragment) yields into BGR arrays."""
    frames: List[np.ndarray] = []

    def take(sample) -> None:
        s = sample.get_caps().get_structure(0)
        w, h = s.get_value("width"), s.get_value("height")
        buf = sample.get_buffer()
        data = buf.extract_dup(0, buf.get_size())
        stride = len(data) // h
        img = np.frombuffer(data, np.uint8).reshape(h, stride)[:, : w * 3].reshape(h, w, 3)
        frames.append(img.copy())

    run_appsink(
        f"{source} ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink sync=false",
        take,
        timeout,
    )
    return frames


def frame_flags(entry: MediaFile, timeout: float = 30.0) -> List[bool]:
    """For each coded frame of the file, in decoding order: is it a keyframe?"""
    Gst = _gst()
    parser = {"h264": "h264parse", "h265": "h265parse"}.get(entry.codec, "identity")
    flags: List[bool] = []
    run_appsink(
        f"filesrc location={entry.path} ! parsebin ! {parser} ! appsink name=sink sync=false",
        lambda s: flags.append(not s.get_buffer().has_flags(Gst.BufferFlags.DELTA_UNIT)),
        timeout,
    )
    return flags


def region_means(img: np.ndarray, grid: Tuple[int, int] = (6, 8)) -> np.ndarray:
    """Mean colour of each cell of a rows x cols grid, shape (rows, cols, 3)."""
    rows, cols = grid
    h, w = img.shape[:2]
    ys = np.linspace(0, h, rows + 1).astype(int)
    xs = np.linspace(0, w, cols + 1).astype(int)
    out = np.empty((rows, cols, 3))
    for r in range(rows):
        for c in range(cols):
            out[r, c] = img[ys[r] : ys[r + 1], xs[c] : xs[c + 1]].reshape(-1, 3).mean(axis=0)
    return out


def picture_difference(actual: np.ndarray, expected: np.ndarray, grid: Tuple[int, int] = (6, 8)) -> float:
    """Largest difference of a cell's mean colour, in 8-bit levels (shapes must match)."""
    if actual.shape != expected.shape:
        raise AssertionError(f"shape {actual.shape} != expected {expected.shape}")
    return float(np.abs(region_means(actual, grid) - region_means(expected, grid)).max())


# --- entries whose encoder must take a deep-colour picture ----------------------------------


@functools.lru_cache(maxsize=None)
def encodes(encoder: str, raw_format: str) -> bool:
    """Whether `encoder` takes pictures in `raw_format`. x264, x265 and libvpx are built with or
    without 10-bit support, and their elements list the 10-bit formats either way."""
    probe = (
        f"videotestsrc num-buffers=2 ! video/x-raw,format={raw_format},width=64,height=64,framerate=30/1 "
        f"! {encoder} ! fakesink"
    )
    try:
        _run(probe, timeout=30)
    except (RuntimeError, subprocess.TimeoutExpired):
        return False
    return True


@dataclass(frozen=True)
class ProbedRecipe(MediaRecipe):
    """An entry made only where its encoder takes its raw format (MediaUnavailable elsewhere),
    optionally of a moving picture, so that every frame differs and decoding has work to do."""

    motion: str = ""  # videotestsrc properties, e.g. "horizontal-speed=4"

    @property
    def source(self) -> str:
        src = super().source
        return src.replace("videotestsrc", f"videotestsrc {self.motion}", 1) if self.motion else src

    @property
    def elements(self) -> List[str]:
        names = super().elements
        encoder = self.encoder.split()[0]
        if all(have_element(n) for n in names) and not encodes(self.encoder, self.raw_format):
            raise MediaUnavailable(f"{self.name}: {encoder} does not encode {self.raw_format} here")
        return names


_X265 = "x265enc speed-preset=ultrafast bitrate=400 key-int-max=30"
_VP9 = "vp9enc deadline=1 cpu-used=8 target-bitrate=400000 keyframe-max-dist=30"

CATALOGUE.update(
    {
        s.name: s
        for s in [
            # 10-bit 4:4:4 H.264 (High 4:4:4 Predictive) decodes to Y444_10LE.
            ProbedRecipe("h264_10bit_444_mp4", "mp4", "h264", 320, 240, 60, 30, 30, "smpte",
                         _x264(30), "h264parse ! mp4mux", "mp4", "video/mp4", raw_format="Y444_10LE"),
            # 10-bit 4:2:0 H.265 (Main 10) and VP9 (profile 2) decode to I420_10LE.
            ProbedRecipe("h265_10bit_mp4", "mp4", "h265", 320, 240, 60, 30, 30, "smpte",
                         _X265, "h265parse ! mp4mux", "mp4", "video/mp4", raw_format="I420_10LE"),
            ProbedRecipe("vp9_10bit_webm", "webm", "vp9", 320, 240, 60, 30, 30, "smpte",
                         _VP9, "webmmux", "webm", "video/webm", raw_format="I420_10LE"),
        ]
    }
)  # fmt: skip


def _bench_recipe(name: str, like: str, size: Tuple[int, int], frames: int, encoder: str) -> ProbedRecipe:
    fields = {k: getattr(CATALOGUE[like], k) for k in MediaRecipe.__dataclass_fields__}
    fields.update(name=name, width=size[0], height=size[1], frames=frames, encoder=encoder)
    # The index first, as files meant for streaming have it: FFmpeg over HTTP loses frames of an
    # MP4 whose index comes last.
    fields["muxer"] = fields["muxer"].replace("mp4mux", "mp4mux faststart=true")
    return ProbedRecipe(**fields, motion="horizontal-speed=4")


def _x264_bench(bitrate: int) -> str:
    options = "key-int-max=30 bframes=0 option-string=scenecut=0"
    return f"x264enc speed-preset=veryfast bitrate={bitrate} {options}"


# Larger clips for the benchmarks (bench/run_all.py), not for tests: moving colour bars, a
# keyframe every 30 frames, bitrates of real streams of their size. Made on first use.
BENCH_CATALOGUE: Dict[str, ProbedRecipe] = {
    s.name: s
    for s in [
        _bench_recipe("bench_h264_10bit_444_1080p", "h264_10bit_444_mp4", (1920, 1080), 300,
                      _x264_bench(6000)),
        _bench_recipe("bench_h265_10bit_1080p", "h265_10bit_mp4", (1920, 1080), 300,
                      "x265enc speed-preset=ultrafast bitrate=4000 key-int-max=30"),
        _bench_recipe("bench_vp9_10bit_1080p", "vp9_10bit_webm", (1920, 1080), 300,
                      "vp9enc deadline=1 cpu-used=8 target-bitrate=4000000 keyframe-max-dist=30 threads=2"),
        # 4K 8-bit 4:2:0 H.264, short.
        _bench_recipe("bench_h264_2160p", "h264_mp4", (3840, 2160), 120, _x264_bench(16000)),
        # A recorded 720p video, as read many at a time in the Ray section.
        _bench_recipe("bench_h264_720p", "h264_mp4", (1280, 720), 150, _x264_bench(2500)),
    ]
}  # fmt: skip


def rotated_mp4(source: Path, degrees: int, target: Path) -> Path:
    """A copy of the MP4 `source` whose video track says it is to be shown turned by `degrees`
    clockwise (90, 180 or 270), as a phone writes it: the track header's matrix."""
    one = 0x10000
    a, b, c, d = {90: (0, one, -one, 0), 180: (-one, 0, 0, -one), 270: (0, -one, one, 0)}[degrees]
    data = source.read_bytes()
    at = data.index(b"tkhd") + 4
    # version and flags, times (32-bit or 64-bit), track id, reserved, duration, reserved, layer,
    # group, volume, reserved: then the matrix.
    matrix = at + 4 + (8 if data[at] == 0 else 16) + 8 + (4 if data[at] == 0 else 8) + 8 + 8
    target.write_bytes(
        data[:matrix] + struct.pack(">9i", a, b, 0, c, d, 0, 0, 0, 0x40000000) + data[matrix + 36 :]
    )
    return target
