"""The vantleconvert element: its BGR output against videoconvert's and against the colour
equations, resizing against an exact area average, caps negotiation, the threaded path, the
output buffer pool and the plugin's registration.

Bounds (per channel, in 8-bit levels), on SMPTE bars (sharp, saturated), the "colors" pattern
(ramps through every hue, with chroma beyond the legal range) and a grey gradient:
- against the equations of the caps' matrix and range, evaluated in floating point on the very
  input frame: |diff| <= 1 everywhere and mean < 0.5, at every depth, on every processor (the
  AVX2 rows and the portable ones give the same bytes);
- against videoconvert: |diff| <= VC_MAX everywhere and mean < VC_MEAN. These are looser
  because videoconvert's own 8-bit arithmetic is off by up to ~6 levels on limited-range input
  (it maps Y = 235 to 253, for instance), where ours follows the equations.
Both references take each chroma sample for the whole block of pixels it covers, as our element
does. videoconvert does so on its I420 path, but on some others (NV12, odd-width 4:2:2) it
interpolates chroma between samples instead, so it runs with chroma-mode=none here.

Resized pictures are compared with each plane resized in floating point by the definition (the
exact area average when shrinking, linear interpolation between sample centres when growing),
then converted by the equations. The element stores resized samples as integers, which adds half
a sample step times the largest coefficient to the conversion bound (see RESIZE_SLACK).
"""

from __future__ import annotations

import ctypes
import os
import platform
import subprocess
import sys
import threading
from dataclasses import dataclass
from pathlib import Path

import gi
import numpy as np
import pytest

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import GLib, Gst, GstApp, GstVideo  # noqa: E402, F401 (GstApp: appsink's methods)

from vantle import gst_plugins  # noqa: E402

Gst.init(None)
pytestmark = pytest.mark.skipif(not gst_plugins.register(), reason="the vantle GStreamer plugin is not built")

VC_MAX = {"limited": 6, "full": 4}
VC_MEAN = {"limited": 2.5, "full": 1.0}

# (caps colorimetry, Kr, Kb, full range)
COLORIMETRIES = {
    "bt601": (0.299, 0.114, False),
    "bt709": (0.2126, 0.0722, False),
    "bt2020": (0.2627, 0.0593, False),
    "1:4:0:0": (0.299, 0.114, True),  # BT.601 full range, as JPEG
    "1:3:5:1": (0.2126, 0.0722, True),
    "1:6:12:9": (0.2627, 0.0593, True),
}


@dataclass(frozen=True)
class Layout:
    kind: str  # planar, semi, packed, grey
    sub_x: int = 0
    sub_y: int = 0
    depth: int = 8
    shift: int = 0  # bits below the sample in each 16-bit word
    swap: bool = False  # V before U (YV12, NV21); UYVY order for packed

    @property
    def wide(self) -> bool:
        return self.depth > 8


YUV = {
    "I420": Layout("planar", 1, 1),
    "YV12": Layout("planar", 1, 1, swap=True),
    "Y42B": Layout("planar", 1, 0),
    "Y444": Layout("planar"),
    "NV12": Layout("semi", 1, 1),
    "NV21": Layout("semi", 1, 1, swap=True),
    "NV16": Layout("semi", 1, 0),
    "NV24": Layout("semi"),
    "YUY2": Layout("packed", 1, 0),
    "UYVY": Layout("packed", 1, 0, swap=True),
    "GRAY8": Layout("grey"),
    "I420_10LE": Layout("planar", 1, 1, 10),
    "I420_12LE": Layout("planar", 1, 1, 12),
    "I422_10LE": Layout("planar", 1, 0, 10),
    "I422_12LE": Layout("planar", 1, 0, 12),
    "Y444_10LE": Layout("planar", 0, 0, 10),
    "Y444_12LE": Layout("planar", 0, 0, 12),
    "P010_10LE": Layout("semi", 1, 1, 10, 6),
    "P012_LE": Layout("semi", 1, 1, 12, 4),
    "P016_LE": Layout("semi", 1, 1, 16),
    "GRAY16_LE": Layout("grey", depth=16),
}
ORIGINAL_YUV = ["I420", "YV12", "NV12", "NV21", "Y42B", "Y444", "YUY2", "UYVY"]
RGB_FORMATS = {"BGRx": (0, 1, 2), "BGRA": (0, 1, 2), "RGBx": (2, 1, 0), "RGBA": (2, 1, 0), "RGB": (2, 1, 0)}
SIZES = [(320, 240), (642, 480), (643, 481)]
PATTERNS = ["smpte", "colors", "gradient"]
TIMEOUT = 10 * Gst.SECOND
LIBYUV_HAS_AVX2 = 0x400  # libyuv/cpu_id.h
# Largest coefficient of a chroma sample (blue, limited-range BT.2020) and of a luma sample
# (limited range), in levels per 8-bit step.
CHROMA_GAIN, LUMA_GAIN = 2 * (1 - 0.0593) * 255 / 224, 255 / 219


MAX_DIFF = 1.0  # against the equations, in levels


def resize_slack(fmt: str) -> float:
    """What storing resized samples as integers may add: half a step of each, times its gain."""
    layout = YUV[fmt]
    step = 2.0 ** (8 - layout.depth)  # one sample step, in 8-bit steps
    return 0.5 * step * (LUMA_GAIN + (0 if layout.kind == "grey" else CHROMA_GAIN))


@dataclass
class Picture:
    data: np.ndarray  # the buffer's bytes
    info: GstVideo.VideoInfo
    offsets: list[int]
    strides: list[int]

    def plane(self, index: int, rows: int, row_bytes: int) -> np.ndarray:
        start, stride = self.offsets[index], self.strides[index]
        return self.data[start : start + stride * rows].reshape(rows, stride)[:, :row_bytes]

    def bgr(self) -> np.ndarray:
        width, height = self.info.width, self.info.height
        return self.plane(0, height, width * 3).reshape(height, width, 3)


