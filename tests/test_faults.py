"""Streams that fail: refused, erroring, stalled, garbled or cut short. Each ends within its
budgets with the outcome its fault calls for, and leaves no thread, descriptor or GStreamer
object behind."""

from __future__ import annotations

import collections
import gc
import json
import os
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Union

import pytest
from support.leaks import Resources

from vantle import StreamReader
from vantle.errors import StreamSetupError
from vantle.pipeline_factories.custom import CustomPipelineFactory
from vantle.pipeline_factories.http import HTTPPipelineFactory
from vantle.pipeline_factories.launch import elements_of
from vantle.stream_reader import session as session_module
from vantle.utils.gstreamer import Gst

pytestmark = [pytest.mark.network, pytest.mark.timeout(60)]

START = 1.5  # seconds for the stream to start (wait_until_playing, the reader's timeout)
FRAME = 1.5  # seconds for each frame
# A blocking wait that begins just before its budget runs out may wait that long again, so a
# wait ends within twice its budget; the margin covers teardown and a busy shared machine.
MARGIN = 1.5
# None: the warm-up has filled GLib's and GStreamer's thread pools, and a stream that ends
# leaves no thread of its own behind.
THREAD_SLACK = 0

START_TIMEOUT = "Timeout while waiting for stream to start"
STREAM_STOPPED = "Internal data stream error."
STOPPED_DEBUG = "streaming stopped, reason error (-5)"


@dataclass(frozen=True)
class Fails:
    """The stream fails: GStreamer's message (what wait_until_playing raises), the kind the
    reader names, and a fragment of GStreamer's debug text."""

    message: str
    kind: str
    debug: str = ""
    # The error may be lost to a race of GStreamer's (see truncated-mp4): a start time-out then.
    may_time_out: bool = False


@dataclass(frozen=True)
class Plays:
    """The stream plays and delivers `frames` ("all", "some", or "any" number short of all,
    none included) before it `ends`."""

    frames: str
    ends: Union[str, Fails]  # "eos", "stall" (no frame within its budget) or an error


@dataclass(frozen=True)
class Fault:
    id: str
    url: Callable  # (Where) -> the URL
    outcome: Union[Fails, Plays]
    entry: str = ""  # the catalogue entry served, for frame counts


@dataclass(frozen=True)
class Where:
    """Where the faults are served: the test server, and a port where nothing listens."""

    media: object
    server: object
    media_url: Callable
    refused_url: str

    def file(self, name: str, **fault) -> str:
        return self.media_url(name, **fault)

    def half(self, name: str) -> int:
        return self.media[name].size // 2


FAULTS = [
    Fault("404", lambda at: at.server.url("/status/404"), Fails("Not Found", "not-found", "Not Found (404)")),
    Fault(
        "500",
        lambda at: at.server.url("/status/500"),
        Fails("Internal Server Error", "http-status", "Internal Server Error (500)"),
    ),
    Fault("refused-port", lambda at: at.refused_url, Fails(STREAM_STOPPED, "refused", STOPPED_DEBUG)),
    Fault(
        "close-after-headers",
        lambda at: at.file("h264_mp4", fault="close", after=0),
        Fails(STREAM_STOPPED, "network", STOPPED_DEBUG),
    ),
    # souphttpsrc resumes a body cut short with a Range request: the stream heals.
    Fault(
        "close-mid-body",
        lambda at: at.file("h264_ts", fault="close", after=at.half("h264_ts")),
        Plays("all", "eos"),
        "h264_ts",
    ),
    Fault(
        "stall-after-headers",
        lambda at: at.file("h264_mp4", fault="stall", after=0, seconds=20),
        Fails(START_TIMEOUT, "timeout"),
    ),
    Fault(
        "stall-mid-body",
        lambda at: at.file("h264_ts", fault="stall", after=at.half("h264_ts"), seconds=20),
        Plays("some", "stall"),
        "h264_ts",
    ),
    Fault(
        "no-answer", lambda at: at.file("h264_mp4", fault="hang", seconds=20), Fails(START_TIMEOUT, "timeout")
    ),
    Fault(
        "garbage-as-video",
        lambda at: at.server.url("/garbage", bytes=200_000, type="video/mp4"),
        Fails("Could not determine type of stream.", "no-video", "typefind"),
    ),
    # The index of this MP4 is at its end: cut in half, nothing in it can be played. The demuxer,
    # reading at random, says so while parsebin is still starting it, and parsebin now and then
    # drops an error that comes at that moment: the stream then ends in the start time-out.
    Fault(
        "truncated-mp4",
        lambda at: at.file("h264_mp4", fault="truncate", bytes=at.half("h264_mp4"), length="truncated"),
        Fails(
            "This file contains no playable streams.", "no-video", "no known streams found", may_time_out=True
        ),
    ),
    # Index first: the frames of the first half play, then the data just ends.
    Fault(
        "truncated-mp4-index-first",
        lambda at: at.file(
            "h264_keyint30", fault="truncate", bytes=at.half("h264_keyint30"), length="truncated"
        ),
        Plays("some", "eos"),
        "h264_keyint30",
    ),
    # The same, announced with its full length: the resumption finds nothing, an error. Read at
    # random, the demuxer may look for the file's end before or after the first frames.
    Fault(
        "truncated-mp4-index-first-full-length",
        lambda at: at.file("h264_keyint30", fault="truncate", bytes=at.half("h264_keyint30"), length="full"),
        Plays("any", Fails(STREAM_STOPPED, "network", STOPPED_DEBUG)),
        "h264_keyint30",
    ),
    Fault(
        "slow-trickle",
        lambda at: at.file("h264_ts", fault="trickle", chunk=100, interval=0.5),
        Fails(START_TIMEOUT, "timeout"),
    ),
]


