"""The two pipeline factories and the decoder set-up of their base, end to end over real HTTP:
every container and codec of the catalogue, the live camera stream, keyframes only, the frame-rate
limit, failing servers, the rules of custom launch strings, and what a pipeline gives back at
release."""

from __future__ import annotations

import gc
import logging
import subprocess
import threading
import time
import weakref

import gi
import pytest
from support.media import GST_LAUNCH, picture_difference

gi.require_version("Gst", "1.0")
from gi.repository import GObject, Gst  # noqa: E402

from vantle import gst_plugins  # noqa: E402
from vantle.errors import InvalidCustomPipelineError, StreamSetupError  # noqa: E402
from vantle.pipeline_factories import http as http_module  # noqa: E402
from vantle.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from vantle.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from vantle.utils.gstreamer import Pipeline, sample_to_ndarray  # noqa: E402

pytestmark = pytest.mark.timeout(90)

DECODEBIN = (
    "souphttpsrc location={url} ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"
)
PARSER_PROBE = (
    "souphttpsrc location={url} ! qtdemux ! h264parse name=buffer_src ! avdec_h264 "
    "! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"
)
NO_BUFFER_SRC = (
    "Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will not be skipped"
)
# Largest colour difference (8-bit levels, per cell mean) from the pictures videoconvert draws:
# compression loss, plus up to ~6 levels by which videoconvert's own limited-range arithmetic
# differs from vantleconvert's. A wrong size, channel order or picture is off by far more.
TOLERANCE = 12
PLAY_BUDGET = 10
FAULT_BUDGET = 3


def keep(bus, message, pipeline):
    return True


def factory_for(kind, url, keyframes_only=False, watcher=keep, launch=DECODEBIN, drop_frames=False):
    """A factory whose appsink keeps every frame (drop_frames=False), unless asked otherwise."""
    common = {
        "url": url,
        "pipeline_watcher": watcher,
        "keyframes_only": keyframes_only,
        "drop_frames": drop_frames,
    }
    if kind == "http":
        return HTTPPipelineFactory(**common)
    return CustomPipelineFactory(launch, **common)


def pull_all(pipeline, idle=5.0):
    """Pulls frames until the end of the stream: (count, first, last, presentation times)."""
    count, first, last, times = 0, None, None, []
    while True:
        sample = pipeline.appsink.try_pull_sample(int(idle * Gst.SECOND))
        if sample is None:
            assert pipeline.appsink.get_property("eos"), f"no frame for {idle} s after {count}"
            return count, first, last, times
        frame = sample_to_ndarray(sample)
        first = frame if first is None else first
        last, count = frame, count + 1
        times.append(sample.get_buffer().pts)


def stop(pipeline):
    pipeline.set_state(Gst.State.NULL)
    pipeline.wait_until_null(5)
    pipeline.release_resources()


def dispatch(context, until, seconds=10.0):
    """Iterates `context` (where the bus watches live) until `until()` holds."""
    deadline = time.monotonic() + seconds
    while not until():
        assert time.monotonic() < deadline, "the watcher was not called in time"
        if not context.iteration(False):
            time.sleep(0.01)


def count_posted(pipeline, message_type):
    """Counts the messages of a type posted on the pipeline's bus from now on, whoever takes them
    off the bus; the returned function gives the count and stops counting."""
    bus, posted = pipeline.get_bus(), []
    bus.enable_sync_message_emission()
    handler = bus.connect(f"sync-message::{message_type}", lambda bus, message: posted.append(None))

    def stop_counting():
        bus.disconnect(handler)
        bus.disable_sync_message_emission()
        return len(posted)

    return stop_counting


