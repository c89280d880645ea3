"""The vantleconvert element: its BGR output against videoconvert's and against the colour
equations, caps negotiation, the threaded path, and the plugin's registration.

Bounds (per channel, in 8-bit levels), on SMPTE bars (sharp, saturated) and the "colors"
pattern (ramps through every hue, with chroma beyond the legal range):
- against the equations of the caps' matrix and range, evaluated in floating point on the very
  input frame: |diff| <= 2.5 everywhere, mean < 0.5;
- against videoconvert: |diff| <= VC_MAX everywhere and mean < VC_MEAN. These are looser
  because videoconvert's own 8-bit arithmetic is off by up to ~6 levels on limited-range input
  (it maps Y = 235 to 253, for instance), where ours follows the equations.
Both references take each chroma sample for the whole block of pixels it covers, as our element
does. videoconvert does so on its I420 path, but on some others (NV12, odd-width 4:2:2) it
interpolates chroma between samples instead, so it runs with chroma-mode=none here.
"""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from dataclasses import dataclass

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
YUV_FORMATS = ["I420", "YV12", "NV12", "NV21", "Y42B", "Y444", "YUY2", "UYVY"]
RGB_FORMATS = {"BGRx": (0, 1, 2), "BGRA": (0, 1, 2), "RGBx": (2, 1, 0), "RGBA": (2, 1, 0), "RGB": (2, 1, 0)}
SIZES = [(320, 240), (642, 480), (643, 481)]
PATTERNS = ["smpte", "colors"]
TIMEOUT = 10 * Gst.SECOND


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


def convert_both(
    fmt: str, width: int, height: int, pattern: str, colorimetry: str | None = None, ours: str = ""
):
    caps = f"video/x-raw,format={fmt},width={width},height={height},framerate=30/1"
    if colorimetry is not None:
        caps += f",colorimetry={colorimetry}"
    samples = run_branches(
        f"videotestsrc num-buffers=1 pattern={pattern} ! {caps}",
        {
            "raw": "identity",
            "reference": "videoconvert chroma-mode=none ! video/x-raw,format=BGR",
            "ours": f"vantleconvert {ours} ! video/x-raw,format=BGR",
        },
    )
    return picture(samples["raw"]), picture(samples["reference"]).bgr(), picture(samples["ours"]).bgr()