@dataclass
class Result:
    """What a stream did: its frames and how it ended, with the times that bound it."""

    frames: int = 0
    ending: Union[str, Fails] = ""  # "eos", "stall" or the error
    failed_to_start: bool = False
    started: float = 0.0
    last_event: float = 0.0  # start, or the last frame
    ended: float = 0.0


class Finalized:
    """GObject weak references: which of the watched GStreamer objects are gone."""

    def __init__(self):
        self.refs: List[object] = []
        self.names: List[str] = []
        self.gone: List[str] = []

    def watch(self, obj) -> None:
        name = f"{type(obj).__name__}:{obj.get_name()}"
        self.names.append(name)
        self.refs.append(obj.weak_ref(self.gone.append, name))

    def alive(self, timeout: float = 5.0) -> List[str]:
        """The watched objects still alive after up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while len(self.gone) < len(self.names) and time.monotonic() < deadline:
            gc.collect()
            time.sleep(0.02)
        return sorted((collections.Counter(self.names) - collections.Counter(self.gone)).elements())


def watcher(bus, message, pipeline) -> bool:
    return True


def read_with_factory(url: str, finalized: Finalized) -> Result:
    """Build, wait until playing, pull until no sample comes within FRAME, then NULL and release."""
    result = Result(started=time.monotonic())
    result.last_event = result.started
    # The factory's appsink drops frames when the consumer falls behind by default; this one
    # keeps every frame, so that frames are counted exactly.
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watcher, keyframes_only=False, drop_frames=False)
    pipeline = factory.build()
    try:
        pipeline.wait_until_playing(START)
        while pipeline.appsink.try_pull_sample(int(FRAME * Gst.SECOND)) is not None:
            result.frames += 1
            result.last_event = time.monotonic()
        error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
        if error is not None:
            gerror, debug = error.parse_error()
            result.ending = Fails(gerror.message, "", debug)
        else:
            result.ending = "eos" if pipeline.appsink.is_eos() else "stall"
    except StreamSetupError as error:
        result.ending, result.failed_to_start = Fails(str(error), ""), True
    finally:  # the watched objects are taken before teardown: some are made while streaming
        result.ended = time.monotonic()
        finalized.watch(pipeline)
        # Still streaming: a decoder set-up may be adding elements meanwhile.
        for element in elements_of(pipeline):
            finalized.watch(element)
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(START)
        pipeline.release_resources()
    return result


def read_with_reader(url: str, finalized: Finalized, monkeypatch) -> Result:
    """open() then iterate a StreamReader; every pipeline it builds is watched."""

    class Watched(HTTPPipelineFactory):
        def build(self):
            pipeline = super().build()
            finalized.watch(pipeline)
            return pipeline

    monkeypatch.setitem(session_module.FACTORIES, "http", Watched)
    result = Result(started=time.monotonic())
    result.last_event = result.started
    stream = StreamReader(url, timeout=START, frame_timeout=FRAME)
    try:
        stream.open()
    except StreamSetupError as error:
        result.failed_to_start, result.ending = True, reader_error(error)
    else:
        try:
            with stream:
                for _ in stream:
                    result.frames += 1
                    result.last_event = time.monotonic()
            result.ending = "eos"
        except StreamSetupError as error:
            result.ending = reader_error(error)
    _ = None  # a frame still held would keep its buffer pool (and the pool's descriptors)
    result.ended = time.monotonic()
    assert stream.pipeline is None and stream.stats.frames == result.frames
    return result


def reader_error(error: StreamSetupError) -> Union[str, Fails]:
    """A reader's error as an ending: its frame time-out is a stall; anything else a failure of
    a kind, with GStreamer's message and debug text where GStreamer failed."""
    if str(error) == f"No frame within {FRAME} seconds":
        assert error.kind == "timeout"
        return "stall"
    return Fails(error.gst_message or str(error), error.kind, error.gst_debug or "")