class Recorder:
    """Wraps Pipeline's registration methods and add for one test. It records every watch,
    probe and handler a build registers, keeps weak references to the objects handed to GStreamer
    with them, and puts buffer counters on the sink pads of decoders and converters as soon as they
    exist, before data reaches them."""

    WRAPPED = ("add_bus_watch", "add_pad_probe", "connect_signal_handler", "add")

    def __init__(self, monkeypatch):
        self.lock = threading.Lock()
        self.watches = 0
        self.probes = []  # (factory name of the pad's element, callback name)
        self.python_buffer_probes = []  # names of probes on buffers that would run Python per buffer
        self.handlers = []  # (weak reference to the element, signal)
        self.handed_over = []  # weak references to what GStreamer holds for our callbacks
        self.counts = {"decoder": 0, "converter": 0}
        self.released = []  # weak references to the pipelines checked by assert_released
        self._counted = set()
        original = {name: getattr(Pipeline, name) for name in self.WRAPPED}

        def add_bus_watch(pipeline, callback, *args):
            # A launch string's decoders exist from the start, before the pipeline plays.
            for element in pipeline.iterate_recurse():
                self._count_decoder(element)
            with self.lock:
                self.watches += 1
            return original["add_bus_watch"](pipeline, callback, *args)

        def add_pad_probe(pipeline, pad, probe_type, callback, *args):
            # The decoder set-up probes its decoder's src pad before linking the decoder.
            element = pad.get_parent_element()
            self._count_decoder(element)
            self._hand_over(callback, args)
            with self.lock:
                self.probes.append((element.get_factory().get_name(), callback.__name__))
                per_buffer = probe_type & (Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST)
                if per_buffer and not hasattr(callback, "attach_to_pad"):
                    self.python_buffer_probes.append(callback.__name__)
            return original["add_pad_probe"](pipeline, pad, probe_type, callback, *args)

        def connect_signal_handler(pipeline, element, signal, callback, *args):
            self._hand_over(callback, args)
            with self.lock:
                self.handlers.append((weakref.ref(element), signal))
            return original["connect_signal_handler"](pipeline, element, signal, callback, *args)

        def add(pipeline, element):
            added = original["add"](pipeline, element)
            factory = element.get_factory()
            if factory is not None and factory.get_name() in (gst_plugins.CONVERTER_FACTORY, "videoconvert"):
                self._count(element, "converter")
            return added

        for name in self.WRAPPED:
            monkeypatch.setattr(Pipeline, name, locals()[name])

    def _hand_over(self, callback, args):
        owners = [getattr(callback, "__self__", None), *args]
        with self.lock:
            self.handed_over += [weakref.ref(o) for o in owners if o is not None]

    def _count_decoder(self, element):
        factory = element.get_factory()
        if factory is not None and "Decoder" in factory.get_klass():
            self._count(element, "decoder")

    def _count(self, element, role):
        with self.lock:
            if element.get_name() in self._counted:
                return
            self._counted.add(element.get_name())

        def count(pad, info):
            with self.lock:
                self.counts[role] += 1
            return Gst.PadProbeReturn.OK

        element.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, count)

    def probes_on(self, factory_name):
        return [name for owner, name in self.probes if owner == factory_name]

    def handlers_pending(self):
        """For each handler: is it still connected? (An element that is gone holds none.)"""
        pending = []
        for ref, signal in self.handlers:
            element = ref()
            pending.append(
                element is not None
                and GObject.signal_has_handler_pending(
                    element, GObject.signal_lookup(signal, element.__gtype__), 0, True
                )
            )
        return pending

    def assert_released(self, pipeline):
        """After release_resources (the pipeline itself still alive): no watch on its bus, no handler
        connected, and nothing that a probe or handler carried is kept alive by GStreamer."""
        assert pipeline.destructors == []
        assert pipeline.get_bus().remove_watch() is False
        assert self.handlers_pending() == [False] * len(self.handlers)
        gc.collect()
        assert [ref() for ref in self.handed_over] == [None] * len(self.handed_over)
        self.released.append(weakref.ref(pipeline))


@pytest.fixture
def recorder(monkeypatch):
    recorder = Recorder(monkeypatch)
    yield recorder
    # Once the test has let go of them, released pipelines are collected: no watch, probe or
    # handler holds them from GStreamer's side.
    gc.collect()
    assert [ref() for ref in recorder.released] == [None] * len(recorder.released)


