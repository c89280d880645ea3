"""sample_to_ndarray, sample_as_ndarray and framerate_from_structure on real videotestsrc samples and
hand-made ones."""

import gc
import subprocess
import sys
import textwrap
import threading
import weakref

import gi
import numpy as np
import pytest

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402

from vantle.utils.gstreamer import (  # noqa: E402
    SampleConversionError,
    framerate_from_structure,
    sample_as_ndarray,
    sample_to_ndarray,
)

pytestmark = pytest.mark.timeout(60)


@pytest.fixture(params=[sample_to_ndarray, sample_as_ndarray], ids=["copy", "zero-copy"])
def convert(request):
    """Each conversion: whatever the copy gives, the zero-copy array gives too, errors included."""
    return request.param


TOO_SMALL = "buffer is too small for requested array"
NEGATIVE = "negative dimensions are not allowed"


def pull_sample(source: str, fmt: str, width: int, height: int) -> Gst.Sample:
    """One sample of `source` in `fmt` at the given size, from a pipeline brought down again."""
    pipeline = Gst.parse_launch(
        f"{source} num-buffers=1 ! video/x-raw,format={fmt},width={width},height={height} ! appsink name=sink"
    )
    pipeline.set_state(Gst.State.PLAYING)
    try:
        sample = pipeline.get_by_name("sink").try_pull_sample(10 * Gst.SECOND)
    finally:
        pipeline.set_state(Gst.State.NULL)
    assert sample is not None
    return sample


def expected_picture(source: str, width: int, height: int) -> np.ndarray:
    """The same picture built from BGRx, whose 4-byte pixels never leave row padding."""
    buffer = pull_sample(source, "BGRx", width, height).get_buffer()
    data = buffer.extract_dup(0, buffer.get_size())
    assert len(data) == width * height * 4
    return np.frombuffer(data, np.uint8).reshape(height, width, 4)[:, :, :3]


def hand_made(caps: str, data: bytes) -> Gst.Sample:
    return Gst.Sample.new(Gst.Buffer.new_wrapped(data), Gst.Caps.from_string(caps), None, None)


def bgr_caps(width, height) -> str:
    return f"video/x-raw,format=BGR,width={width},height={height}"


def memory_lock_state(buffer: Gst.Buffer) -> int:
    # A read mapping of the buffer adds to its memory's lock state; unmapping restores it.
    return buffer.peek_memory(0).mini_object.lockstate