@pytest.fixture(scope="module", autouse=True)
def warm_up(media_url, http_server):
    # The first streams of a process set up process-wide state (GStreamer's and libsoup's
    # thread pools, wake-up descriptors, lazily loaded plug-in features): counts start after.
    for url in (media_url("h264_ts"), http_server.url("/status/404")):
        read_with_factory(url, Finalized())
    gc.collect()


def check_error(actual, expected: Fails, level: str) -> None:
    if expected.may_time_out and isinstance(actual, Fails) and actual.message == START_TIMEOUT:
        assert level == "factory" or actual.kind == "timeout"
        return
    assert isinstance(actual, Fails) and actual.message == expected.message
    if level == "reader":  # wait_until_playing keeps only the message; the reader says more
        assert actual.kind == expected.kind and expected.debug in actual.debug


def check_outcome(fault: Fault, result: Result, level: str, media) -> None:
    expected = fault.outcome
    if isinstance(expected, Fails):
        assert result.failed_to_start and result.frames == 0
        check_error(result.ending, expected, level)
        assert result.ended - result.started < 2 * START + MARGIN
        return
    total = media[fault.entry].frames
    if expected.frames == "any":
        assert result.frames < total
    else:
        assert not result.failed_to_start
        assert result.frames == total if expected.frames == "all" else 0 < result.frames < total
    if isinstance(expected.ends, Fails):
        check_error(result.ending, expected.ends, level)
    else:
        assert result.ending == expected.ends
    assert result.ended - result.last_event < 2 * FRAME + MARGIN


@pytest.mark.parametrize("level", ["factory", "reader"])
@pytest.mark.parametrize("fault", FAULTS, ids=[f.id for f in FAULTS])
def test_fault_ends_in_its_outcome_within_budget_and_leaves_nothing(
    fault, level, media, http_server, media_url, refused_url, monkeypatch
):
    url = fault.url(Where(media, http_server, media_url, refused_url))
    resources = Resources.take()
    finalized = Finalized()
    if level == "factory":
        result = read_with_factory(url, finalized)
    else:
        result = read_with_reader(url, finalized, monkeypatch)
    check_outcome(fault, result, level, media)
    assert finalized.names and finalized.alive() == []
    resources.assert_released(thread_slack=THREAD_SLACK)


class TestReaderHeldUpAfterBuild:
    """build() asks the pipeline to play; on a busy machine the reader's thread may get the
    processor back only a while later. The stream has not waited for it."""

    @pytest.fixture(autouse=True)
    def late(self, monkeypatch):
        class Late(HTTPPipelineFactory):
            def build(self):
                pipeline = super().build()
                time.sleep(0.3)
                return pipeline

        monkeypatch.setitem(session_module.FACTORIES, "http", Late)

    @pytest.mark.parametrize(
        "fault",
        [f for f in FAULTS if f.id in ("404", "refused-port", "garbage-as-video")],
        ids=lambda f: f.id,
    )
    def test_an_error_already_on_the_bus_keeps_its_text(
        self, fault, media, http_server, media_url, refused_url
    ):
        with pytest.raises(StreamSetupError) as raised:
            StreamReader(fault.url(Where(media, http_server, media_url, refused_url)), timeout=START).open()
        error = raised.value
        assert (error.gst_message, error.kind) == (fault.outcome.message, fault.outcome.kind)
        assert fault.outcome.debug in error.gst_debug

    def test_every_frame_is_still_delivered(self, media, media_url):
        with StreamReader(media_url("h264_mp4"), timeout=START, frame_timeout=FRAME) as stream:
            assert sum(1 for _ in stream) == media["h264_mp4"].frames
            assert stream.stats.dropped == 0

    def test_every_frame_of_a_custom_launch_string_is_still_delivered(self, media, media_url, monkeypatch):
        class Late(CustomPipelineFactory):
            def build(self):
                pipeline = super().build()
                time.sleep(0.3)
                return pipeline

        monkeypatch.setattr(session_module, "CUSTOM_FACTORY", Late)
        launch = "souphttpsrc location={url} ! qtdemux ! h264parse ! avdec_h264 ! videoconvert"
        launch += " ! appsink name=main_sink"
        with StreamReader(
            media_url("h264_mp4"), pipeline=launch, timeout=START, frame_timeout=FRAME
        ) as stream:
            assert sum(1 for _ in stream) == media["h264_mp4"].frames