def picture(sample: Gst.Sample) -> Picture:
    buffer = sample.get_buffer()
    info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
    meta = GstVideo.buffer_get_video_meta(buffer)
    layout = meta if meta is not None else info  # the producer may have chosen its own layout
    data = np.frombuffer(buffer.extract_dup(0, buffer.get_size()), np.uint8)
    return Picture(data, info, list(layout.offset), list(layout.stride))


def run_branches(source: str, branches: dict[str, str]) -> dict[str, Gst.Sample]:
    """Runs `source ! tee` into one appsink per branch; returns the first sample of each."""
    description = f"{source} ! tee name=t " + " ".join(
        f"t. ! queue ! {chain} ! appsink name={name} sync=false" for name, chain in branches.items()
    )
    pipeline = Gst.parse_launch(description)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        samples = {name: pipeline.get_by_name(name).try_pull_sample(TIMEOUT) for name in branches}
        bus_error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
        assert bus_error is None, bus_error.parse_error()
        assert all(samples.values()), f"no sample from {[n for n, s in samples.items() if s is None]}"
        return samples
    finally:
        pipeline.set_state(Gst.State.NULL)


def push_through(caps: str, buffer: Gst.Buffer, chain: str = "vantleconvert") -> np.ndarray:
    """Our picture of one buffer pushed through appsrc and `chain` (BGR by default)."""
    pipeline = Gst.parse_launch(f"appsrc name=src caps={caps},framerate=1/1 ! {chain} ! appsink name=sink")
    pipeline.set_state(Gst.State.PLAYING)
    try:
        pipeline.get_by_name("src").emit("push-buffer", buffer)
        sample = pipeline.get_by_name("sink").try_pull_sample(TIMEOUT)
        assert sample is not None
        return pixels(sample)
    finally:
        pipeline.set_state(Gst.State.NULL)


@pytest.fixture
def portable_rows():
    """A switch between the AVX2 rows and the portable ones: our plugin picks its rows by libyuv's
    CPU flags, which libyuv lets a test mask (MaskCpuFlags(1): none; 0: detect again)."""
    if platform.machine() not in ("x86_64", "AMD64"):
        pytest.skip("the AVX2 rows are built for x86-64 only")
    maps = Path("/proc/self/maps").read_text()
    paths = {line.split()[-1] for line in maps.splitlines() if "/libyuv.so" in line}
    if len(paths) != 1:
        pytest.skip("the plugin's libyuv is not one shared library of this process")
    libyuv = ctypes.CDLL(paths.pop())
    if not libyuv.InitCpuFlags() & LIBYUV_HAS_AVX2:
        pytest.skip("no AVX2 on this processor")
    yield lambda portable: libyuv.MaskCpuFlags(1 if portable else 0)
    libyuv.MaskCpuFlags(0)


def raw_caps(fmt: str, width: int, height: int, colorimetry: str | None = None) -> str:
    caps = f"video/x-raw,format={fmt},width={width},height={height},framerate=30/1"
    return caps if colorimetry is None else f"{caps},colorimetry={colorimetry}"


def convert(fmt, width, height, pattern, colorimetry=None, ours="", reference=True):
    """The raw input picture, videoconvert's BGR (None without `reference`) and ours."""
    branches = {"raw": "identity", "ours": f"vantleconvert {ours} ! video/x-raw,format=BGR"}
    if reference:
        branches["reference"] = "videoconvert chroma-mode=none ! video/x-raw,format=BGR"
    samples = run_branches(
        f"videotestsrc num-buffers=1 pattern={pattern} ! {raw_caps(fmt, width, height, colorimetry)}",
        branches,
    )
    theirs = picture(samples["reference"]).bgr() if reference else None
    return picture(samples["raw"]), theirs, picture(samples["ours"]).bgr()


