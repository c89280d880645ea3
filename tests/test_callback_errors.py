"""Callbacks that raise: a bus watch, a pad probe and a signal handler registered through a
Pipeline, and the factory base's own streaming-thread callbacks. None of them takes the process
down, and release_resources still gives back everything that was registered.

What PyGObject does with the exception, found out here: it prints the traceback and hands
GStreamer a zeroed return value. For a bus watch that is FALSE, so the watch is removed after its
first call; for a pad probe it is GST_PAD_PROBE_DROP, so the probe stays and every buffer it sees
is dropped while the stream goes on to its end; a signal handler's result is ignored, so it stays
connected and the stream goes on."""

import contextlib
import gc
import subprocess
import sys
import time
import weakref

import gi
import pytest

gi.require_version("Gst", "1.0")
from gi.repository import GLib, GObject, Gst  # noqa: E402

from vantle.errors import StreamSetupError  # noqa: E402
from vantle.pipeline_factories import decoding  # noqa: E402
from vantle.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from vantle.stream_reader.reader import StreamReader  # noqa: E402
from vantle.utils.gstreamer import Pipeline  # noqa: E402

pytestmark = pytest.mark.timeout(60)

BUFFERS = 5
STREAM_FAILED = "GStreamer encountered a general stream error."


class Calls:
    """A callback that counts its calls and raises `error` (or returns `result`)."""

    def __init__(self, error=None, result=None):
        self.count, self.error, self.result = 0, error, result

    def __call__(self, *args):
        self.count += 1
        if self.error is not None:
            raise self.error
        return self.result


@contextlib.contextmanager
def thread_default(context):
    """`context` as the thread-default main context, where bus watches made meanwhile attach."""
    context.push_thread_default()
    try:
        yield
    finally:
        context.pop_thread_default()


def iterate(context, until=None, seconds=0.3):
    """Dispatches the context's sources for `seconds`, or until `until()` holds (then at most 10 s)."""
    deadline = time.monotonic() + (10 if until is not None else seconds)
    while time.monotonic() < deadline and not (until is not None and until()):
        context.iteration(False)
        time.sleep(0.01)


def post(pipeline, name):
    pipeline.post_message(Gst.Message.new_application(pipeline, Gst.Structure.new_empty(name)))


def run_to_end(pipeline):
    """Plays the pipeline to its end of stream (an error would show as the message's type)."""
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(
        10 * Gst.SECOND, Gst.MessageType.ERROR | Gst.MessageType.EOS
    )
    pipeline.set_state(Gst.State.NULL)
    assert message is not None and message.type == Gst.MessageType.EOS