def test_a_cut_body_heals_by_resuming_where_it_stopped(media, media_url, http_server):
    entry = media["h264_ts"]
    after = entry.size // 2
    url = media_url("h264_ts", fault="close", after=after)
    first = len(http_server.requests)
    with StreamReader(url, timeout=START, frame_timeout=FRAME) as stream:
        assert sum(1 for _ in stream) == entry.frames
    requests = [(r.headers.get("Range"), r.status) for r in http_server.requests[first:]]
    assert requests == [(None, 200), (f"bytes={after}-", 206)]


def test_a_tiny_start_budget_fails_with_the_start_timeout(media_url):
    # Closing after the failed start gives the pipeline its own time to reach NULL: a
    # teardown sharing the spent budget would fail and hide the time-out.
    with pytest.raises(StreamSetupError) as raised:
        StreamReader(media_url("h264_mp4", fault="hang", seconds=5), timeout=0.001).open()
    assert str(raised.value) == START_TIMEOUT and raised.value.__context__ is None


def test_a_stream_waiting_for_data_does_not_flood_its_bus(media_url):
    pipeline = HTTPPipelineFactory(
        url=media_url("h264_mp4", fault="stall", after=0, seconds=10),
        pipeline_watcher=watcher,
        keyframes_only=False,
    ).build()
    try:
        time.sleep(1.0)
        bus, queued = pipeline.get_bus(), 0
        while queued < 100_000 and bus.pop() is not None:
            queued += 1
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()
    # State changes of a dozen elements, stream status, contexts: a few dozen messages. A sink
    # started ahead of its pipeline once made it post ASYNC_DONE in a busy loop for as long
    # as the stream waited: tens of thousands a second.
    assert queued < 500


LEAKS_CHILD = textwrap.dedent(
    """
    import collections, gc, json, sys, time
    sys.path.insert(0, sys.argv[1])
    from support.http_server import TestServer, refused_port
    from vantle import open_stream
    from vantle.errors import StreamSetupError
    from vantle.utils.gstreamer import Gst

    tracer = Gst.tracing_get_active_tracers()[0]
    server = TestServer(max_stall=5)
    files = [server.serve_file(path) for path in sys.argv[2:]]
    urls = [
        server.url(files[0]),
        server.url("/status/404"),
        f"http://127.0.0.1:{refused_port()}/x.mp4",
        server.url("/garbage", bytes=100000),
        server.url(files[0], fault="stall", after=0, seconds=5),
        server.url(files[1], fault="stall", after=10000, seconds=5),
        server.url(files[1], fault="close", after=10000),
        server.url(files[0], fault="truncate", bytes=50000, length="truncated"),
    ]

    def read(url):
        try:
            with open_stream(url, timeout=0.5, frame_timeout=0.5) as stream:
                for _ in stream:
                    pass
        except StreamSetupError:
            pass

    # A first round makes what lives for the process: element classes with their pad
    # templates and caps, plug-in features, thread pools. The second round must leave nothing.
    for url in urls:
        read(url)
    gc.collect()
    tracer.emit("activity-start-tracking")
    for url in urls:
        read(url)
    # A pipeline may still be going down on GStreamer's threads a little after close(): the
    # count is taken until nothing is left, for a few seconds at most.
    created, removed = collections.Counter(), collections.Counter()
    for _ in range(50):
        gc.collect()
        checkpoint = tracer.emit("activity-get-checkpoint")
        for counter, name in ((created, "objects-created-list"), (removed, "objects-removed-list")):
            counter.update(s.get_string("type-name") for s in checkpoint.get_value(name))
        left = created - removed
        if not left:
            break
        time.sleep(0.1)
    print(json.dumps(left))
    server.close()
    """
)


def test_leaks_tracer_finds_nothing_of_ours_after_faults(media):
    """GStreamer's own count of the objects made and freed while streams fail: pads, buffers,
    events, caps and messages included, which no Python reference reaches."""
    env = dict(os.environ, GST_TRACERS="leaks")
    env.pop("GST_DEBUG", None)
    paths = [str(media["h264_mp4"].path), str(media["h264_ts"].path)]
    child = subprocess.run(
        [sys.executable, "-c", LEAKS_CHILD, str(Path(__file__).parent), *paths],
        capture_output=True,
        text=True,
        timeout=45,
        env=env,
    )
    assert child.returncode == 0, child.stderr[-3000:]
    assert json.loads(child.stdout.splitlines()[-1]) == {}
