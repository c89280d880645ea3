"""Bus watches, pad probes and signal handlers of a Pipeline, and their release."""

import gc
import sys
import threading
import time
import weakref

import gi
import pytest

gi.require_version("Gst", "1.0")
from gi.repository import GLib, GObject, Gst  # noqa: E402

from vantle.utils import gstreamer  # noqa: E402
from vantle.utils.gstreamer import Pipeline  # noqa: E402

pytestmark = pytest.mark.timeout(60)


def wait_for(condition, seconds=10.0, step=None):
    """Polls `condition` (running `step` between polls) until it holds or `seconds` pass."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        if step is not None:
            step()
        time.sleep(0.005)


class Counter:
    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def __len__(self):
        with self.lock:
            return len(self.calls)

    def record(self, *args):
        with self.lock:
            self.calls.append(args)


@pytest.fixture
def playing():
    pipeline = Pipeline.from_launch_string(
        "videotestsrc name=src ! video/x-raw,width=64,height=48,framerate=200/1 "
        "! appsink name=sink emit-signals=true sync=true max-buffers=1 drop=true",
        "lifecycle",
    )
    yield pipeline
    pipeline.set_state(Gst.State.NULL)
    pipeline.release_resources()


def post_application_message(pipeline, name):
    pipeline.post_message(Gst.Message.new_application(pipeline, Gst.Structure.new_empty(name)))


def application_names(counter):
    return [
        m.get_structure().get_name() for _, m, *_ in counter.calls if m.type == Gst.MessageType.APPLICATION
    ]


class TestRealRegistrations:
    def test_register_then_release_on_a_playing_pipeline(self, playing, context):
        src_pad = playing.get_by_name("src").get_static_pad("src")
        sink = playing.get_by_name("sink")
        probe_calls, samples, messages = Counter(), Counter(), Counter()

        def probe(pad, info, tag):
            probe_calls.record(pad, info.get_buffer() is not None, tag)
            return Gst.PadProbeReturn.OK

        def on_sample(element, tag):
            samples.record(element, tag)
            return Gst.FlowReturn.OK

        def on_message(bus, message, tag):
            messages.record(bus, message, tag)
            return True

        assert playing.add_bus_watch(on_message, "watch-tag") is None
        assert playing.add_pad_probe(src_pad, Gst.PadProbeType.BUFFER, probe, "probe-tag") is None
        assert playing.connect_signal_handler(sink, "new-sample", on_sample, "signal-tag") is None
        assert len(playing.destructors) == 3

        playing.set_state(Gst.State.PLAYING)
        post_application_message(playing, "first")
        wait_for(lambda: len(probe_calls) >= 3 and len(samples) >= 3)
        wait_for(lambda: "first" in application_names(messages), step=lambda: context.iteration(False))
        assert probe_calls.calls[0] == (src_pad, True, "probe-tag")
        assert samples.calls[0] == (sink, "signal-tag")
        assert messages.calls[0][0] == playing.get_bus() and messages.calls[0][2] == "watch-tag"

        playing.release_resources()
        assert playing.destructors == []

        # Buffers keep flowing (seen by a probe of our own) while the released ones stay silent.
        flowing = Counter()
        own_probe = src_pad.add_probe(
            Gst.PadProbeType.BUFFER, lambda *a: flowing.record() or Gst.PadProbeReturn.OK
        )
        try:
            wait_for(lambda: len(flowing) >= 2)
            probes_seen, samples_seen = len(probe_calls), len(samples)
            wait_for(lambda: len(flowing) >= 8)
        finally:
            src_pad.remove_probe(own_probe)
        assert (len(probe_calls), len(samples)) == (probes_seen, samples_seen)

        signal_id = GObject.signal_lookup("new-sample", sink)
        assert not GObject.signal_has_handler_pending(sink, signal_id, 0, True)

        post_application_message(playing, "second")
        for _ in range(20):
            context.iteration(False)
        assert "second" not in application_names(messages)
        # GStreamer takes a new watch only on a bus that has none.
        bus = playing.get_bus()
        assert bus.add_watch(GLib.PRIORITY_DEFAULT, lambda *a: True) != 0
        bus.remove_watch()

    def test_failed_registration_appends_nothing(self):
        pipeline = Pipeline("failing")
        sink = Gst.ElementFactory.make("appsink")
        with pytest.raises(TypeError) as raised:
            pipeline.connect_signal_handler(sink, "no-such-signal", lambda *a: None)
        assert raised.value.args == (f"{sink}: unknown signal name: no-such-signal",)
        assert pipeline.destructors == []
        with pytest.raises(TypeError) as raised:
            pipeline.connect_signal_handler(sink, 5, lambda *a: None)
        assert raised.value.args == ("Argument 'signal' has incorrect type (expected str, got int)",)
        assert pipeline.destructors == []


class Recorder:
    """Records every method call made on it into `log`; `returns` gives results by method name."""

    def __init__(self, log, **returns):
        self.log, self.returns = log, returns

    def __getattr__(self, name):
        def method(*args):
            self.log.append((name, *args))
            return self.returns.get(name)

        return method


class TestReleaseOrder:
    def test_calls_made_and_undone_first_in_first_out(self, monkeypatch):
        log = []
        pipeline = Pipeline("order")
        bus, pad, element = Recorder(log), Recorder(log, add_probe=42), Recorder(log, connect=43)
        pipeline.get_bus = lambda: bus
        monkeypatch.setattr(gstreamer, "GObject", Recorder(log))

        def cb(*args):
            return None

        pipeline.add_bus_watch(cb)
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, cb, 1, 2)
        pipeline.connect_signal_handler(element, None, cb, "x")
        assert log == [
            ("add_watch", GLib.PRIORITY_DEFAULT, cb),
            ("add_probe", Gst.PadProbeType.BUFFER, cb, 1, 2),
            ("connect", None, cb, "x"),
        ]
        del log[:]

        assert pipeline.release_resources() is None
        assert log == [("remove_watch",), ("remove_probe", 42), ("signal_handler_disconnect", element, 43)]

        pipeline.release_resources()
        assert len(log) == 3 and pipeline.destructors == []

    def test_raising_destructor_leaves_the_rest_queued(self):
        pipeline = Pipeline("raising")
        ran = []

        def boom():
            ran.append("boom")
            raise LookupError("release failed")

        pipeline.destructors.extend([lambda: ran.append("first"), boom, lambda: ran.append("third")])
        with pytest.raises(LookupError) as raised:
            pipeline.release_resources()
        assert raised.value.args == ("release failed",)
        assert ran == ["first", "boom"] and len(pipeline.destructors) == 1

        pipeline.release_resources()
        assert ran == ["first", "boom", "third"] and pipeline.destructors == []

    def test_destructors_added_during_release_run_in_the_same_call(self):
        pipeline = Pipeline("growing")
        ran = []

        def first():
            ran.append("first")
            pipeline.destructors.append(lambda: ran.append("added"))

        pipeline.destructors.extend([first, lambda: ran.append("second")])
        pipeline.release_resources()
        assert ran == ["first", "second", "added"] and pipeline.destructors == []


class TestCollection:
    def test_collected_pipeline_releases_what_it_registered(self):
        pipeline = Pipeline("collected")
        bus = pipeline.get_bus()
        sink = Gst.ElementFactory.make("appsink")
        signal_id = GObject.signal_lookup("new-sample", sink)
        ran = []
        pipeline.add_bus_watch(lambda *a: True)  # its destructor holds the pipeline: a cycle
        pipeline.connect_signal_handler(sink, "new-sample", lambda *a: Gst.FlowReturn.OK)
        pipeline.destructors.append(
            lambda: ran.append(GObject.signal_has_handler_pending(sink, signal_id, 0, True))
        )
        assert GObject.signal_has_handler_pending(sink, signal_id, 0, True)
        alive = weakref.ref(pipeline)

        del pipeline
        gc.collect()

        assert alive() is None
        assert ran == [False]  # run last, after the handler was disconnected
        assert bus.add_watch(GLib.PRIORITY_DEFAULT, lambda *a: True) != 0
        bus.remove_watch()

    @pytest.mark.parametrize(
        "args,kwargs,message",
        [
            ((5,), {}, "Argument 'name' has incorrect type (expected str, got int)"),
            ((), {"name": b"x"}, "Argument 'name' has incorrect type (expected str, got bytes)"),
        ],
    )
    def test_refused_initialiser_is_collected_quietly(self, monkeypatch, capfd, args, kwargs, message):
        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        with pytest.raises(TypeError) as raised:
            Pipeline(*args, **kwargs)
        assert raised.value.args == (message,)
        del raised
        gc.collect()
        assert unraisable == []
        assert "Exception ignored" not in capfd.readouterr().err