@pytest.mark.network
class TestEndToEnd:
    @pytest.mark.parametrize("kind", ["http", "custom"])
    @pytest.mark.parametrize(
        "name",
        [
            "h264_mp4",
            "h264_mkv",
            "h264_ts",
            "h265_mp4",
            "vp8_webm",
            "vp9_webm",
            "mjpeg_mkv",
            "mjpeg_multipart",
        ],
    )
    def test_every_file_decodes_to_its_pictures(self, media, media_url, context, recorder, kind, name):
        entry = media[name]
        factory = factory_for(kind, media_url(name))
        factory_ref = weakref.ref(factory)
        pipeline = factory.build()
        del factory
        async_done = count_posted(pipeline, "async-done")
        pipeline.wait_until_playing(PLAY_BUDGET)
        count, first, last, _ = pull_all(pipeline)
        assert (count, first.shape, last.shape) == (entry.frames, *[(entry.height, entry.width, 3)] * 2)
        assert picture_difference(first, media.expected(name, 0)) < TOLERANCE
        assert picture_difference(last, media.expected(name, entry.frames - 1)) < TOLERANCE
        # Once per asynchronous state change, not a stream of them while the pipeline starts.
        assert async_done() <= 2
        if kind == "http":  # the decoder set-up's handlers are live until the release
            assert recorder.handlers_pending() and all(recorder.handlers_pending())
        # What runs for every buffer runs natively: no Python on a streaming thread per buffer.
        assert recorder.python_buffer_probes == []
        stop(pipeline)
        assert factory_ref() is None
        recorder.assert_released(pipeline)

    def test_live_camera_stream(self, media, live_mjpeg_url, http_server, context, recorder):
        pipeline = factory_for("http", live_mjpeg_url).build()
        pipeline.wait_until_playing(PLAY_BUDGET)
        assert http_server.live_streams == 1
        expected = media.expected("live_jpeg")
        for _ in range(5):
            sample = pipeline.appsink.try_pull_sample(5 * Gst.SECOND)
            assert sample is not None
            assert picture_difference(sample_to_ndarray(sample), expected) < TOLERANCE
        stop(pipeline)
        assert http_server.wait_until(lambda: http_server.live_streams == 0, timeout=5.0)
        recorder.assert_released(pipeline)

    def test_a_stream_without_a_decoder_reports_it_on_the_bus(self, http_server, tmp_path, context, recorder):
        """Raw video in Matroska: no decoder takes it. The failure, in a streaming thread, reaches
        the watcher as a stream error that names its kind."""
        path = tmp_path / "raw.mkv"
        subprocess.run(
            [GST_LAUNCH, "-q", "videotestsrc", "num-buffers=5",
             "!", "video/x-raw,format=I420,width=64,height=48",
             "!", "matroskamux", "!", "filesink", f"location={path}"],
            check=True, timeout=30,
        )  # fmt: skip
        http_server.serve_file(path, name="raw.mkv")
        errors = []

        def watcher(bus, message, pipeline):
            if message.type == Gst.MessageType.ERROR:
                errors.append((message.parse_error()[0], message.parse_error_details()))
            return True

        pipeline = factory_for("http", http_server.url("/files/raw.mkv"), watcher=watcher).build()
        dispatch(context, lambda: errors)
        error, details = errors[0]
        assert error.matches(Gst.stream_error_quark(), Gst.StreamError.CODEC_NOT_FOUND)
        assert error.message.startswith("No decoder for video/x-raw, format=(string)I420, width=(int)64,")
        assert (details.get_name(), details.get_string("kind")) == ("vantle-failure", "no-decoder")
        stop(pipeline)
        recorder.assert_released(pipeline)


@pytest.mark.network
class TestKeyframesOnly:
    @pytest.mark.parametrize(
        "kind, launch",
        [("http", None), ("custom", PARSER_PROBE)],
        ids=["http", "custom-parser"],
    )
    @pytest.mark.parametrize("keyframes_only", [True, False])
    def test_only_keyframes_reach_the_decoder(
        self, media, media_url, context, recorder, kind, launch, keyframes_only
    ):
        entry = media["h264_keyint30"]
        keyframes = entry.keyframe_indices()
        assert len(keyframes) == 5
        factory = factory_for(kind, media_url(entry.name), keyframes_only, launch=launch)
        pipeline = factory.build()
        del factory
        pipeline.wait_until_playing(PLAY_BUDGET)
        count, first, _, times = pull_all(pipeline)
        stop(pipeline)
        if not keyframes_only:
            assert count == recorder.counts["decoder"] == entry.frames
        else:
            assert abs(count - len(keyframes)) <= 1
            assert recorder.counts["decoder"] <= len(keyframes) + 1
            indices = {round(pts * entry.fps / Gst.SECOND) for pts in times}
            assert indices <= set(keyframes)
            assert picture_difference(first, media.expected(entry.name, 0)) < TOLERANCE
        # The factory's own probe sits where frames are parsed for a custom pipeline, on the
        # source for HTTP (where the base puts its own after the parser).
        probed = recorder.probes_on("souphttpsrc" if kind == "http" else "h264parse")
        assert probed == (["_buffer_pad_probe"] if keyframes_only else [])
        recorder.assert_released(pipeline)