def planes(raw: Picture, fmt: str) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None]:
    """Y, U and V of a YUV picture at their own resolutions, as sample values (None for grey)."""
    layout = YUV[fmt]
    width, height = raw.info.width, raw.info.height
    cw, ch = -(-width // (1 << layout.sub_x)), -(-height // (1 << layout.sub_y))
    size = 2 if layout.depth > 8 else 1

    def plane(index: int, rows: int, samples: int) -> np.ndarray:
        data = raw.plane(index, rows, samples * size)
        if size == 1:
            return data
        # Bits above the sample are ignored; bits below it (P010's six) count as its fraction.
        return (data.view("<u2") & (2 ** (layout.depth + layout.shift) - 1)) / 2**layout.shift

    if layout.kind == "grey":
        return plane(0, height, width), None, None
    if layout.kind == "planar":
        u_plane, v_plane = (2, 1) if layout.swap else (1, 2)
        return plane(0, height, width), plane(u_plane, ch, cw), plane(v_plane, ch, cw)
    if layout.kind == "semi":
        uv = plane(1, ch, 2 * cw)
        u, v = (uv[:, 1::2], uv[:, 0::2]) if layout.swap else (uv[:, 0::2], uv[:, 1::2])
        return plane(0, height, width), u, v
    packed = raw.plane(0, height, 4 * cw)
    y_at, u_at, v_at = (1, 0, 2) if layout.swap else (0, 1, 3)
    return packed[:, y_at::2][:, :width], packed[:, u_at::4], packed[:, v_at::4]


def full_size(fmt: str, y: np.ndarray, u: np.ndarray | None, v: np.ndarray | None):
    """Chroma repeated over the pixels each sample covers (neutral chroma for grey)."""
    layout = YUV[fmt]
    height, width = y.shape
    if u is None:
        neutral = np.full(y.shape, 2 ** (layout.depth - 1), np.float64)
        return y, neutral, neutral
    up = lambda c: np.repeat(np.repeat(c, 1 << layout.sub_y, 0), 1 << layout.sub_x, 1)[:height, :width]  # noqa: E731
    return y, up(u), up(v)


def equations(y, u, v, kr: float, kb: float, full: bool, depth: int = 8) -> np.ndarray:
    """BGR from Y'CbCr by the matrix equations, in floating point, with GStreamer's offsets and
    scales for the range and depth."""
    y, u, v = (a.astype(np.float64) for a in (y, u, v))
    step = 2.0 ** (depth - 8)
    if full:
        top = 2.0**depth - 1
        luma, cb, cr = y / top, (u - 128 * step) / top, (v - 128 * step) / top
    else:
        luma, cb, cr = (
            (y - 16 * step) / (219 * step),
            (u - 128 * step) / (224 * step),
            (v - 128 * step) / (224 * step),
        )
    red = luma + 2 * (1 - kr) * cr
    blue = luma + 2 * (1 - kb) * cb
    green = (luma - kr * red - kb * blue) / (1 - kr - kb)
    return np.clip(np.stack([blue, green, red], axis=-1) * 255, 0, 255)


def expected_bgr(raw: Picture, fmt: str, colorimetry: str, size=None) -> np.ndarray:
    """The equations on the raw picture, resized first to `size` (width, height) if given."""
    kr, kb, full = COLORIMETRIES[colorimetry]
    layout = YUV[fmt]
    y, u, v = planes(raw, fmt)
    if size is not None:
        width, height = size
        cw, ch = -(-width // (1 << layout.sub_x)), -(-height // (1 << layout.sub_y))
        y = resize(y, width, height)
        if u is not None:
            u, v = resize(u, cw, ch), resize(v, cw, ch)
    return equations(*full_size(fmt, y, u, v), kr, kb, full, layout.depth)


def axis_weights(n_in: int, n_out: int) -> np.ndarray:
    """(n_out, n_in) weights: the share of each input sample in the area of each output sample
    when shrinking; linear interpolation between sample centres when growing."""
    weights = np.zeros((n_out, n_in))
    for o in range(n_out):
        if n_out < n_in:
            begin, end = o * n_in / n_out, (o + 1) * n_in / n_out
            for i in range(int(begin), int(np.ceil(end))):
                weights[o, i] = min(end, i + 1) - max(begin, i)
        else:
            position = min(max((o + 0.5) * n_in / n_out - 0.5, 0), n_in - 1)
            left = min(int(position), n_in - 1)
            weights[o, left] += 1 - (position - left)
            if position > left:
                weights[o, left + 1] += position - left
    return weights / weights.sum(axis=1, keepdims=True)


def resize(plane: np.ndarray, width: int, height: int) -> np.ndarray:
    """A plane (rows, columns[, channels]) resized in float64."""
    rows = axis_weights(plane.shape[0], height)
    columns = axis_weights(plane.shape[1], width)
    channels = np.atleast_3d(plane.astype(np.float64)).transpose(2, 0, 1)  # (channels, rows, columns)
    resized = (rows @ channels @ columns.T).transpose(1, 2, 0)
    return resized if plane.ndim == 3 else resized[:, :, 0]


def assert_close(
    ours: np.ndarray, expected: np.ndarray, max_diff: float, mean_diff: float | None = None
) -> None:
    diff = np.abs(ours.astype(np.float64) - expected)
    worst = np.unravel_index(np.argmax(diff), diff.shape)
    assert diff.max() <= max_diff, (
        f"max diff {diff.max():.2f} at {worst}: {ours[worst[:2]]} vs {expected[worst[:2]]}"
    )
    assert mean_diff is None or diff.mean() < mean_diff, f"mean diff {diff.mean():.2f}"


def grey_colorimetries(fmt: str) -> list[str]:
    return ["1:4:0:0", "bt601"] if YUV[fmt].kind == "grey" else list(COLORIMETRIES)


def exact_luma(raw: Picture, fmt: str, size: tuple[int, int]) -> np.ndarray:
    """The luma plane of a YUV picture, resized to `size` if it differs, in full-range levels."""
    layout = YUV[fmt]
    y = planes(raw, fmt)[0].astype(np.float64)
    if y.shape != size[::-1]:
        y = resize(y, *size)
    step = 2.0 ** (layout.depth - 8)
    if layout.kind == "grey":  # full range
        return y * 255 / (2.0**layout.depth - 1)
    return np.clip((y - 16 * step) * 255 / (219 * step), 0, 255)


# The picture of each value of the rotation property, from the unturned one.
TURNS = {
    "none": lambda a: a,
    "90r": lambda a: np.rot90(a, -1),
    "180": lambda a: np.rot90(a, 2),
    "90l": lambda a: np.rot90(a, 1),
    "horiz": lambda a: a[:, ::-1],
    "vert": lambda a: a[::-1],
    "ul-lr": lambda a: a.swapaxes(0, 1),
    "ur-ll": lambda a: np.rot90(a, 2).swapaxes(0, 1),
}
QUARTER_TURNS = {"90r", "90l", "ul-lr", "ur-ll"}


def turned_size(properties: str, turn: str) -> str:
    """The properties that give the turned picture of the size `properties` give the upright one."""
    if turn not in QUARTER_TURNS:
        return properties
    return properties.replace("width=", "w=").replace("height=", "width=").replace("w=", "height=")


def pixels(sample: Gst.Sample) -> np.ndarray:
    """The picture of a BGR, RGB or GRAY8 sample as (rows, columns, channels)."""
    pic = picture(sample)
    channels = 1 if pic.info.finfo.format == GstVideo.VideoFormat.GRAY8 else 3
    height, width = pic.info.height, pic.info.width
    return pic.plane(0, height, width * channels).reshape(height, width, channels)


# (input format, input size, element properties, output format turned): pictures that RGB and grey
# output and each rotation and flip must match
OUTPUT_CASES = [
    ("I420", (643, 481), "", "BGR"),
    ("NV21", (320, 240), "width=200", "RGB"),
    ("YUY2", (643, 481), "width=300 height=200", "GRAY8"),
    ("UYVY", (320, 240), "", "RGB"),
    ("NV24", (643, 481), "", "GRAY8"),
    ("P010_10LE", (1921, 1081), "", "BGR"),  # in threaded bands
    ("I422_12LE", (643, 481), "width=211 height=99", "BGR"),
    ("GRAY16_LE", (320, 240), "width=100", "GRAY8"),
    ("BGRA", (643, 481), "", "RGB"),
    ("RGB", (320, 240), "width=200", "BGR"),
    ("BGR", (320, 240), "", "BGR"),  # turned without conversion
    ("GRAY8", (321, 241), "", "GRAY8"),
    ("Y444", (100, 21), "", "BGR"),  # a last tile of 5 rows
]


class TestOutput:
    @pytest.mark.parametrize("fmt, size, properties, turned", OUTPUT_CASES)
    def test_formats_and_turns_rearrange_the_bgr_picture(self, fmt, size, properties, turned):
        # RGB is the BGR picture with red and blue swapped, byte for byte; grey is the luma plane
        # in full range (limited-range luma expanded), or BT.601 luma weights for RGB input. A
        # rotation or flip moves whole pixels of the unturned picture, scaled to the same size.
        source = f"videotestsrc num-buffers=1 pattern=colors ! {raw_caps(fmt, *size)}"
        branches = {out: f"vantleconvert {properties} ! video/x-raw,format={out}" for out in ("RGB", "GRAY8")}
        for turn in TURNS:
            size_properties = turned_size(properties, turn)
            branches[turn] = f"vantleconvert rotation={turn} {size_properties} ! video/x-raw,format={turned}"
        samples = run_branches(source, {"raw": "identity", "BGR": "vantleconvert " + properties, **branches})
        bgr = picture(samples["BGR"]).bgr()
        np.testing.assert_array_equal(picture(samples["RGB"]).bgr(), bgr[..., ::-1])
        upright = pixels(samples[turned])
        for turn, rearranged in TURNS.items():
            np.testing.assert_array_equal(pixels(samples[turn]), rearranged(upright), err_msg=turn)
        height, width = bgr.shape[:2]
        grey = picture(samples["GRAY8"]).plane(0, height, width)
        if fmt in YUV:
            slack = 0.5 * 2.0 ** (8 - YUV[fmt].depth) * LUMA_GAIN if (width, height) != size else 0
            expected = exact_luma(picture(samples["raw"]), fmt, (width, height))
            assert_close(grey, expected, MAX_DIFF + slack, 0.5)
        else:
            assert_close(grey, bgr @ [0.114, 0.587, 0.299], MAX_DIFF, 0.5)

    @pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
    @pytest.mark.parametrize("fmt", list(YUV))
    def test_yuv_formats(self, fmt, size):
        # Every matrix and range of the caps (grey: both ranges), on every pattern.
        for colorimetry in grey_colorimetries(fmt):
            kr, kb, full = COLORIMETRIES[colorimetry]
            for pattern in PATTERNS:
                against_videoconvert = fmt in ORIGINAL_YUV and pattern != "gradient"
                raw, reference, ours = convert(
                    fmt, *size, pattern, colorimetry, reference=against_videoconvert
                )
                assert ours.shape == (size[1], size[0], 3)
                assert_close(ours, expected_bgr(raw, fmt, colorimetry), MAX_DIFF, 0.5)
                if against_videoconvert:
                    span = "full" if full else "limited"
                    assert_close(ours, reference.astype(np.float64), VC_MAX[span], VC_MEAN[span])

    @pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
    @pytest.mark.parametrize("fmt", list(RGB_FORMATS))
    def test_rgb_formats_reorder_exactly(self, fmt, size):
        width, height = size
        for pattern in PATTERNS:
            raw, reference, ours = convert(fmt, width, height, pattern)
            pixel_bytes = 3 if fmt == "RGB" else 4
            pixels = raw.plane(0, height, width * pixel_bytes).reshape(height, width, pixel_bytes)
            expected = pixels[:, :, list(RGB_FORMATS[fmt])]
            np.testing.assert_array_equal(ours, expected)
            np.testing.assert_array_equal(ours, reference)

    def test_grey_defaults_to_full_range(self):
        for fmt in ("GRAY8", "GRAY16_LE"):
            raw, _, ours = convert(fmt, 320, 240, "gradient", reference=False)
            assert_close(ours, expected_bgr(raw, fmt, "1:4:0:0"), MAX_DIFF, 0.5)

    def test_full_hd_frame_threaded(self):
        # Above a megapixel the frame is cut into bands converted by several threads: the bands
        # must meet without seams (4:2:0 chroma rows shared across a band edge) and cover odd heights.
        for fmt, size in [
            ("I420", (1920, 1080)),
            ("NV12", (1921, 1081)),
            ("YUY2", (1921, 1081)),
            ("P010_10LE", (1921, 1081)),
            ("I422_10LE", (1920, 1080)),
            ("NV16", (1921, 1081)),
        ]:
            for threads in (1, 3):
                raw, _, ours = convert(
                    fmt, *size, "smpte", "bt709", ours=f"n-threads={threads}", reference=False
                )
                assert_close(ours, expected_bgr(raw, fmt, "bt709"), MAX_DIFF, 0.5)

    @pytest.mark.parametrize("colorimetry", ["", ",colorimetry=2:0:0:0"], ids=["absent", "unknown-matrix"])
    def test_default_matrix_by_height(self, colorimetry):
        # GStreamer's defaults: BT.601 for standard definition, BT.709 above 576 lines.
        for fmt in ("I420", "I420_10LE"):
            for size, expected in [((320, 240), "bt601"), ((1280, 720), "bt709")]:
                caps = f"video/x-raw,format={fmt},width={size[0]},height={size[1]}{colorimetry}"
                samples = run_branches(
                    f"videotestsrc num-buffers=1 pattern=smpte ! {caps}",
                    {"raw": "identity", "ours": "vantleconvert ! video/x-raw,format=BGR"},
                )
                raw, ours = picture(samples["raw"]), picture(samples["ours"]).bgr()
                assert_close(ours, expected_bgr(raw, fmt, expected), MAX_DIFF, 0.5)

    def test_padded_input_strides(self):
        # Planes laid out with wide strides and gaps (as a decoder's pool may give them) are
        # read through the buffer's video meta.
        width, height, stride_y, stride_c = 98, 50, 160, 96
        rng = np.random.default_rng(7)
        y = rng.integers(16, 236, (height, width), dtype=np.uint8)
        u, v = (rng.integers(16, 241, (height // 2, width // 2), dtype=np.uint8) for _ in range(2))
        offsets = [64, 64 + stride_y * height + 32, 64 + stride_y * height + 32 + stride_c * height // 2 + 16]
        data = np.full(offsets[2] + stride_c * height // 2 + 8, 255, np.uint8)
        for plane, offset, stride in zip((y, u, v), offsets, (stride_y, stride_c, stride_c)):
            view = data[offset : offset + stride * len(plane)].reshape(len(plane), stride)
            view[:, : plane.shape[1]] = plane
        buffer = Gst.Buffer.new_wrapped(data.tobytes())
        GstVideo.buffer_add_video_meta_full(
            buffer,
            GstVideo.VideoFrameFlags.NONE,
            GstVideo.VideoFormat.I420,
            width,
            height,
            3,
            offsets + [0],
            [stride_y, stride_c, stride_c, 0],
        )
        ours = push_through(
            f"video/x-raw,format=I420,width={width},height={height},colorimetry=bt709", buffer
        )
        assert_close(ours, equations(*full_size("I420", y, u, v), 0.2126, 0.0722, False), MAX_DIFF, 0.5)

    @pytest.mark.parametrize("fmt", list(YUV))
    def test_random_samples_alike_on_every_processor(self, fmt, portable_rows):
        # Random bytes: every bit of every word set at random (stray bits above a 10-bit sample,
        # chroma at both extremes, where the arithmetic saturates). The AVX2 rows and the portable
        # ones write the same bytes, within the bound of the equations on the samples' own bits.
        # 643 pixels a row: 20 blocks of 32 for the AVX2 rows and 3 more for the portable tail.
        # Turned pictures are written with SIMD shuffles or plain copies: they move the same pixels.
        width, height = 643, 35
        info = GstVideo.VideoInfo.new()
        info.set_format(GstVideo.VideoFormat.from_string(fmt), width, height)
        data = np.random.default_rng(11).integers(0, 256, info.size, dtype=np.uint8)
        caps = f"video/x-raw,format={fmt},width={width},height={height},colorimetry=bt2020"
        outputs = []
        for portable in (False, True):
            portable_rows(portable)

            def convert(chain: str) -> np.ndarray:
                return push_through(caps, Gst.Buffer.new_wrapped(data.tobytes()), chain)

            bgr, grey = convert("vantleconvert"), convert("vantleconvert ! video/x-raw,format=GRAY8")
            for upright, out, turn in [(bgr, "BGR", "ur-ll"), (bgr, "BGR", "180"), (grey, "GRAY8", "90r")]:
                turned = convert(f"vantleconvert rotation={turn} ! video/x-raw,format={out}")
                np.testing.assert_array_equal(turned, TURNS[turn](upright), err_msg=f"{turn}, {portable=}")
            outputs.append(bgr)
        np.testing.assert_array_equal(outputs[1], outputs[0])
        raw = Picture(data, info, list(info.offset), list(info.stride))
        assert_close(outputs[0], expected_bgr(raw, fmt, "bt2020"), MAX_DIFF, 0.5)


# (format, input size, element properties, output size)
RESIZES = [
    ("I420", (1920, 1080), "width=640 height=360", (640, 360)),
    ("I420", (643, 481), "width=200", (200, 150)),
    ("I420", (320, 240), "width=333 height=101", (333, 101)),
    ("I420", (321, 241), "width=400 height=300", (400, 300)),
    ("NV12", (643, 481), "height=241", (322, 241)),
    ("NV21", (640, 480), "width=480 height=360", (480, 360)),
    ("YV12", (642, 480), "width=97 height=75", (97, 75)),
    ("Y42B", (643, 481), "width=321 height=240", (321, 240)),
    ("NV16", (641, 361), "width=160", (160, 90)),
    ("Y444", (320, 240), "width=480 height=300", (480, 300)),
    ("NV24", (643, 481), "width=214 height=161", (214, 161)),
    ("YUY2", (643, 481), "width=300 height=200", (300, 200)),
    ("UYVY", (320, 240), "width=641 height=479", (641, 479)),
    ("GRAY8", (643, 481), "width=200", (200, 150)),
    ("I420_10LE", (1920, 1080), "width=640 height=360", (640, 360)),
    ("I420_12LE", (643, 481), "width=211 height=99", (211, 99)),
    ("I422_10LE", (643, 481), "width=300", (300, 224)),
    ("I422_12LE", (320, 240), "width=500 height=333", (500, 333)),
    ("Y444_10LE", (643, 481), "width=321 height=241", (321, 241)),
    ("Y444_12LE", (320, 240), "width=160 height=120", (160, 120)),
    ("P010_10LE", (1921, 1081), "width=640 height=360", (640, 360)),
    ("P012_LE", (643, 481), "width=700 height=500", (700, 500)),
    ("P016_LE", (643, 481), "width=213 height=159", (213, 159)),
    ("GRAY16_LE", (320, 240), "width=101 height=99", (101, 99)),
]


class TestResize:
    @pytest.mark.parametrize(
        "fmt, size, properties, out_size",
        RESIZES,
        ids=[f"{r[0]}-{r[1][0]}x{r[1][1]}-{r[3][0]}x{r[3][1]}" for r in RESIZES],
    )
    def test_yuv_matches_area_average(self, fmt, size, properties, out_size):
        colorimetry = "1:4:0:0" if YUV[fmt].kind == "grey" else "bt709"
        for pattern in PATTERNS:
            raw, _, ours = convert(fmt, *size, pattern, colorimetry, ours=properties, reference=False)
            assert ours.shape == (out_size[1], out_size[0], 3)
            expected = expected_bgr(raw, fmt, colorimetry, out_size)
            assert_close(ours, expected, MAX_DIFF + resize_slack(fmt), 0.5)

    @pytest.mark.parametrize("fmt", ["BGR", *RGB_FORMATS])
    def test_rgb_is_resized_exactly(self, fmt):
        # No conversion here: the area average itself, rounded once.
        order = [0, 1, 2] if fmt in ("BGR", "BGRx", "BGRA") else [2, 1, 0]
        pixel_bytes = 3 if fmt in ("BGR", "RGB") else 4
        for (width, height), properties, out_size in [
            ((643, 481), "width=200", (200, 150)),
            ((320, 240), "width=431 height=97", (431, 97)),
        ]:
            for pattern in PATTERNS:
                raw, _, ours = convert(fmt, width, height, pattern, ours=properties, reference=False)
                pixels = raw.plane(0, height, width * pixel_bytes).reshape(height, width, pixel_bytes)
                expected = resize(pixels[:, :, order], *out_size)
                assert_close(ours, expected, 0.501)

    def test_threads_give_the_same_picture(self):
        # Bands resize and convert their own rows: any number of threads, one result (from one
        # input frame: videotestsrc leaves the last chroma of odd-width YUY2 undefined).
        for fmt, size in [("I420", (1920, 1080)), ("YUY2", (1921, 1081)), ("P010_10LE", (1921, 1081))]:
            samples = run_branches(
                f"videotestsrc num-buffers=1 pattern=colors ! {raw_caps(fmt, *size, 'bt709')}",
                {f"n{n}": f"vantleconvert width=641 height=361 n-threads={n}" for n in (1, 2, 3)},
            )
            results = [picture(samples[f"n{n}"]).bgr() for n in (1, 2, 3)]
            np.testing.assert_array_equal(results[0], results[1])
            np.testing.assert_array_equal(results[0], results[2])


class TestNegotiation:
    def negotiate(self, launch: str) -> tuple[Gst.Caps | None, str | None]:
        """Runs `launch` (ending in an appsink named sink) for one buffer: its caps, or the error
        (at link time when the caps of both sides are known then, else at run time)."""
        try:
            pipeline = Gst.parse_launch(launch)
        except GLib.Error as error:
            return None, error.message
        pipeline.set_state(Gst.State.PLAYING)
        try:
            sample = pipeline.get_by_name("sink").try_pull_sample(TIMEOUT)
            if sample is not None:
                return sample.get_caps(), None
            message = pipeline.get_bus().timed_pop_filtered(TIMEOUT, Gst.MessageType.ERROR)
            assert message is not None, "neither a sample nor an error"
            return None, message.parse_error()[1]
        finally:
            pipeline.set_state(Gst.State.NULL)

    def test_keeps_size_rate_and_aspect(self):
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! video/x-raw,format=NV12,width=643,height=481,framerate=25/2,"
            "pixel-aspect-ratio=4/3,colorimetry=bt709 ! vantleconvert ! appsink name=sink sync=false"
        )
        assert error is None
        s = caps.get_structure(0)
        assert s.get_value("format") == "BGR"
        assert (s.get_value("width"), s.get_value("height")) == (643, 481)
        assert s.get_fraction("framerate")[1:] == (25, 2)
        assert s.get_fraction("pixel-aspect-ratio")[1:] == (4, 3)

    @pytest.mark.parametrize("out_format", ["I420", "BGRx"])
    def test_rejects_other_output_formats(self, out_format):
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! video/x-raw,format=I420 ! vantleconvert ! "
            f"appsink name=sink sync=false caps=video/x-raw,format={out_format}"
        )
        assert caps is None and ("could not link" in error or "not-negotiated" in error), error

    def test_rejects_formats_it_cannot_read(self):
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! identity ! video/x-raw,format=Y41B ! vantleconvert ! "
            "appsink name=sink sync=false"
        )
        assert caps is None and ("could not link" in error or "not-negotiated" in error), error

    def test_size_change_is_followed(self):
        # Downstream asks for a size: upstream must produce it, the converter does not scale.
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! vantleconvert ! video/x-raw,format=BGR,width=200,height=100 ! "
            "appsink name=sink sync=false"
        )
        assert error is None
        structure = caps.get_structure(0)
        assert (structure.get_value("width"), structure.get_value("height")) == (200, 100)

    @pytest.mark.parametrize(
        "size, par, properties, expected",
        [
            ((1920, 1080), "1/1", "width=640 height=360", (640, 360, (1, 1))),
            ((1920, 1080), "1/1", "width=640", (640, 360, (1, 1))),
            ((643, 481), "1/1", "width=200", (200, 150, (1929, 1924))),  # 149.6 rounds to 150
            ((720, 576), "16/15", "height=288", (384, 288, (1, 1))),  # anamorphic: square pixels out
            ((320, 240), "1/1", "width=100 height=100", (100, 100, (4, 3))),  # stretched
            ((1000, 10), "1/1", "width=10", (10, 1, (10, 1))),  # at least one row
            ((320, 240), "1/1", "width=320 height=240", (320, 240, (1, 1))),
        ],
    )
    def test_requested_size(self, size, par, properties, expected):
        # The output caps carry the size, derived sides in the input's display aspect ratio, and
        # a pixel aspect ratio that keeps the display aspect ratio of the output truthful.
        caps, error = self.negotiate(
            f"videotestsrc num-buffers=1 ! video/x-raw,format=I420,width={size[0]},height={size[1]},"
            f"pixel-aspect-ratio={par} ! vantleconvert {properties} ! appsink name=sink sync=false"
        )
        assert error is None
        s = caps.get_structure(0)
        assert (s.get_value("width"), s.get_value("height")) == expected[:2]
        assert s.get_fraction("pixel-aspect-ratio")[1:] == expected[2]

    @pytest.mark.parametrize("fmt", ["NV12", "BGR"])  # BGR passes through while it is not turned
    def test_changes_while_playing_renegotiate(self, fmt):
        pipeline = Gst.parse_launch(
            "videotestsrc is-live=true pattern=colors ! "  # the same picture every time
            f"video/x-raw,format={fmt},width=320,height=240,framerate=100/1 ! vantleconvert name=conv ! "
            "appsink name=sink sync=false max-buffers=1 drop=true"
        )
        converter, sink = pipeline.get_by_name("conv"), pipeline.get_by_name("sink")
        pipeline.set_state(Gst.State.PLAYING)

        def frame_after(expected: tuple[int, int], turn: str | None, **changes) -> tuple[tuple, np.ndarray]:
            for name, value in changes.items():
                if name == "tag":  # as a demuxer sends it, before or between buffers
                    tags = Gst.TagList.new_from_string(f"taglist, image-orientation=(string){value}")
                    converter.get_static_pad("sink").send_event(Gst.Event.new_tag(tags))
                else:
                    Gst.util_set_object_arg(converter, name, str(value))
            for _ in range(50):  # a change reaches the caps and the pictures within a few frames
                sample = sink.try_pull_sample(TIMEOUT)
                s = sample.get_caps().get_structure(0)
                size, frame = (s.get_value("width"), s.get_value("height")), picture(sample).bgr()
                if size == expected and (turn is None or np.array_equal(frame, TURNS[turn](upright))):
                    break
            return size, frame

        try:
            upright = frame_after((320, 240), None)[1]
            for expected, turn, changes in [
                ((160, 100), None, {"width": 160, "height": 100}),
                ((64, 48), None, {"width": 64, "height": 0}),  # the height follows the width again
                ((320, 240), "none", {"width": 0}),
                ((240, 320), "90r", {"rotation": "90r"}),
                ((240, 320), "90l", {"rotation": "auto", "tag": "rotate-270"}),
                ((320, 240), "vert", {"tag": "flip-rotate-180"}),  # the caps stay
                ((320, 240), "none", {"rotation": "none"}),
            ]:
                size, frame = frame_after(expected, turn, **changes)
                assert size == expected
                if turn is not None:
                    np.testing.assert_array_equal(frame, TURNS[turn](upright))
            assert converter.is_passthrough() == (fmt == "BGR")
        finally:
            pipeline.set_state(Gst.State.NULL)

    @pytest.mark.parametrize(
        "caps, rotation, expected",
        [
            ("NV12,width=64,height=48,colorimetry=bt709", "180", ("NV12", "bt709", "limited", 180, False)),
            ("I420_10LE,width=1280,height=720", "auto", ("I420_10LE", "bt709", "limited", 90, False)),
            ("I420,width=64,height=48,colorimetry=1:4:0:0", "ur-ll", ("I420", "bt601", "full", 90, True)),
            ("GRAY8,width=64,height=48", "vert", ("GRAY8", "bt601", "full", 180, True)),
            ("RGBA,width=64,height=48", "ul-lr", ("RGBA", "rgb", "full", 270, True)),
        ],
    )
    def test_reports_what_it_converts_with(self, caps, rotation, expected):
        # The stream's tag asks for a quarter turn, which only "auto" follows; once it does,
        # downstream sees an upright picture's tag.
        pipeline = Gst.parse_launch(
            f"videotestsrc num-buffers=1 ! video/x-raw,format={caps} ! "
            'taginject tags="image-orientation=rotate-90" ! '
            f"vantleconvert name=conv rotation={rotation} ! appsink name=sink sync=false"
        )
        converter, tags = pipeline.get_by_name("conv"), []

        def keep_tags(pad, info):
            if info.get_event().type == Gst.EventType.TAG:
                tags.append(info.get_event().parse_tag().get_string(Gst.TAG_IMAGE_ORIENTATION)[1])
            return Gst.PadProbeReturn.OK

        converter.get_static_pad("src").add_probe(Gst.PadProbeType.EVENT_DOWNSTREAM, keep_tags)
        pipeline.set_state(Gst.State.PLAYING)
        try:
            assert pipeline.get_by_name("sink").try_pull_sample(TIMEOUT) is not None
            names = ("input-format", "matrix", "range", "applied-rotation", "applied-flip")
            assert tuple(converter.get_property(name) for name in names) == expected
            assert tags == ["rotate-0" if rotation == "auto" else "rotate-90"]
        finally:
            pipeline.set_state(Gst.State.NULL)

    @pytest.mark.parametrize(
        "downstream, expected",
        [
            ("", "BGR"),  # BGR unless downstream asks for another
            (" caps=video/x-raw,format=RGB", "RGB"),
            (" caps=video/x-raw,format=GRAY8", "GRAY8"),
        ],
    )
    def test_asks_upstream_for_the_output_format_and_passes_it_through(self, downstream, expected):
        pipeline = Gst.parse_launch(
            f"videotestsrc num-buffers=1 ! vantleconvert name=conv ! appsink name=sink sync=false{downstream}"
        )
        pipeline.set_state(Gst.State.PLAYING)
        try:
            sample = pipeline.get_by_name("sink").try_pull_sample(TIMEOUT)
            assert sample.get_caps().get_structure(0).get_value("format") == expected
            sink_caps = pipeline.get_by_name("conv").get_static_pad("sink").get_current_caps()
            assert sink_caps.get_structure(0).get_value("format") == expected
            assert pipeline.get_by_name("conv").is_passthrough()
        finally:
            pipeline.set_state(Gst.State.NULL)

    def test_input_formats_constant_matches_sink_template(self):
        element = Gst.ElementFactory.make(gst_plugins.CONVERTER_FACTORY)
        caps = element.get_static_pad("sink").get_pad_template_caps()
        assert {*YUV, "BGR", *RGB_FORMATS} == set(gst_plugins.CONVERTER_INPUT_FORMATS)
        assert all(caps.can_intersect(Gst.Caps.from_string(raw_caps(f, 64, 48))) for f in YUV)
        assert not caps.can_intersect(Gst.Caps.from_string(raw_caps("Y41B", 64, 48)))

    def test_factory_metadata_and_threads_default(self):
        element = Gst.ElementFactory.make(gst_plugins.CONVERTER_FACTORY)
        assert element.get_factory().get_klass() == "Filter/Converter/Video/Scaler"
        assert element.props.n_threads == len(os.sched_getaffinity(0))


class TestBufferPool:
    def test_held_frames_stay_intact_and_dropped_ones_are_reused(self):
        # A consumer keeping 40 frames neither stalls the stream nor sees them change; once it
        # lets them go, their memory serves the following frames (no new allocations).
        pipeline = Gst.parse_launch(
            "videotestsrc pattern=ball ! video/x-raw,format=I420,width=320,height=240 ! "
            "vantleconvert ! appsink name=sink sync=false max-buffers=2"
        )
        sink = pipeline.get_by_name("sink")
        pipeline.set_state(Gst.State.PLAYING)

        def pull() -> tuple[Gst.Sample, int, bytes]:
            sample = sink.try_pull_sample(TIMEOUT)
            assert sample is not None, "the stream stalled"
            buffer = sample.get_buffer()
            ok, info = buffer.map(Gst.MapFlags.READ)
            assert ok
            try:
                data = np.frombuffer(info.data, np.uint8)
                return sample, data.__array_interface__["data"][0], data.tobytes()
            finally:
                buffer.unmap(info)

        held = []
        try:
            seen = {pull()[1] for _ in range(10)}
            for _ in range(40):
                held.append(pull())
            assert len({address for _, address, _ in held}) == 40
            seen |= {pull()[1] for _ in range(40)} | {address for _, address, _ in held}
            for sample, _, data in held:
                buffer = sample.get_buffer()
                assert buffer.extract_dup(0, buffer.get_size()) == data
            held.clear()
            del sample, buffer
            # The buffers still on their way when the held ones came back show up in a first
            # round; after it, every frame reuses one of the buffers already made.
            seen |= {pull()[1] for _ in range(100)}
            later = {pull()[1] for _ in range(200)}
            assert later <= seen, f"{len(later - seen)} buffers allocated after the held ones came back"
        finally:
            held.clear()  # a stalled stream waits for these: let it go before stopping
            pipeline.set_state(Gst.State.NULL)

    def test_downstream_pool_is_bounded_only_if_it_accepts_no_bound(self):
        # A downstream element that proposes a bounded pool (a queue of 4 buffers) gets frames
        # from a pool that grows instead: holding 12 frames does not stall.
        pipeline = Gst.parse_launch(
            "videotestsrc ! video/x-raw,format=NV12,width=64,height=48 ! vantleconvert ! "
            "appsink name=sink sync=false max-buffers=1"
        )
        pad = pipeline.get_by_name("sink").get_static_pad("sink")

        def propose_bounded_pool(pad, info):
            query = info.get_query()
            if query.type == Gst.QueryType.ALLOCATION:
                caps, _ = query.parse_allocation()
                pool = GstVideo.VideoBufferPool()
                config = pool.get_config()
                size = GstVideo.VideoInfo.new_from_caps(caps).size
                Gst.BufferPool.config_set_params(config, caps, size, 2, 4)
                pool.set_config(config)
                query.add_allocation_pool(pool, size, 2, 4)
                return Gst.PadProbeReturn.HANDLED
            return Gst.PadProbeReturn.OK

        pad.add_probe(Gst.PadProbeType.QUERY_DOWNSTREAM, propose_bounded_pool)
        pipeline.set_state(Gst.State.PLAYING)
        held = []
        try:
            for _ in range(12):
                held.append(pipeline.get_by_name("sink").try_pull_sample(TIMEOUT))
                assert held[-1] is not None, "the stream stalled"
        finally:
            held.clear()
            pipeline.set_state(Gst.State.NULL)


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


class TestRegister:
    def test_idempotent_and_thread_safe(self):
        # In a fresh process: concurrent first calls all succeed and load the plugin once.
        result = run_python(
            "import threading\n"
            "from gi.repository import Gst\n"
            "from vantle import gst_plugins\n"
            "results = []\n"
            "call = lambda: results.append(gst_plugins.register())\n"
            "threads = [threading.Thread(target=call) for _ in range(8)]\n"
            "[t.start() for t in threads]; [t.join() for t in threads]\n"
            "results.append(gst_plugins.register())\n"
            "plugins = [p for p in Gst.Registry.get().get_plugin_list() if p.get_name() == 'vantle']\n"
            "print(results, len(plugins), plugins[0].get_filename())\n"
        )
        assert result.returncode == 0, result.stderr
        results, count, path = result.stdout.rsplit(" ", 2)
        assert results == str([True] * 9) and count == "1"
        assert path.strip() == str(gst_plugins.PLUGIN_DIR / gst_plugins.PLUGIN_FILE)

    def test_missing_plugin_warns_and_returns_false(self, tmp_path):
        result = run_python(
            "import logging, pathlib\n"
            "logging.basicConfig(format='%(name)s %(levelname)s %(message)s')\n"
            "from gi.repository import Gst\n"
            "from vantle import gst_plugins\n"
            f"gst_plugins.PLUGIN_DIR = pathlib.Path({str(tmp_path)!r})\n"
            "print(gst_plugins.CONVERTER_INPUT_FORMATS == frozenset(), gst_plugins.register(),\n"
            "      Gst.ElementFactory.find('vantleconvert') is None)\n"
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["True", "False", "True"]
        assert "vantle WARNING" in result.stderr and str(tmp_path) in result.stderr

    def test_unloadable_plugin_warns_and_returns_false(self, tmp_path):
        (tmp_path / gst_plugins.PLUGIN_FILE).write_bytes(b"not a shared object")
        result = run_python(
            "import logging, pathlib\n"
            "logging.basicConfig(format='%(name)s %(levelname)s %(message)s')\n"
            "from vantle import gst_plugins\n"
            f"gst_plugins.PLUGIN_DIR = pathlib.Path({str(tmp_path)!r})\n"
            "print(gst_plugins.register())\n"
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["False"]
        assert "failed to load" in result.stderr


def test_concurrent_pipelines_share_nothing():
    # Two elements converting at once (each with its own worker pool) give identical frames.
    outputs = {}

    def convert(index: int) -> None:
        samples = run_branches(
            "videotestsrc num-buffers=1 pattern=colors ! video/x-raw,format=I420,width=1920,height=1080",
            {"ours": "vantleconvert n-threads=2 ! video/x-raw,format=BGR"},
        )
        outputs[index] = picture(samples["ours"]).bgr()

    threads = [threading.Thread(target=convert, args=(i,)) for i in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert len(outputs) == 3
    np.testing.assert_array_equal(outputs[0], outputs[1])
    np.testing.assert_array_equal(outputs[0], outputs[2])