class TestRaisingCallbacks:
    def test_bus_watch_is_removed_after_it_raises(self, capfd):
        context = GLib.MainContext.new()
        pipeline = Pipeline.from_launch_string(f"videotestsrc num-buffers={BUFFERS} ! fakesink", "watched")
        watch = Calls(RuntimeError("watch failed"))
        with thread_default(context):
            pipeline.add_bus_watch(watch, pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        iterate(context, until=lambda: watch.count)
        iterate(context)  # the stream's further messages
        post(pipeline, "more")
        iterate(context)
        pipeline.set_state(Gst.State.NULL)
        assert watch.count == 1
        assert capfd.readouterr().err.count("RuntimeError: watch failed") == 1

        # Its destructor still runs (removing nothing), and the bus takes a new watch afterwards
        # (in READY, where the bus carries messages again).
        pipeline.release_resources()
        assert pipeline.destructors == []
        pipeline.set_state(Gst.State.READY)
        second = Calls(result=True)
        with thread_default(context):
            pipeline.add_bus_watch(second)
        post(pipeline, "again")
        iterate(context, until=lambda: second.count)
        assert second.count == 1
        pipeline.release_resources()
        post(pipeline, "after")
        iterate(context)
        assert second.count == 1
        pipeline.set_state(Gst.State.NULL)

    def test_pad_probe_that_raises_drops_every_buffer(self, capfd):
        pipeline = Pipeline.from_launch_string(
            f"videotestsrc num-buffers={BUFFERS} ! identity name=probed "
            "! fakesink name=sink signal-handoffs=true",
            "probed",
        )
        probe, received = Calls(RuntimeError("probe failed")), Calls()
        pipeline.add_pad_probe(
            pipeline.get_by_name("probed").get_static_pad("src"), Gst.PadProbeType.BUFFER, probe
        )
        sink = pipeline.get_by_name("sink")
        handler = sink.connect("handoff", received)
        run_to_end(pipeline)  # the stream still reaches its end: no error
        assert (probe.count, received.count) == (BUFFERS, 0)
        assert capfd.readouterr().err.count("RuntimeError: probe failed") == BUFFERS

        pipeline.release_resources()
        assert pipeline.destructors == []
        run_to_end(pipeline)  # the probe is gone: the buffers reach the sink
        assert (probe.count, received.count) == (BUFFERS, BUFFERS)
        sink.disconnect(handler)

    def test_signal_handler_that_raises_stays_connected(self, capfd):
        pipeline = Pipeline.from_launch_string(
            f"videotestsrc num-buffers={BUFFERS} ! fakesink name=sink signal-handoffs=true", "signalled"
        )
        sink = pipeline.get_by_name("sink")
        handler = Calls(ValueError("handler failed"))
        pipeline.connect_signal_handler(sink, "handoff", handler)
        run_to_end(pipeline)
        assert handler.count == BUFFERS
        assert capfd.readouterr().err.count("ValueError: handler failed") == BUFFERS

        handoff = GObject.signal_lookup("handoff", type(sink))
        assert GObject.signal_has_handler_pending(sink, handoff, 0, True)
        pipeline.release_resources()
        assert pipeline.destructors == []
        assert not GObject.signal_has_handler_pending(sink, handoff, 0, True)

    def test_process_survives_and_exits_normally(self):
        script = f"""
import gi
gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst
from vantle.utils.gstreamer import Pipeline

def fail(*args):
    raise RuntimeError("callback failed")

context = GLib.MainContext.new()
context.push_thread_default()
pipeline = Pipeline.from_launch_string(
    "videotestsrc num-buffers={BUFFERS} ! identity name=i ! fakesink name=s signal-handoffs=true", "p")
pipeline.add_bus_watch(fail)
pipeline.add_pad_probe(pipeline.get_by_name("i").get_static_pad("src"), Gst.PadProbeType.BUFFER, fail)
pipeline.connect_signal_handler(pipeline.get_by_name("s"), "handoff", fail)
context.pop_thread_default()
pipeline.set_state(Gst.State.PLAYING)
message = pipeline.get_bus().timed_pop_filtered(10 * Gst.SECOND, Gst.MessageType.ERROR | Gst.MessageType.EOS)
while context.iteration(False):
    pass
pipeline.set_state(Gst.State.NULL)
pipeline.release_resources()
print("survived", message.type == Gst.MessageType.EOS, len(pipeline.destructors))
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
        assert (done.returncode, done.stdout) == (0, "survived True 0\n")
        assert done.stderr.count("RuntimeError: callback failed") >= 3


# ----- the factory base's streaming-thread callbacks -----


def fail(*args):
    raise RuntimeError("set-up refused")


# Each breaks one of the base's callbacks (module names replaced, and the text posted): the
# parsed pad's handler (pad-added, a signal), the decoder link (from that handler or the caps
# probe) and the converter link (a probe on the decoder's pad).
BREAKS = {
    "parsed pad": ({"_is_video": fail}, "RuntimeError: set-up refused"),
    "decoder": ({"_find_decoder": fail}, "RuntimeError: set-up refused"),
    "converter": (
        {"_CONVERTER_AVAILABLE": True, "gst_plugins": None},
        "AttributeError: 'NoneType' object has no attribute 'CONVERTER_INPUT_FORMATS'",
    ),
}


@pytest.mark.network
@pytest.mark.parametrize("where", BREAKS)
class TestFactoryBaseCallbacks:
    @pytest.fixture
    def url(self, where, media_url, monkeypatch):
        for name, value in BREAKS[where][0].items():
            monkeypatch.setattr(decoding, name, value)
        return media_url("h264_mp4")

    def test_failure_reaches_wait_until_playing(self, where, url):
        with thread_default(GLib.MainContext.new()):
            pipeline = HTTPPipelineFactory(
                url=url, pipeline_watcher=Calls(result=True), keyframes_only=False
            ).build()
        errors = []  # the debug texts of the errors, which the wait does not keep

        def record(bus, message):
            if message.type == Gst.MessageType.ERROR:
                errors.append(message.parse_error()[1])
            return Gst.BusSyncReply.PASS

        pipeline.get_bus().set_sync_handler(record)
        try:
            with pytest.raises(StreamSetupError) as raised:
                pipeline.wait_until_playing(10)
            assert raised.value.args == (STREAM_FAILED,)
            assert errors[0].endswith(f":\nDecoder set-up failed: {BREAKS[where][1]}")
        finally:
            pipeline.set_state(Gst.State.NULL)
            pipeline.wait_until_null(5)
            pipeline.get_bus().set_sync_handler(None)
            pipeline.release_resources()
        assert pipeline.destructors == []
        collected = weakref.ref(pipeline)
        del pipeline
        gc.collect()
        assert collected() is None

    def test_failure_reaches_the_reader(self, where, url):
        reader = StreamReader(url, timeout=10)
        with pytest.raises(StreamSetupError) as raised:
            reader.open()
        error = raised.value
        assert (error.kind, error.gst_message) == ("stream", STREAM_FAILED)
        assert error.gst_debug.endswith(f":\nDecoder set-up failed: {BREAKS[where][1]}")
        assert f"Decoder set-up failed: {BREAKS[where][1]}" in str(error)
        assert reader.pipeline is None