def yuv_planes(raw: Picture, fmt: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Y, U and V of a YUV picture at full size, chroma repeated (nearest)."""
    width, height = raw.info.width, raw.info.height
    cw, ch = (width + 1) // 2, (height + 1) // 2
    if fmt in ("I420", "YV12", "Y42B", "Y444"):
        cw = width if fmt == "Y444" else cw
        ch = ch if fmt in ("I420", "YV12") else height
        u_plane, v_plane = (2, 1) if fmt == "YV12" else (1, 2)
        y, u, v = raw.plane(0, height, width), raw.plane(u_plane, ch, cw), raw.plane(v_plane, ch, cw)
    elif fmt in ("NV12", "NV21"):
        y, uv = raw.plane(0, height, width), raw.plane(1, ch, 2 * cw)
        u, v = (uv[:, 0::2], uv[:, 1::2]) if fmt == "NV12" else (uv[:, 1::2], uv[:, 0::2])
    else:  # YUY2, UYVY
        packed = raw.plane(0, height, 4 * cw)
        y_at, u_at, v_at = (0, 1, 3) if fmt == "YUY2" else (1, 0, 2)
        y, u, v = packed[:, y_at::2][:, :width], packed[:, u_at::4], packed[:, v_at::4]
    sub_y = 2 if fmt in ("I420", "YV12", "NV12", "NV21") else 1
    sub_x = 1 if fmt == "Y444" else 2
    u, v = (np.repeat(np.repeat(c, sub_y, 0), sub_x, 1)[:height, :width] for c in (u, v))
    return y, u, v


def equations(y: np.ndarray, u: np.ndarray, v: np.ndarray, kr: float, kb: float, full: bool) -> np.ndarray:
    """BGR from Y'CbCr by the matrix equations, in floating point."""
    y, u, v = (a.astype(np.float64) for a in (y, u, v))
    if full:
        luma, cb, cr = y / 255, (u - 128) / 255, (v - 128) / 255
    else:
        luma, cb, cr = (y - 16) / 219, (u - 128) / 224, (v - 128) / 224
    red = luma + 2 * (1 - kr) * cr
    blue = luma + 2 * (1 - kb) * cb
    green = (luma - kr * red - kb * blue) / (1 - kr - kb)
    return np.clip(np.stack([blue, green, red], axis=-1) * 255, 0, 255)


def assert_close(ours: np.ndarray, expected: np.ndarray, max_diff: float, mean_diff: float) -> None:
    diff = np.abs(ours.astype(np.float64) - expected)
    worst = np.unravel_index(np.argmax(diff), diff.shape)
    assert diff.max() <= max_diff, (
        f"max diff {diff.max():.1f} at {worst}: {ours[worst[:2]]} vs {expected[worst[:2]]}"
    )
    assert diff.mean() < mean_diff, f"mean diff {diff.mean():.2f}"


class TestOutput:
    @pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
    @pytest.mark.parametrize("colorimetry", list(COLORIMETRIES))
    @pytest.mark.parametrize("fmt", YUV_FORMATS)
    def test_yuv_formats(self, fmt, colorimetry, size):
        kr, kb, full = COLORIMETRIES[colorimetry]
        for pattern in PATTERNS:
            raw, reference, ours = convert_both(fmt, *size, pattern, colorimetry)
            assert ours.shape == (size[1], size[0], 3)
            assert_close(ours, equations(*yuv_planes(raw, fmt), kr, kb, full), 2.5, 0.5)
            span = "full" if full else "limited"
            assert_close(ours, reference.astype(np.float64), VC_MAX[span], VC_MEAN[span])

    @pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
    @pytest.mark.parametrize("fmt", list(RGB_FORMATS))
    def test_rgb_formats_reorder_exactly(self, fmt, size):
        width, height = size
        for pattern in PATTERNS:
            raw, reference, ours = convert_both(fmt, width, height, pattern)
            pixel_bytes = 3 if fmt == "RGB" else 4
            pixels = raw.plane(0, height, width * pixel_bytes).reshape(height, width, pixel_bytes)
            expected = pixels[:, :, list(RGB_FORMATS[fmt])]
            np.testing.assert_array_equal(ours, expected)
            np.testing.assert_array_equal(ours, reference)

    def test_full_hd_frame_threaded(self):
        # Above a megapixel the frame is cut into bands converted by several threads: the bands
        # must meet without seams (4:2:0 chroma rows shared across a band edge) and cover odd heights.
        for fmt, size in [("I420", (1920, 1080)), ("NV12", (1921, 1081)), ("YUY2", (1921, 1081))]:
            for threads in (1, 3):
                raw, reference, ours = convert_both(fmt, *size, "smpte", "bt709", ours=f"n-threads={threads}")
                assert_close(ours, equations(*yuv_planes(raw, fmt), 0.2126, 0.0722, False), 2.5, 0.5)
                assert_close(ours, reference.astype(np.float64), VC_MAX["limited"], VC_MEAN["limited"])

    @pytest.mark.parametrize("colorimetry", ["", ",colorimetry=2:0:0:0"], ids=["absent", "unknown-matrix"])
    def test_default_matrix_by_height(self, colorimetry):
        # GStreamer's defaults: BT.601 for standard definition, BT.709 above 576 lines.
        for size, (kr, kb) in [((320, 240), (0.299, 0.114)), ((1280, 720), (0.2126, 0.0722))]:
            caps = f"video/x-raw,format=I420,width={size[0]},height={size[1]}{colorimetry}"
            samples = run_branches(
                f"videotestsrc num-buffers=1 pattern=smpte ! {caps}",
                {"raw": "identity", "ours": "vantleconvert ! video/x-raw,format=BGR"},
            )
            raw, ours = picture(samples["raw"]), picture(samples["ours"]).bgr()
            assert_close(ours, equations(*yuv_planes(raw, "I420"), kr, kb, False), 2.5, 0.5)

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
        caps = f"video/x-raw,format=I420,width={width},height={height},framerate=1/1,colorimetry=bt709"
        pipeline = Gst.parse_launch(
            f"appsrc name=src caps={caps} ! vantleconvert ! video/x-raw,format=BGR ! "
            "appsink name=sink sync=false"
        )
        pipeline.set_state(Gst.State.PLAYING)
        try:
            pipeline.get_by_name("src").emit("push-buffer", buffer)
            sample = pipeline.get_by_name("sink").try_pull_sample(TIMEOUT)
            assert sample is not None
        finally:
            pipeline.set_state(Gst.State.NULL)
        up = lambda plane: np.repeat(np.repeat(plane, 2, 0), 2, 1)  # noqa: E731
        assert_close(picture(sample).bgr(), equations(y, up(u), up(v), 0.2126, 0.0722, False), 2.5, 0.5)


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

    @pytest.mark.parametrize("out_format", ["RGB", "I420", "BGRx"])
    def test_rejects_other_output_formats(self, out_format):
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! video/x-raw,format=I420 ! vantleconvert ! "
            f"appsink name=sink sync=false caps=video/x-raw,format={out_format}"
        )
        assert caps is None and ("could not link" in error or "not-negotiated" in error), error

    def test_rejects_formats_it_cannot_read(self):
        caps, error = self.negotiate(
            "videotestsrc num-buffers=1 ! identity ! video/x-raw,format=GRAY8 ! vantleconvert ! "
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

    def test_prefers_bgr_input_and_passes_it_through(self):
        # Offered any format, the converter asks for BGR and then leaves buffers untouched.
        pipeline = Gst.parse_launch(
            "videotestsrc num-buffers=1 ! vantleconvert name=conv ! appsink name=sink sync=false"
        )
        pipeline.set_state(Gst.State.PLAYING)
        try:
            sample = pipeline.get_by_name("sink").try_pull_sample(TIMEOUT)
            assert sample is not None
            sink_caps = pipeline.get_by_name("conv").get_static_pad("sink").get_current_caps()
            assert sink_caps.get_structure(0).get_value("format") == "BGR"
            assert pipeline.get_by_name("conv").is_passthrough()
        finally:
            pipeline.set_state(Gst.State.NULL)

    def test_input_formats_constant_matches_sink_template(self):
        factory = Gst.ElementFactory.find(gst_plugins.CONVERTER_FACTORY)
        (template,) = [t for t in factory.get_static_pad_templates() if t.direction == Gst.PadDirection.SINK]
        formats = template.get_caps().get_structure(0).get_value("format")
        assert set(formats) == set(gst_plugins.CONVERTER_INPUT_FORMATS)

    def test_factory_metadata_and_threads_default(self):
        element = Gst.ElementFactory.make(gst_plugins.CONVERTER_FACTORY)
        assert element.get_factory().get_klass() == "Filter/Converter/Video"
        assert element.props.n_threads == len(os.sched_getaffinity(0))


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
            "print(gst_plugins.register(), Gst.ElementFactory.find('vantleconvert') is None)\n"
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["False", "True"]
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