@pytest.mark.network
def test_frame_rate_limit_drops_before_conversion(media, media_url, context, recorder, monkeypatch):
    monkeypatch.setattr(http_module, "_FRAMERATE_LIMIT", 5)
    entry = media["h264_keyint30"]  # 150 frames at 30 per second
    pipeline = factory_for("http", media_url(entry.name)).build()
    pipeline.wait_until_playing(PLAY_BUDGET)
    count, _, last, times = pull_all(pipeline)
    stop(pipeline)
    kept = entry.frames * 5 // entry.fps
    assert abs(count - kept) <= 1
    assert recorder.counts == {"decoder": entry.frames, "converter": count}
    assert min(b - a for a, b in zip(times, times[1:])) >= Gst.SECOND // 5 * 9 // 10
    assert last.shape == (entry.height, entry.width, 3)
    assert [name for _, name in recorder.probes].count("limit_frame_rate") == 1
    recorder.assert_released(pipeline)


def test_stream_within_the_frame_rate_limit_gets_no_per_frame_callback(media, media_url, context, recorder):
    entry = media["h264_keyint30"]  # 30 frames per second, under the default limit
    assert entry.fps <= http_module._FRAMERATE_LIMIT
    pipeline = factory_for("http", media_url(entry.name)).build()
    pipeline.wait_until_playing(PLAY_BUDGET)
    count, _, _, _ = pull_all(pipeline)
    stop(pipeline)
    assert count == entry.frames
    assert "limit_frame_rate" not in [name for _, name in recorder.probes]
    recorder.assert_released(pipeline)