class TestRealSamples:
    @pytest.mark.parametrize("width,height", [(640, 480), (642, 480), (643, 481)])
    @pytest.mark.parametrize("pattern", ["smpte", "red", "white", "ball"])
    def test_matches_the_picture(self, convert, pattern, width, height):
        source = f"videotestsrc pattern={pattern}"
        sample = pull_sample(source, "BGR", width, height)
        if width * 3 % 4:
            # GStreamer pads these rows to a multiple of 4 bytes.
            assert sample.get_buffer().get_size() == height * ((width * 3 + 3) // 4 * 4)

        frame = convert(sample)

        assert frame.shape == (height, width, 3)
        assert frame.dtype == np.uint8
        np.testing.assert_array_equal(frame, expected_picture(source, width, height))

    def test_channel_order_is_blue_green_red(self, convert):
        sample = pull_sample("videotestsrc pattern=solid-color foreground-color=0xff102030", "BGR", 642, 4)
        frame = convert(sample)
        assert (frame == np.array([0x30, 0x20, 0x10], np.uint8)).all()

    def test_array_is_read_only_and_owns_its_pixels(self):
        frame = sample_to_ndarray(pull_sample("videotestsrc", "BGR", 64, 48))
        assert frame.flags.writeable is False
        assert frame.flags.owndata and frame.base is None
        with pytest.raises(ValueError, match="^assignment destination is read-only$"):
            frame[0, 0, 0] = 1
        with pytest.raises(ValueError, match="^assignment destination is read-only$"):
            frame[:] = 0

    def test_array_outlives_its_sample_and_buffer(self, convert):
        source = "videotestsrc pattern=smpte"
        sample = pull_sample(source, "BGR", 642, 480)
        frame = convert(sample)
        del sample
        gc.collect()
        # Fresh allocations of the same size would reuse freed pixel memory.
        _ = [pull_sample("videotestsrc pattern=black", "BGR", 642, 480) for _ in range(3)]
        np.testing.assert_array_equal(frame, expected_picture(source, 642, 480))


class TestRefusedFormats:
    @pytest.mark.parametrize("fmt", ["RGB", "bgr", None])
    def test_refused_with_buffer_unmapped(self, convert, fmt):
        caps = "video/x-raw,width=4,height=2" + (f",format=(string){fmt}" if fmt else "")
        sample = hand_made(caps, bytes(24))
        buffer = sample.get_buffer()
        unmapped = memory_lock_state(buffer)
        ok, info = buffer.map(Gst.MapFlags.READ)
        assert memory_lock_state(buffer) != unmapped  # the check can see a pending mapping
        buffer.unmap(info)

        with pytest.raises(SampleConversionError) as raised:
            convert(sample)

        assert raised.value.args == (f"Received a frame with an unsupported color format: {fmt}",)
        assert memory_lock_state(buffer) == unmapped

    def test_failed_conversion_leaves_buffer_unmapped(self, convert):
        sample = hand_made(bgr_caps(4, 3), bytes(24))
        buffer = sample.get_buffer()
        unmapped = memory_lock_state(buffer)
        with pytest.raises(TypeError) as raised:
            convert(sample)
        assert raised.value.args == (TOO_SMALL,)
        assert memory_lock_state(buffer) == unmapped

    def test_real_rgb_sample_refused(self, convert):
        with pytest.raises(SampleConversionError) as raised:
            convert(pull_sample("videotestsrc", "RGB", 64, 48))
        assert raised.value.args == ("Received a frame with an unsupported color format: RGB",)


class TestHandMadeSamples:
    @pytest.mark.parametrize(
        "caps,message",
        [
            ("video/x-raw,format=BGR", "Sample caps structure does not have width"),
            ("video/x-raw,format=BGR,height=2", "Sample caps structure does not have width"),
            ("video/x-raw,format=BGR,width=4", "Sample caps structure does not have height"),
            ("video/x-raw,format=BGR,width=(string)4,height=2", "Sample caps structure does not have width"),
        ],
    )
    def test_missing_size(self, convert, caps, message):
        with pytest.raises(SampleConversionError) as raised:
            convert(hand_made(caps, bytes(24)))
        assert raised.value.args == (message,)

    @pytest.mark.parametrize(
        "width,height,size,error,message",
        [
            (4, 3, 24, TypeError, TOO_SMALL),  # unpadded rows, one row short
            (5, 2, 29, TypeError, TOO_SMALL),  # one byte short even of packed rows
            (2**31 - 1, 2**31 - 1, 64, TypeError, TOO_SMALL),
            (2**31 - 1, 1, 64, TypeError, TOO_SMALL),
            (1, 2**31 - 1, 64, TypeError, TOO_SMALL),
            (2**30, 2**31 - 1, 64, TypeError, TOO_SMALL),
            (-1, 2, 64, ValueError, NEGATIVE),
            (3, -2, 64, ValueError, NEGATIVE),
            (-(2**31), -(2**31), 64, ValueError, NEGATIVE),
        ],
    )
    def test_bad_sizes_raise(self, convert, width, height, size, error, message):
        with pytest.raises(error) as raised:
            convert(hand_made(bgr_caps(width, height), bytes(size)))
        assert raised.value.args == (message,)

    @pytest.mark.parametrize("width", [4, 5])
    def test_empty_buffer_raises(self, convert, width):
        # An empty mapping has no memory at all behind it.
        sample = Gst.Sample.new(Gst.Buffer.new(), Gst.Caps.from_string(bgr_caps(width, 2)), None, None)
        with pytest.raises(TypeError) as raised:
            convert(sample)
        assert raised.value.args == (TOO_SMALL,)

    def test_zero_sized_frame(self, convert):
        frame = convert(hand_made(bgr_caps(0, 2), bytes(4)))
        assert frame.shape == (2, 0, 3)

    def test_tightly_packed_rows(self, convert):
        # 5 pixels make 15-byte rows; a buffer of exactly 2 such rows holds them packed.
        data = bytes(range(30))
        frame = convert(hand_made(bgr_caps(5, 2), data))
        np.testing.assert_array_equal(frame, np.frombuffer(data, np.uint8).reshape(2, 5, 3))

    def test_default_padded_rows(self, convert):
        data = bytes(range(32))  # rows of 15 bytes padded to 16
        frame = convert(hand_made(bgr_caps(5, 2), data))
        rows = np.frombuffer(data, np.uint8).reshape(2, 16)[:, :15]
        np.testing.assert_array_equal(frame, rows.reshape(2, 5, 3))

    def test_longer_buffer_of_unpadded_rows(self, convert):
        data = bytes(range(40))
        frame = convert(hand_made(bgr_caps(4, 2), data))
        np.testing.assert_array_equal(frame, np.frombuffer(data[:24], np.uint8).reshape(2, 4, 3))

    def test_video_meta_stride_and_offset(self, convert):
        data = bytes(range(100))
        buffer = Gst.Buffer.new_wrapped(data)
        GstVideo.buffer_add_video_meta_full(
            buffer,
            GstVideo.VideoFrameFlags.NONE,
            GstVideo.VideoFormat.BGR,
            4,
            2,
            1,
            [8, 0, 0, 0],
            [40, 0, 0, 0],
        )
        sample = Gst.Sample.new(buffer, Gst.Caps.from_string(bgr_caps(4, 2)), None, None)

        frame = convert(sample)

        raw = np.frombuffer(data, np.uint8)
        expected = np.stack([raw[8:20], raw[48:60]]).reshape(2, 4, 3)
        np.testing.assert_array_equal(frame, expected)

    @pytest.mark.parametrize(
        "size,offset,stride",
        [(100, 90, 12), (100, 0, 90), (100, 2**62, 12), (100, 0, -12), (0, 0, 12), (0, 0, 16)],
    )
    def test_video_meta_past_the_buffer_raises(self, convert, size, offset, stride):
        buffer = Gst.Buffer.new_wrapped(bytes(size)) if size else Gst.Buffer.new()
        GstVideo.buffer_add_video_meta_full(
            buffer,
            GstVideo.VideoFrameFlags.NONE,
            GstVideo.VideoFormat.BGR,
            4,
            2,
            1,
            [offset, 0, 0, 0],
            [stride, 0, 0, 0],
        )
        sample = Gst.Sample.new(buffer, Gst.Caps.from_string(bgr_caps(4, 2)), None, None)
        with pytest.raises(TypeError) as raised:
            convert(sample)
        assert raised.value.args == (TOO_SMALL,)


def address(frame: np.ndarray) -> int:
    return frame.__array_interface__["data"][0]


class TestZeroCopy:
    def test_holds_the_mapping_while_any_view_lives(self):
        sample = pull_sample("videotestsrc pattern=smpte", "BGR", 642, 480)
        buffer = sample.get_buffer()
        unmapped, references = memory_lock_state(buffer), buffer.mini_object.refcount
        copied = sample_to_ndarray(sample)

        frame = sample_as_ndarray(sample)

        np.testing.assert_array_equal(frame, copied)
        assert frame.flags.writeable is False and not frame.flags.owndata
        with pytest.raises(ValueError, match="^assignment destination is read-only$"):
            frame[0, 0, 0] = 1
        for array in (frame, frame[1:, ::2]):
            with pytest.raises(ValueError):
                array.flags.writeable = True
        del array
        with pytest.raises(TypeError):
            type(frame.base)()
        assert memory_lock_state(buffer) != unmapped
        assert buffer.mini_object.refcount == references + 1
        views = [frame[10:20], np.asarray(frame)[::-1], frame.reshape(-1)]
        del frame
        gc.collect()
        assert memory_lock_state(buffer) != unmapped
        np.testing.assert_array_equal(views[1][::-1], copied)
        del views
        gc.collect()
        # Released exactly once: a second unmap would unbalance the lock state.
        assert memory_lock_state(buffer) == unmapped
        assert buffer.mini_object.refcount == references

    def test_valid_after_sample_buffer_and_pipeline_are_gone(self):
        pipeline = Gst.parse_launch(
            "videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,format=BGR,width=643,height=481 "
            "! appsink name=sink"
        )
        pipeline.set_state(Gst.State.PLAYING)
        sample = pipeline.get_by_name("sink").try_pull_sample(10 * Gst.SECOND)
        frame = sample_as_ndarray(sample)
        gone = [weakref.ref(obj) for obj in (sample, sample.get_buffer(), pipeline)]
        pipeline.set_state(Gst.State.NULL)
        del sample, pipeline
        gc.collect()
        assert [ref() for ref in gone] == [None, None, None]
        # Fresh allocations of the same size would reuse freed pixel memory.
        _ = [pull_sample("videotestsrc pattern=black", "BGR", 643, 481) for _ in range(3)]
        np.testing.assert_array_equal(frame, expected_picture("videotestsrc pattern=smpte", 643, 481))

    def test_held_frames_never_change_while_the_pool_recycles(self):
        pipeline = Gst.parse_launch(
            "videotestsrc num-buffers=240 pattern=ball ! video/x-raw,format=BGR,width=322,height=240 "
            "! appsink name=sink sync=false max-buffers=2"
        )
        sink = pipeline.get_by_name("sink")
        pipeline.set_state(Gst.State.PLAYING)
        held, dropped = [], set()
        try:
            for index in range(240):
                sample = sink.try_pull_sample(10 * Gst.SECOND)
                assert sample is not None
                frame = sample_as_ndarray(sample)
                # A held frame's memory is never handed out again while it is held.
                assert address(frame) not in {address(kept) for kept, _ in held}
                if index % 20 == 0:
                    held.append((frame, frame.copy()))
                else:
                    dropped.add(address(frame))
        finally:
            pipeline.set_state(Gst.State.NULL)
        # Dropped frames went back to the pool, which handed them out again.
        assert len(dropped) < 20
        for kept, copy in held:
            np.testing.assert_array_equal(kept, copy)
        assert not np.array_equal(held[0][1], held[1][1])  # the pictures moved

    def test_released_from_another_thread(self):
        sample = pull_sample("videotestsrc", "BGR", 64, 48)
        buffer = sample.get_buffer()
        unmapped = memory_lock_state(buffer)
        frames = [sample_as_ndarray(sample)]
        assert memory_lock_state(buffer) != unmapped
        worker = threading.Thread(target=frames.clear)
        worker.start()
        worker.join(10)
        assert memory_lock_state(buffer) == unmapped

    def test_frames_held_at_interpreter_exit(self):
        # Frames still held when the interpreter shuts down (in module globals, in a reference
        # cycle, from a pipeline still playing) must not crash it or report errors.
        script = textwrap.dedent(
            """
            from vantle.utils.gstreamer import Gst, sample_as_ndarray

            pipeline = Gst.parse_launch(
                "videotestsrc is-live=true ! video/x-raw,format=BGR,width=64,height=48 ! appsink name=sink"
            )
            pipeline.set_state(Gst.State.PLAYING)
            sink = pipeline.get_by_name("sink")
            held = [sample_as_ndarray(sink.try_pull_sample(10 * Gst.SECOND)) for _ in range(3)]
            cycle = [held[0][1:]]
            cycle.append(cycle)
            print(int(held[2].sum() > 0))
            """
        )
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
        assert (done.returncode, done.stdout, done.stderr) == (0, "1\n", "")


class TestFramerate:
    @pytest.mark.parametrize(
        "value,expected", [("30/1", 30.0), ("30000/1001", 30000 / 1001), ("0/1", 0.0), ("25/2", 12.5)]
    )
    def test_fraction(self, value, expected):
        structure = Gst.Caps.from_string(f"video/x-raw,framerate={value}").get_structure(0)
        rate = framerate_from_structure(structure)
        assert type(rate) is float
        assert rate == expected

    @pytest.mark.parametrize(
        "caps", ["video/x-raw", "video/x-raw,framerate={30/1,25/1}", "video/x-raw,framerate=[0/1,30/1]"]
    )
    def test_not_one_fraction(self, caps):
        with pytest.raises(RuntimeError) as raised:
            framerate_from_structure(structure=Gst.Caps.from_string(caps).get_structure(0))
        assert raised.value.args == (
            "Unsupported framerate format. This should have been taken care of by normalize",
        )