@pytest.mark.network
class TestFailingServers:
    @pytest.fixture(autouse=True)
    def warm(self, media_url):
        """One stream first: GStreamer starts its global thread pools with the first stream and
        keeps them, which is not a leak of ours."""
        for name in ("mjpeg_mkv", "h264_keyint30"):  # an MP4 also reads through a ring buffer
            pipeline = factory_for("http", media_url(name)).build()
            pipeline.wait_until_playing(PLAY_BUDGET)
            pull_all(pipeline)
            stop(pipeline)

    @pytest.mark.parametrize("kind", ["http", "custom"])
    @pytest.mark.parametrize("case", ["404", "refused"])
    def test_setup_fails_within_the_budget(
        self, http_server, refused_url, context, recorder, resources, kind, case
    ):
        url, text = {
            "404": (http_server.url("/status/404"), "Not Found"),
            "refused": (refused_url, "Internal data stream error."),
        }[case]
        pipeline = factory_for(kind, url).build()
        start = time.monotonic()
        with pytest.raises(StreamSetupError) as error:
            pipeline.wait_until_playing(FAULT_BUDGET)
        assert time.monotonic() - start < 2 * FAULT_BUDGET
        assert (type(error.value), error.value.args) == (StreamSetupError, (text,))
        stop(pipeline)
        recorder.assert_released(pipeline)
        del pipeline  # its HTTP session (connections, thread) goes with it
        gc.collect()
        resources.assert_released()

    @pytest.mark.parametrize("kind", ["http", "custom"])
    def test_server_closing_mid_stream(
        self, media, media_url, http_server, context, recorder, resources, kind
    ):
        """A connection closed mid-file is resumed with a range request; a file whose rest never
        comes ends in a stream error at the watcher. Read as a stream (the custom launch string),
        the frames before the cut come first; read at random (an MP4 over the HTTP factory), the
        demuxer may look at the file's end first and fail before any frame."""
        entry = media["h264_keyint30"]
        path = f"/files/{entry.name}.{entry.suffix}"
        requests = http_server.count(path)
        pipeline = factory_for(kind, media_url(entry.name, fault="close", after=entry.size // 3)).build()
        pipeline.wait_until_playing(PLAY_BUDGET)
        assert pull_all(pipeline)[0] == entry.frames
        assert http_server.count(path) - requests >= 3
        stop(pipeline)

        errors = []

        def watcher(bus, message, pipeline):
            if message.type == Gst.MessageType.ERROR:
                errors.append(message.parse_error()[0].message)
            return True

        url = media_url(entry.name, fault="truncate", bytes=entry.size // 2)
        pipeline = factory_for(kind, url, watcher=watcher).build()
        start = time.monotonic()
        count = 0
        while not errors:
            count += pipeline.appsink.try_pull_sample(Gst.SECOND // 20) is not None
            context.iteration(False)
            assert time.monotonic() - start < 2 * FAULT_BUDGET
        assert count < entry.frames and (count > 0 or kind == "http")
        assert errors[0] == "Internal data stream error."
        stop(pipeline)
        recorder.assert_released(pipeline)
        del pipeline  # its HTTP session (connections, thread) goes with it
        gc.collect()
        resources.assert_released()


class TestCustomLaunchStrings:
    def test_missing_url_placeholder_quotes_the_string_as_given(self):
        launch = "souphttpsrc location=http://h/v ! capsfilter caps=x/y,f={{BGR}} ! appsink name=main_sink"
        with pytest.raises(InvalidCustomPipelineError) as error:
            CustomPipelineFactory(launch, url="http://h/v", pipeline_watcher=keep, keyframes_only=False)
        assert error.value.args == (
            "Invalid pipeline format: 'souphttpsrc location=http://h/v ! capsfilter caps=x/y,f={{BGR}} "
            "! appsink name=main_sink'. "
            "Pipelines must contain a '{url}' portion to be filled by the source URL.",
        )

    @pytest.mark.parametrize(
        "stray, format_error", [("{oops}", KeyError), ("{}", IndexError), ("{", ValueError)]
    )
    def test_stray_braces_are_refused_as_the_format_error_too(self, stray, format_error):
        launch = f"souphttpsrc location={{url}} ! identity name={stray} ! appsink name=main_sink"
        with pytest.raises(InvalidCustomPipelineError) as error:
            CustomPipelineFactory(launch, url="http://h/v", pipeline_watcher=keep, keyframes_only=False)
        assert isinstance(error.value, format_error)
        assert str(error.value).startswith(f"Invalid pipeline format: '{launch}'")

    def test_missing_main_sink_quotes_the_filled_in_string(self, refused_url, context, recorder):
        factory = CustomPipelineFactory(
            "souphttpsrc location={url} ! fakesink name=sink",
            url=refused_url,
            pipeline_watcher=keep,
            keyframes_only=False,
        )
        with pytest.raises(InvalidCustomPipelineError) as error:
            factory.build()
        assert error.value.args == (
            "No element with name 'main_sink' element found in custom pipeline "
            f"'souphttpsrc location={refused_url} ! fakesink name=sink'",
        )
        assert recorder.watches == 1

    @pytest.mark.parametrize("keyframes_only", [True, False])
    def test_buffer_src_without_a_static_src_pad(self, refused_url, context, keyframes_only):
        factory = CustomPipelineFactory(
            "souphttpsrc location={url} ! decodebin name=buffer_src ! appsink name=main_sink",
            url=refused_url,
            pipeline_watcher=keep,
            keyframes_only=keyframes_only,
        )
        with pytest.raises(InvalidCustomPipelineError) as error:
            factory.build()
        assert error.value.args == (
            "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe to",
        )

    def test_placeholders_filled_and_doubled_braces_single(self, context):
        launch = (
            "videotestsrc num-buffers=1 ! capsfilter name=caps caps=video/x-raw,format={{BGR,RGB}} "
            "! progressreport name=a format=a-{url} ! progressreport name=b format=b-{url} "
            "! appsink name=main_sink"
        )
        factory = CustomPipelineFactory(launch, url="cam", pipeline_watcher=keep, keyframes_only=False)
        pipeline = factory.build()
        formats = [pipeline.get_by_name(name).get_property("format") for name in "ab"]
        assert formats == ["a-cam", "b-cam"]
        formats = pipeline.get_by_name("caps").get_property("caps").get_structure(0).get_value("format")
        assert list(formats) == ["BGR", "RGB"]
        stop(pipeline)

    def test_url_none_is_filled_in_as_none(self, context):
        factory = CustomPipelineFactory(
            "videotestsrc num-buffers=1 ! progressreport name=at format=at-{url} ! appsink name=main_sink",
            url=None,
            pipeline_watcher=keep,
            keyframes_only=False,
        )
        pipeline = factory.build()
        assert pipeline.get_by_name("at").get_property("format") == "at-None"
        stop(pipeline)

    @pytest.mark.parametrize("extra", ["{", "}", "{}", "{name}", "{0}"])
    def test_other_replacement_fields_fail_with_str_format_as_the_cause(self, extra):
        launch = "souphttpsrc location={url} ! appsink name=main_sink " + extra
        with pytest.raises(Exception) as expected:
            launch.format(url="u")
        with pytest.raises(InvalidCustomPipelineError) as error:
            CustomPipelineFactory(launch, url="u", pipeline_watcher=keep, keyframes_only=False)
        cause = error.value.__cause__
        assert (type(cause), cause.args) == (type(expected.value), expected.value.args)

    def test_missing_buffer_src_warns_once_per_build(self, caplog, context, recorder):
        factory = CustomPipelineFactory(
            "videotestsrc num-buffers=1 ! progressreport format={url} ! appsink name=main_sink",
            url="u",
            pipeline_watcher=keep,
            keyframes_only=True,
        )
        with caplog.at_level(logging.WARNING, logger="vantle"):
            pipelines = [factory.build(), factory.build()]
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            ("vantle.pipeline_factories.base", logging.WARNING, NO_BUFFER_SRC)
        ] * 2
        assert "_buffer_pad_probe" not in [name for _, name in recorder.probes]
        for pipeline in pipelines:
            stop(pipeline)

    def test_usable_buffer_src_is_quiet(self, caplog, context, recorder):
        factory = CustomPipelineFactory(
            "videotestsrc num-buffers=1 ! progressreport format={url} ! identity name=buffer_src "
            "! appsink name=main_sink",
            url="u",
            pipeline_watcher=keep,
            keyframes_only=True,
        )
        with caplog.at_level(logging.WARNING, logger="vantle"):
            pipeline = factory.build()
        assert caplog.records == []
        assert recorder.probes_on("identity") == ["_buffer_pad_probe"]
        stop(pipeline)


class TestArguments:
    @pytest.mark.parametrize("kind", ["http", "custom"])
    def test_bytes_url(self, kind):
        with pytest.raises(TypeError) as error:
            factory_for(kind, b"http://h/v")
        assert error.value.args == ("Argument 'url' has incorrect type (expected str, got bytes)",)

    def test_url_by_position(self):
        with pytest.raises(TypeError) as error:
            HTTPPipelineFactory("http://h/v", pipeline_watcher=keep, keyframes_only=False)
        assert error.value.args == (
            "HTTPPipelineFactory.__init__() takes 1 positional argument but 2 positional arguments "
            "(and 2 keyword-only arguments) were given",
        )
        with pytest.raises(TypeError) as error:
            CustomPipelineFactory(DECODEBIN, "http://h/v", pipeline_watcher=keep, keyframes_only=False)
        assert error.value.args == (
            "CustomPipelineFactory.__init__() takes 2 positional arguments but 3 positional arguments "
            "(and 2 keyword-only arguments) were given",
        )


@pytest.mark.network
def test_two_http_builds_are_independent(media_url, context, recorder):
    url = media_url("h264_mp4")
    seen = []

    def watcher(bus, message, pipeline):
        if message.type == Gst.MessageType.APPLICATION:
            seen.append((bus, message.get_structure().get_name(), pipeline))
        return True

    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watcher, keyframes_only=False)
    pipelines = [factory.build(), factory.build()]
    del factory
    assert pipelines[0] is not pipelines[1] and pipelines[0].appsink is not pipelines[1].appsink
    for index, pipeline in enumerate(pipelines):
        assert pipeline.get_name() == url
        sources = [e for e in pipeline.iterate_elements() if e.get_factory().get_name() == "souphttpsrc"]
        assert [source.get_property("location") for source in sources] == [url]
        assert pipeline.appsink.get_parent() is pipeline
        pipeline.post_message(Gst.Message.new_application(pipeline, Gst.Structure.new_empty(f"ping{index}")))
        dispatch(context, lambda index=index: len(seen) == index + 1)
        assert seen[index] == (pipeline.get_bus(), f"ping{index}", pipeline)
    assert recorder.watches == 2
    assert recorder.probes_on("souphttpsrc") == []
    seen.clear()
    for pipeline in pipelines:
        pipeline.wait_until_playing(PLAY_BUDGET)
        stop(pipeline)
    recorder.assert_released(pipelines.pop())
    recorder.assert_released(pipelines.pop())
