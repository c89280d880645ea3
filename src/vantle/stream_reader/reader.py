"""Reading a stream frame by frame: `open_stream` and `StreamReader`.

    from vantle import open_stream

    with open_stream("rtsp://camera.local/stream1", timeout=10) as stream:
        for frame in stream:          # read-only uint8 arrays, (height, width, 3), BGR
            ...
        print(stream.stats)

    with open_stream(url) as stream:
        for frame in stream.frames():  # Frame: the array with its time, index and keyframe flag
            print(frame.pts, frame.image.shape)

A reader picks the factory for its source from the URL (one table, `FACTORIES`): rtsp:// and
rtsps:// read with rtspsrc, http:// and https:// (HLS playlists included) with souphttpsrc,
local paths and file:// URLs with filesrc; a launch string given as `pipeline`, with a "{url}"
placeholder, is the custom factory's (one without the placeholder is refused with
InvalidCustomPipelineError); any other URL is refused at once with StreamSetupError.

The reader builds the pipeline and waits for its first frame, then pulls decoded samples with
a per-frame time-out and converts them to arrays. Every wait is made of steps that block for a
slice of a second at most (`_Stream`, whose steps a loop over many streams can drive without
blocking at all): between slices the reader takes the messages off the pipeline's bus itself,
the one route by which errors reach the caller, as StreamSetupError saying what happened (see
its `kind`), and sees Ctrl-C and close(). A live source (a camera) that ends or fails after it
started is rebuilt while `reconnect` allows; a file's end is the end. On exit, normal or not,
the pipeline is brought to NULL and everything it registered is released.

The reader alone holds its pipeline: GStreamer's threads and GLib hold nothing that leads back
to it, so a reader that is dropped without close() is collected, and its finaliser brings the
pipeline down.
"""

from __future__ import annotations

import ctypes
import math
import os
import threading
import time
import weakref
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np
from gi.repository import GLib, Gst

from vantle._urls import checked_url, redact_text, redact_url, scheme_of
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError
from vantle.frame import Frame
from vantle.logger import logger
from vantle.pipeline_factories.base import DEFAULT_MAX_FRAME_BYTES, frame_size, runs_live, stop_starting
from vantle.pipeline_factories.custom import CustomPipelineFactory
from vantle.pipeline_factories.file import FilePipelineFactory
from vantle.pipeline_factories.http import HTTPPipelineFactory
from vantle.pipeline_factories.launch import elements_of
from vantle.pipeline_factories.rtsp import RTSPPipelineFactory
from vantle.stream_reader.failures import failure, from_error_message
from vantle.stream_reader.varnow import check_varnow
from vantle.utils.gstreamer import Pipeline, sample_as_ndarray

# Options of a reader, with the types they must have.
SUPPORTED_OPTIONS: Dict[str, Any] = {
    "keyframes_only": bool,
    "timeout": (int, float),
    "frame_timeout": (int, float),
    "drop_frames": bool,
    "reconnect": int,
    "reconnect_backoff": (int, float),
    "rtsp_transport": str,
    "latency": int,
    "size": (tuple, list),
    "max_frame_bytes": int,
}

# The factory of each URL scheme; "" stands for a local path.
FACTORIES: Dict[str, type] = {
    "rtsp": RTSPPipelineFactory,
    "rtsps": RTSPPipelineFactory,
    "http": HTTPPipelineFactory,
    "https": HTTPPipelineFactory,
    "file": FilePipelineFactory,
    "": FilePipelineFactory,
}

# Options that only some factories take.
_FACTORY_OPTIONS = {RTSPPipelineFactory: ("rtsp_transport", "latency")}

SUPPORTED_SOURCES = (
    "rtsp:// or rtsps:// URLs, http:// or https:// URLs (HLS playlists too), local paths or file:// URLs, "
    'or a GStreamer launch string with "{url}" given as pipeline='
)

DEFAULT_TIMEOUT = 10.0
DEFAULT_FRAME_TIMEOUT = 10.0

# The longest any single blocking call of a reader lasts: Ctrl-C, close() from another thread
# and the wait's own budget are looked at between two.
_SLICE = 0.05

# The time given to a pipeline to reach NULL when the reader lets it go (most reach it at once,
# in set_state).
_NULL_SECONDS = 5.0

# The longest pause between two reconnections, however many there were.
_MAX_BACKOFF_SECONDS = 60.0

# Messages taken off the bus in one step, at most: a bus that floods cannot hold a step up.
_MESSAGES_PER_STEP = 256

START_TIMEOUT = "Timeout while waiting for stream to start"

# What a reader is doing: made and not opened yet; open; at the end of a file; failed (the
# failure is raised again by every read); closed (by close(), or by an interruption).
_NEW, _OPEN, _ENDED, _FAILED, _CLOSED = "new", "open", "ended", "failed", "closed"

# What a step of a frame wait returns at the end of a file.
_END = object()


# ----- fork -----


class _Process:
    """This process as readers know it: a process made by fork() gets a new epoch, and a reader
    opened in another epoch was inherited."""

    epoch = 0


def _forked() -> None:
    _Process.epoch += 1


os.register_at_fork(after_in_child=_forked)

# What inherited readers held of GStreamer, kept for the child's whole life. A fork copies
# GStreamer's objects but not its threads, nor the locks those threads held: the child must
# neither use nor finalise them (a finaliser takes locks that may never be released, and the
# bus's wake-up descriptors are shared with the parent, so taking a message in the child
# leaves the parent's bus waiting for ever). The list holds one reference of its own that is
# never given back, so that not even the interpreter's shutdown frees what it holds.
_INHERITED: List[object] = []
ctypes.pythonapi.Py_IncRef(ctypes.py_object(_INHERITED))


class _Slot:
    """Where a reader keeps its current stream: shared with the reader's finaliser, which must
    not hold the reader itself."""

    __slots__ = ("stream", "epoch")

    def __init__(self) -> None:
        self.stream: Optional[_Stream] = None
        self.epoch = _Process.epoch


def _release(slot: _Slot) -> None:
    """Brings the slot's stream down: the finaliser of a reader that is collected (or still
    alive when the interpreter exits). In a child made by fork(), it only keeps it."""
    stream, slot.stream = slot.stream, None
    if stream is None:
        return
    if slot.epoch != _Process.epoch:
        _INHERITED.append(stream)
        return
    if isinstance(threading.current_thread(), threading._DummyThread):
        # Collected on a thread that Python did not make: a streaming thread that ran a probe
        # in Python, perhaps one of this very pipeline. It must not wait for a pipeline to stop.
        stream.stop_later()
        return
    try:
        stream.stop()
    except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
        pass


# ----- one pipeline, in steps -----


class _Stream:
    """One pipeline of a reader and what its bus said, read in steps that block no longer
    than they are asked to: the pieces of a reader's waits.

    A loop that serves many streams from one thread drives the same steps without blocking:
    `pull(0)` and `at_end()` on each stream when `watch`'s wake-up says that something
    happened (and once right after `watch`, for what came before it).
    """

    def __init__(self, pipeline: Pipeline, url: object, keyframes: _KeyframeTimes):
        self.pipeline = pipeline
        self.appsink = pipeline.appsink
        self.bus = pipeline.get_bus()
        self.url = url
        self.keyframes = keyframes
        self.error: Optional[StreamSetupError] = None  # the first error on the bus
        self.http: Dict[str, Any] = {}  # what the HTTP source said of its response
        self.frames = 0  # delivered from this pipeline
        self.last_arrival = -1
        self.pending: Optional[Gst.Sample] = None  # the first sample, taken while opening
        self._stop_lock = threading.Lock()
        self._stopped = False

    def take_messages(self) -> None:
        """Takes the messages off the bus, without waiting: keeps the first error, and what the
        HTTP source says of its response."""
        pipeline, bus = self.pipeline, self.bus
        if bus is None:  # stopped
            return
        for _ in range(_MESSAGES_PER_STEP):
            message = bus.pop()
            if message is None:
                return
            if message.type == Gst.MessageType.ERROR and self.error is None:
                self.error = from_error_message(message, self.url, self.frames)
            elif message.type == Gst.MessageType.ELEMENT and message.src.get_parent() is pipeline:
                structure = message.get_structure()
                if structure is not None and structure.get_name() == "http-headers":
                    self.http = _response_of(structure)

    def pull(self, seconds: float) -> Optional[Gst.Sample]:
        """The bus's messages, then a sample that is ready or comes within `seconds` (0: none
        is waited for), or None. Frames decoded before an error are taken before it is raised.

        :raises StreamSetupError: The stream failed
        """
        self.take_messages()
        appsink = self.appsink
        if appsink is None:  # stopped: the reader sees why
            return None
        wait = 0.0 if self.error is not None else seconds
        sample = appsink.try_pull_sample(int(wait * Gst.SECOND))
        if sample is None and self.error is not None:
            raise _copy(self.error)
        return sample

    def at_end(self) -> bool:
        """Whether every frame is taken and the data has ended.

        :raises StreamSetupError: An error came with the end
        """
        appsink = self.appsink
        if appsink is None or not appsink.is_eos():
            return False
        self.take_messages()  # an error that came with the end wins
        if self.error is not None:
            raise _copy(self.error)
        return True

    def is_live(self) -> bool:
        """A live source: one that GStreamer runs live (RTSP), or an HTTP response that is a
        stream rather than a file: multipart (a camera's MJPEG), or without a length, unless
        the media itself knows its duration."""
        if self.pipeline is None or runs_live(self.pipeline):
            return self.pipeline is not None
        if not self.http:
            return False
        if self.http["content_type"].startswith("multipart/"):
            return True
        if self.http["length"] is not None:
            return False
        known, duration = self.pipeline.query_duration(Gst.Format.TIME)
        return not known or duration <= 0

    def watch(self, wakeup: Any) -> None:
        """Has `wakeup.set()` called (on GStreamer's threads) whenever a frame reaches the
        appsink, the data ends or an error is posted, so that one thread can wait for many
        streams; a threading.Event serves. GStreamer holds `wakeup` only weakly."""
        ref = weakref.ref(wakeup)
        pipeline, appsink, bus = self.pipeline, self.appsink, self.bus
        appsink.set_property("emit-signals", True)
        pipeline.connect_signal_handler(appsink, "new-sample", _wake_on_sample, ref)
        pipeline.connect_signal_handler(appsink, "eos", _wake, ref)
        bus.enable_sync_message_emission()
        pipeline.destructors.append(bus.disable_sync_message_emission)
        pipeline.connect_signal_handler(bus, "sync-message::error", _wake, ref)

    def stop(self) -> None:
        """Brings the pipeline to NULL, releases what it registered and lets it go; once,
        whichever threads ask (a second waits for the first). The stream holds nothing of
        GStreamer afterwards, so that an exception whose traceback holds the stream keeps no
        pipeline (nor its sockets) alive."""
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
            self.pending = None
            pipeline = self.pipeline
            try:
                stop_starting(pipeline)
                # Going down to NULL is done in set_state itself; the wait (which starts with a
                # pause) is for a pipeline that said otherwise. A loop over many streams that
                # lets one go is not held up.
                if pipeline.set_state(Gst.State.NULL) != Gst.StateChangeReturn.SUCCESS:
                    pipeline.wait_until_null(_NULL_SECONDS)
            finally:
                pipeline.release_resources()
                self.pipeline = self.appsink = self.bus = None

    def stop_later(self) -> None:
        """Has GStreamer bring the pipeline down on a thread of its own, and returns at once."""
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
            self.pending = None
            pipeline, self.pipeline, self.appsink, self.bus = self.pipeline, None, None, None
        pipeline.call_async(_stop_pipeline)


def _stop_pipeline(pipeline: Pipeline) -> None:
    stop_starting(pipeline)
    pipeline.set_state(Gst.State.NULL)
    pipeline.release_resources()


def _wake_on_sample(appsink: Gst.Element, ref: weakref.ref) -> Gst.FlowReturn:
    wakeup = ref()
    if wakeup is not None:
        wakeup.set()
    return Gst.FlowReturn.OK


def _wake(emitter: Gst.Object, *args: Any) -> None:
    wakeup = args[-1]()
    if wakeup is not None:
        wakeup.set()


# ----- the reader -----


@dataclass
class Gap:
    """A stretch without frames while a lost stream was being reconnected."""

    started: float  # time.monotonic() of the last frame before the loss
    ended: float  # time.monotonic() of the first frame after it
    reason: str

    @property
    def seconds(self) -> float:
        return self.ended - self.started


@dataclass
class StreamStats:
    """Counters of one reader."""

    frames: int = 0
    # Frames the appsink let go, unread, because the consumer fell behind (drop_frames=True).
    dropped: int = 0
    opened_at: float = 0.0
    first_frame_at: Optional[float] = None
    last_frame_at: Optional[float] = None
    reconnects: int = 0
    gaps: List[Gap] = field(default_factory=list)
    width: int = 0
    height: int = 0

    @property
    def time_to_first_frame(self) -> Optional[float]:
        """Seconds from opening the stream to the first frame."""
        if self.first_frame_at is None:
            return None
        return self.first_frame_at - self.opened_at

    @property
    def fps(self) -> float:
        """Frames per second delivered since the first frame."""
        if self.first_frame_at is None or self.last_frame_at is None or self.frames < 2:
            return 0.0
        span = self.last_frame_at - self.first_frame_at
        return (self.frames - 1) / span if span > 0 else 0.0


class StreamReader:
    """Reads frames from one stream. Use as a context manager and an iterator.

    :param url: The stream: an rtsp://, rtsps://, http:// or https:// URL (credentials may be
        given in it: user:password@host), a local path or a file:// URL; with `pipeline`, the
        value that fills "{url}"
    :param pipeline: A GStreamer launch string with a "{url}" placeholder, a final
        appsink named main_sink and optionally an element named buffer_src (the point
        where non-keyframes are dropped); None picks the factory from the URL
    :param options: keyframes_only (bool, default False), timeout (seconds to wait for
        the stream's first frame, above 0, default 10), frame_timeout (seconds to wait for each
        further frame, above 0, default 10), drop_frames (bool: let the appsink drop old frames
        when the consumer falls behind, counted in stats.dropped; default False, every frame is
        delivered), reconnect (how many times a stream that fails after it has started is
        rebuilt, default 0; the end of a live source counts as a failure, the end of a file
        does not) and reconnect_backoff (seconds before the first reconnection, doubled after
        each up to a minute, default 0.5); max_frame_bytes (the most memory one frame may take,
        coded or decoded: a larger one, or a server that sends a part without end, fails the
        stream with kind "too-large"; default 64 MiB); for RTSP sources, rtsp_transport ("tcp",
        "udp" or "auto", the default) and latency (milliseconds of jitter buffer, default 200);
        size ((width, height) of the frames: the picture is scaled in the decoder's own format
        before it is converted to BGR, with area averaging when it shrinks, so a small size also
        makes conversion cheap. It is stretched to exactly that size, as cv2.resize does: the
        aspect ratio is kept only when one side is given as 0, which then follows from the
        other; default None, the stream's own size; not with a launch string, where
        vantleconvert's width and height properties do the same)
    :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        (numbers finite; time-outs above 0, reconnect and reconnect_backoff not below 0;
        a bool is not a number)
    :raises StreamSetupError: The URL is of no supported kind (kind "unsupported-source")
    :raises ValueError: The URL holds a NUL or a lone surrogate, which GStreamer cannot carry
    :raises TypeError: The URL is not a str (without `pipeline`)

    Lifetime: close() (or leaving the with block) brings the pipeline down; read() and
    iteration after it raise StreamSetupError with kind "closed" rather than open the stream
    again (open() does that). A reader dropped without close() is collected and releases its
    pipeline, threads and sockets all the same.

    Threads: a reader may be read from several threads; each frame goes to exactly one of them.
    close() from any thread ends the others' waits within a fraction of a second: a waiting
    open(), read() or read_frame() raises StreamSetupError with kind "closed", and an
    iteration (for frame in reader, frames()) that was running ends. Ctrl-C raises
    KeyboardInterrupt within a fraction of a second, whatever the reader waits for, and closes
    it.

    fork(): a reader belongs to the process that opened it. In a child, every call raises
    StreamSetupError with kind "forked" at once and close() only forgets the reader, without
    touching GStreamer; the parent's reader goes on unaffected. A child opens its own streams.
    """

    def __init__(self, url: str, *, pipeline: Optional[str] = None, **options: Any):
        check_varnow(options, SUPPORTED_OPTIONS)
        _check_option_values(options)
        self.url = checked_url(url)
        self.launch = pipeline
        self._factory_class = _factory_class(url, pipeline)
        self.keyframes_only: bool = options.get("keyframes_only", False)
        self.timeout: float = options.get("timeout", DEFAULT_TIMEOUT)
        self.frame_timeout: float = options.get("frame_timeout", DEFAULT_FRAME_TIMEOUT)
        self.drop_frames: bool = options.get("drop_frames", False)
        self.reconnect: int = options.get("reconnect", 0)
        self.reconnect_backoff: float = options.get("reconnect_backoff", 0.5)
        self.max_frame_bytes: int = options.get("max_frame_bytes", DEFAULT_MAX_FRAME_BYTES)
        self._factory_options = {
            name: options[name] for name in _FACTORY_OPTIONS.get(self._factory_class, ()) if name in options
        }
        if pipeline is not None:
            # A launch string that cannot work is refused now, before anything starts.
            CustomPipelineFactory(pipeline, url=url, pipeline_watcher=_unused_watch, keyframes_only=False)
        self.size = _checked_size(options.get("size"), pipeline)
        if self.size is not None:
            self._factory_options["size"] = self.size
        self.stats = StreamStats()
        # What this reader's Frames give as their source; a loop over many streams puts its key here.
        self.source: str = redact_url(url)
        # Guards the state below. Held only for moments, never across a blocking call: a
        # thread that waits for a frame holds the turn (_busy) instead, and the others wait
        # for it on the condition, in slices.
        self._cond = threading.Condition()
        self._state = _NEW
        self._busy = False
        self._failure: Optional[StreamSetupError] = None
        self._closes = 0  # close() calls so far: an iteration that sees one end ends quietly
        self._opened_in: Optional[int] = None  # the process's epoch when the reader opened
        self._pid = os.getpid()
        self._slot = _Slot()
        weakref.finalize(self, _release, self._slot)

    def __repr__(self) -> str:
        return f"<StreamReader {redact_url(self.url)!r} {self._state}, {self.stats.frames} frames>"

    @property
    def pipeline(self) -> Optional[Pipeline]:
        """The pipeline being read, or None."""
        stream = self._slot.stream
        return None if stream is None else stream.pipeline

    # ----- life cycle -----

    def open(self) -> StreamReader:
        """Builds the pipeline and waits for its first frame; opens a closed, failed or ended
        reader again. An open reader stays as it is.

        :raises StreamSetupError: The stream did not start within `timeout` seconds, or failed;
            kind "closed" if another thread closed the reader meanwhile
        """
        self._check_process()
        with self._cond:
            self._take_turn()
            if self._state == _OPEN:
                self._give_turn_locked()
                return self
            self._begin_open()
        try:
            self._start()
        except BaseException as error:
            self._stopped_by(error)
            raise
        finally:
            self._give_turn()
        return self

    def close(self) -> None:
        """Brings the pipeline to NULL and releases everything it registered; the waits of other
        threads end (see the class). Idempotent."""
        if self._opened_in is not None and self._opened_in != _Process.epoch:
            # Inherited through fork(): forgotten, GStreamer left alone (the lock too: a thread
            # of the parent may have held it).
            _release(self._slot)
            self._state = _CLOSED
            return
        with self._cond:
            self._state = _CLOSED
            self._closes += 1
            stream, self._slot.stream = self._slot.stream, None
            self._cond.notify_all()
        if stream is not None:
            stream.stop()

    def __enter__(self) -> StreamReader:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ----- frames -----

    def read(self) -> Optional[np.ndarray]:
        """The next frame, or None at the end of the stream.

        :raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`;
            kind "closed" once the reader is closed
        """
        frame = self.read_frame()
        return None if frame is None else frame.image

    def read_frame(self) -> Optional[Frame]:
        """The next frame with its time, index and keyframe flag, or None at the end of the stream.

        :raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`;
            kind "closed" once the reader is closed
        """
        self._check_process()
        with self._cond:
            while True:
                if self._state == _CLOSED:
                    raise self._closed_error()
                if self._state == _FAILED:
                    raise _copy(self._failure)  # type: ignore[arg-type]
                if self._state == _ENDED:
                    return None
                if not self._busy:
                    break
                self._cond.wait(_SLICE)
            self._busy = True
            opening = self._state == _NEW
            if opening:
                self._begin_open()
        try:
            if opening:
                self._start()
            return self._next_frame()
        except BaseException as error:
            self._stopped_by(error)
            raise
        finally:
            self._give_turn()

    def __iter__(self) -> Iterator[np.ndarray]:
        for frame in self.frames():
            yield frame.image

    def frames(self) -> Iterator[Frame]:
        """Iterates the stream's frames as Frames (iterating the reader itself gives their
        arrays). Ends at the end of the stream, or when the reader is closed meanwhile.

        :raises StreamSetupError: As read_frame(); kind "closed" if the reader was closed before
        """
        return _frames_of(self)

    # ----- the turn -----

    def _take_turn(self) -> None:
        """Waits, in slices, until no other thread drives the stream (called with the condition
        held)."""
        while self._busy:
            self._cond.wait(_SLICE)
        self._busy = True

    def _give_turn_locked(self) -> None:
        self._busy = False
        self._cond.notify_all()

    def _give_turn(self) -> None:
        with self._cond:
            self._give_turn_locked()

    def _begin_open(self) -> None:
        """A new start: fresh counters, no failure (called with the condition held)."""
        self._state = _OPEN
        self._failure = None
        self._opened_in = self._slot.epoch = _Process.epoch
        self._pid = os.getpid()
        self.stats = StreamStats(opened_at=time.monotonic())

    def _stopped_by(self, error: BaseException) -> None:
        """The reader's state after an exception ended the wait of the thread with the turn: a
        failure of the stream is kept (and raised again by later reads); anything else (Ctrl-C)
        closes the reader. Either way the pipeline is released."""
        if isinstance(error, StreamSetupError):
            if error.kind == "closed":
                return
            with self._cond:
                if self._state != _CLOSED:
                    # A copy, without the traceback that leads back to this reader (a cycle
                    # would keep the reader, and what it holds, until the collector ran).
                    self._state, self._failure = _FAILED, _copy(error)
            self._drop_stream()
        else:
            self.close()

    def _check_process(self) -> None:
        if self._opened_in is not None and self._opened_in != _Process.epoch:
            raise StreamSetupError(
                f"This reader was opened in process {self._pid} and process {os.getpid()} inherited it "
                "through fork(): a child process must open its own streams",
                kind="forked",
                url=self.source,
            )

    def _closed_error(self) -> StreamSetupError:
        return StreamSetupError("The reader is closed", kind="closed", url=self.source)

    # ----- the waits, with the turn -----

    def _start(self) -> None:
        """Builds the pipeline and waits for its first frame, which the next read delivers."""
        stream = self._start_without_waiting()
        try:
            deadline = time.monotonic() + self.timeout
            while True:
                if self._state == _CLOSED:
                    raise self._closed_error()
                sample = stream.pull(min(max(deadline - time.monotonic(), 0.0), _SLICE))
                if self._state == _CLOSED:
                    raise self._closed_error()
                if sample is not None or stream.at_end():
                    stream.pending = sample
                    return
                if time.monotonic() >= deadline:
                    raise StreamSetupError(START_TIMEOUT, kind="timeout", url=self.source)
        except StreamSetupError as error:
            self._drop_stream(stream)
            if self._state == _CLOSED and error.kind != "closed":
                raise self._closed_error() from None
            raise
        except BaseException:
            self._drop_stream(stream)
            raise

    def _start_without_waiting(self) -> _Stream:
        """Builds the pipeline and makes it the reader's stream; returns at once, the pipeline
        on its way to PLAYING."""
        keyframes = _KeyframeTimes()
        pipeline = _build(self._factory(keyframes))
        if self.launch is not None:
            # A launch string has its own decoders: they are watched from here on.
            keyframes.watch(pipeline)
        stream = _Stream(pipeline, self.url, keyframes)
        with self._cond:
            closed = self._state == _CLOSED
            if not closed:
                self._slot.stream = stream
        if closed:
            stream.stop()
            raise self._closed_error()
        return stream

    def _next_frame(self) -> Optional[Frame]:
        """The next frame; a stream that fails after it started is rebuilt while `reconnect`
        allows."""
        restart = False
        while True:
            try:
                if restart:
                    self._start()
                    restart = False
                return self._frame()
            except StreamSetupError as error:
                if not self._may_reconnect(error):
                    raise
                self._back_off(str(error))
                restart = True

    def _may_reconnect(self, error: StreamSetupError) -> bool:
        """Whether a stream that failed with `error` is rebuilt: one that had started, while
        `reconnect` allows."""
        return error.kind != "closed" and self.stats.frames > 0 and self.stats.reconnects < self.reconnect

    def _frame(self) -> Optional[Frame]:
        stream = self._slot.stream
        if stream is None:
            raise self._closed_error()
        if stream.pending is not None:
            sample, stream.pending = stream.pending, None
            return self._deliver(stream, sample)
        deadline = time.monotonic() + self.frame_timeout
        while True:
            result = self._step(stream, min(max(deadline - time.monotonic(), 0.0), _SLICE))
            if result is not None:
                return None if result is _END else result  # type: ignore[return-value]
            if time.monotonic() >= deadline:
                raise StreamSetupError(
                    f"No frame within {self.frame_timeout} seconds", kind="timeout", url=self.source
                )

    def _step(self, stream: _Stream, seconds: float) -> Union[Frame, object, None]:
        """One step of a frame wait, blocking `seconds` at most (0: not at all): a Frame, _END
        at the end of a file, or None when nothing came.

        :raises StreamSetupError: The stream failed (a live source that ended too), or the
            reader is closed
        """
        if self._state == _CLOSED:
            raise self._closed_error()
        try:
            sample = stream.pull(seconds)
            if sample is not None:
                return self._deliver(stream, sample)
            ended = stream.at_end()
        except StreamSetupError:
            # Whatever a pipeline says while close() brings it down is no failure of the stream.
            if self._state == _CLOSED:
                raise self._closed_error() from None
            raise
        if self._state == _CLOSED:
            raise self._closed_error()
        if ended:
            if stream.is_live():
                raise failure("disconnected", self.url)
            with self._cond:
                if self._state != _CLOSED:
                    self._state = _ENDED
            self._drop_stream(stream)
            return _END
        return None

    def _back_off(self, reason: str) -> None:
        """Lets the failed pipeline go and waits out the back-off before the next attempt."""
        deadline = time.monotonic() + self._lose_stream(reason)
        with self._cond:
            while self._state != _CLOSED:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self._cond.wait(min(left, _SLICE))
        raise self._closed_error()

    def _lose_stream(self, reason: str) -> float:
        """A stream lost after it started: notes the gap, lets the pipeline go, counts and logs
        the reconnection; returns the seconds to wait before it (the back-off)."""
        stats = self.stats
        if not stats.gaps or stats.gaps[-1].ended != 0.0:
            stats.gaps.append(Gap(started=stats.last_frame_at or time.monotonic(), ended=0.0, reason=reason))
        self._drop_stream()
        delay = min(self.reconnect_backoff * 2.0 ** min(stats.reconnects, 32), _MAX_BACKOFF_SECONDS)
        stats.reconnects += 1
        shown = redact_text(reason, self.url)
        logger.warning(f"Stream {self.source} failed ({shown}); reconnecting in {delay:.1f} s")
        return delay

    def _drop_stream(self, stream: Optional[_Stream] = None) -> None:
        """Brings `stream` (by default the current one) down; it is no longer the reader's."""
        with self._cond:
            if stream is None:
                stream = self._slot.stream
            if self._slot.stream is stream:
                self._slot.stream = None
        if stream is not None:
            stream.stop()

    # ----- for one thread that serves many readers -----

    def _launch(self, wakeup: Any) -> _Stream:
        """Opens the reader for a loop that serves many streams from one thread, without waiting
        for anything: builds the pipeline and returns its stream at once. `wakeup.set()` is
        called (on GStreamer's threads) whenever a frame, the end or an error arrives, and once
        now for what came before; `_poll` then takes what came without blocking. The loop holds
        the reader's turn until it gives it back (`_give_turn`), after close().
        """
        self._check_process()
        with self._cond:
            self._take_turn()
            self._begin_open()
        try:
            return self._relaunch(wakeup)
        except BaseException as error:
            self._stopped_by(error)
            self._give_turn()
            raise

    def _relaunch(self, wakeup: Any) -> _Stream:
        """Starts the stream again after `_lose_stream`, as `_launch` starts it but keeping the
        reader's counters, for the loop that holds the turn. A failure leaves no pipeline behind.

        :raises StreamSetupError: The pipeline could not be built, or the reader is closed
        """
        stream = self._start_without_waiting()
        try:
            stream.watch(wakeup)
        except BaseException:
            self._drop_stream(stream)
            raise
        wakeup.set()
        return stream

    def _poll(self, stream: _Stream) -> Union[Frame, object, None]:
        """One step of `stream` that does not block: a Frame, _END at the end of a file, or None
        when nothing has come.

        :raises StreamSetupError: The stream failed (kind "disconnected" for a live source that
            ended: the loop decides about reconnecting), or the reader is closed
        """
        return self._step(stream, 0.0)

    # ----- internals -----

    def _factory(self, keyframes: _KeyframeTimes) -> Any:
        common = {
            "url": self.url,
            "pipeline_watcher": _unused_watch,
            "keyframes_only": self.keyframes_only,
            "drop_frames": self.drop_frames,
        }
        if self.launch is not None:
            factory = CustomPipelineFactory(self.launch, **common)
        else:
            factory = self._factory_class(**common, **self._factory_options)
            # The decoder set-up probes its decoder's input with it before any frame flows.
            factory._decoder_input_probe = keyframes.note
        factory._max_frame_bytes = self.max_frame_bytes
        return factory

    def _deliver(self, stream: _Stream, sample: Gst.Sample) -> Frame:
        received = time.time()
        # Over the sample's own memory: the converter wrote these pixels once, and the buffer
        # goes back to its pool when the array and its views are gone.
        image = sample_as_ndarray(sample)
        now = time.monotonic()
        stats = self.stats
        if stats.first_frame_at is None:
            stats.first_frame_at = now
        stats.last_frame_at = now
        index = stats.frames
        stats.frames += 1
        stream.frames += 1
        stats.height, stats.width = image.shape[0], image.shape[1]
        buffer = sample.get_buffer()
        if self.drop_frames:
            # The appsink numbers the frames that reach it: the numbers skipped are frames it
            # let go for this reader.
            arrival = buffer.offset
            if arrival != Gst.BUFFER_OFFSET_NONE:
                stats.dropped += max(arrival - stream.last_arrival - 1, 0)
                stream.last_arrival = arrival
        if stats.gaps and stats.gaps[-1].ended == 0.0:
            stats.gaps[-1].ended = now
        pts = buffer.pts
        keyframe = stream.keyframes.is_keyframe(pts, buffer)
        return Frame(image, _stream_seconds(sample, pts), index, keyframe, received, self.source)


def _copy(error: StreamSetupError) -> StreamSetupError:
    """A new exception with the text and attributes of `error`, for another thread to raise."""
    return StreamSetupError(
        str(error),
        kind=error.kind,
        status=error.status,
        gst_message=error.gst_message,
        gst_debug=error.gst_debug,
        url=error.url,
    )


def _check_option_values(options: Dict[str, Any]) -> None:
    """The values of options whose type check_varnow has passed: numbers finite and in range,
    and no bool where a number is due.

    :raises InvalidRuntimeOptionError: The first option out of range
    """
    for name, value in options.items():
        limits = _RANGES.get(name)
        if limits is None:
            continue
        low, high, what = limits
        if isinstance(value, bool):
            raise InvalidRuntimeOptionError(f"Option '{name}' must be {what}, not a bool ({value})")
        try:
            number = float(value)
        except OverflowError:
            number = math.inf
        if not (
            math.isfinite(number) and (number > low[0] if low[1] else number >= low[0]) and number <= high
        ):
            raise InvalidRuntimeOptionError(f"Option '{name}' must be {what}, not {value!r}")
    transport = options.get("rtsp_transport")
    if transport is not None and transport not in ("tcp", "udp", "auto"):
        raise InvalidRuntimeOptionError(
            f"Option 'rtsp_transport' must be 'tcp', 'udp' or 'auto', not {transport!r}"
        )


# The numeric options: (lowest value, whether it is excluded), highest value, what they must be.
_RANGES: Dict[str, Tuple[Tuple[float, bool], float, str]] = {
    "timeout": ((0, True), math.inf, "a finite number of seconds above 0"),
    "frame_timeout": ((0, True), math.inf, "a finite number of seconds above 0"),
    "reconnect_backoff": ((0, False), math.inf, "a finite number of seconds, 0 or more"),
    "reconnect": ((0, False), math.inf, "a whole number, 0 or more"),
    "latency": ((0, False), 2**32 - 1, "a whole number of milliseconds from 0 to 4294967295"),
    "max_frame_bytes": ((1, False), math.inf, "a whole number of bytes, 1 or more"),
}


class _KeyframeTimes:
    """Which decoded frames were keyframes.

    Decoders clear the DELTA_UNIT flag on every picture they output, so the flag is read where
    coded frames enter a decoder: a probe there notes the times of keyframes, and a decoded
    frame with one of those times was a keyframe. Frames the probe has not seen (no decoder
    found yet, no time, or decoded before the probe was in place, as the first frames of a
    launch string may be) keep what the decoded buffer says.
    """

    # Noted times kept before those already behind the stream are forgotten.
    _KEEP = 64

    def __init__(self) -> None:
        # Appended on streaming threads, taken on the reader's: a deque needs no lock for that.
        self._noted: deque = deque()
        self._times: set = set()
        self._first: Optional[int] = None

    def watch(self, pipeline: Pipeline) -> None:
        """Probes the input of every video decoder the pipeline has or will have."""
        pipeline.connect_signal_handler(pipeline, "deep-element-added", _on_element_added, self)
        for element in elements_of(pipeline):
            _probe_decoder(pipeline, element, self)

    def note(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        buffer = info.get_buffer()
        if buffer is not None:
            stamp = buffer.pts if buffer.pts != Gst.CLOCK_TIME_NONE else buffer.dts
            if stamp != Gst.CLOCK_TIME_NONE:
                self._noted.append((stamp, not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)))
        return Gst.PadProbeReturn.OK

    def is_keyframe(self, pts: int, buffer: Gst.Buffer) -> bool:
        noted, times = self._noted, self._times
        while noted:
            stamp, key = noted.popleft()
            if self._first is None:
                self._first = stamp
            if key:
                times.add(stamp)
        if self._first is None or pts == Gst.CLOCK_TIME_NONE or pts < self._first:
            return not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)
        if len(times) > self._KEEP:
            # Decoders output in presentation order: nothing earlier than this frame is to come.
            self._times = times = {t for t in times if t >= pts}
        return pts in times


def _on_element_added(
    pipeline: Pipeline, sub_bin: Gst.Bin, element: Gst.Element, keyframes: _KeyframeTimes
) -> None:
    _probe_decoder(pipeline, element, keyframes)


def _probe_decoder(pipeline: Pipeline, element: Gst.Element, keyframes: _KeyframeTimes) -> None:
    factory = element.get_factory()
    klass = factory.get_metadata("klass") if factory is not None else None
    if not klass or "Decoder" not in klass or not ("Video" in klass or "Image" in klass):
        return
    pad = element.get_static_pad("sink")
    if pad is not None:
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, keyframes.note)


def _stream_seconds(sample: Gst.Sample, pts: int) -> Optional[float]:
    """A buffer's presentation time in seconds on the stream's own timeline (through the sample's
    segment, so that where the stream was entered does not shift it); None without a time."""
    if pts == Gst.CLOCK_TIME_NONE:
        return None
    segment = sample.get_segment()
    if segment is None or segment.format != Gst.Format.TIME:
        return pts / Gst.SECOND
    sign, stream_time = segment.to_stream_time_full(Gst.Format.TIME, pts)
    if sign == 0:
        return None
    return sign * stream_time / Gst.SECOND


def _checked_size(size: Any, launch: Optional[str]) -> Optional[Tuple[int, int]]:
    """The `size` option as a frame size, or None."""
    if size is None:
        return None
    if launch is not None:
        raise InvalidRuntimeOptionError(
            "Option 'size' does not apply to a launch string: scale in it with "
            "vantleconvert's width and height properties"
        )
    try:
        return frame_size(size)
    except ValueError as error:
        raise InvalidRuntimeOptionError(f"Option {error}") from None


def _factory_class(url: object, launch: Optional[str]) -> type:
    """The factory for `url`, from the one table; a launch string takes the custom factory."""
    if launch is not None:
        return CustomPipelineFactory
    if not isinstance(url, str):
        raise TypeError(f"The stream URL must be a str, not {type(url).__name__}")
    scheme = "" if os.path.exists(url) else scheme_of(url)
    factory = FACTORIES.get(scheme)
    if factory is None:
        raise StreamSetupError(
            f"Unsupported source {redact_url(url)!r}: the reader takes {SUPPORTED_SOURCES}",
            kind="unsupported-source",
            url=redact_url(url),
        )
    return factory


def _frames_of(owner: Any) -> Iterator[Frame]:
    """The frames of `owner.read_frame()` (a reader or a set of streams) until it gives None;
    ends quietly when `owner` is closed meanwhile (its count of close() calls moved on)."""
    closes = owner._closes
    while True:
        try:
            frame = owner.read_frame()
        except StreamSetupError as error:
            if error.kind == "closed" and owner._closes != closes:
                return
            raise
        if frame is None:
            return
        yield frame


def _unused_watch(bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
    """The watcher the reader gives its factories. It is never called: see _build."""
    return True


def _build(factory: Any) -> Pipeline:
    """Builds the pipeline with no watch left on its bus.

    The reader takes the messages off the bus itself, in its sliced waits. A factory registers
    its watcher in the thread-default main context; a main loop of the application iterating
    that context would take the messages first. So the watch is registered in a context of its
    own, which nothing ever iterates, and removed as soon as the pipeline is built. Nothing that
    GLib or GStreamer holds refers to the reader.
    """
    context = GLib.MainContext.new()
    context.push_thread_default()
    try:
        pipeline = factory.build()
    finally:
        context.pop_thread_default()
    pipeline.get_bus().remove_watch()
    return pipeline


def _response_of(headers: Gst.Structure) -> Dict[str, Any]:
    """Content type and length of the response that an http-headers message describes."""
    response = headers.get_value("response-headers")
    content_type, length = "", None
    if isinstance(response, Gst.Structure):
        for index in range(response.n_fields()):
            name = response.nth_field_name(index)
            value = response.get_value(name)
            if name.lower() == "content-type":
                content_type = str(value).lower()
            elif name.lower() == "content-length":
                try:
                    length = int(value)
                except (TypeError, ValueError):
                    length = None
    return {"content_type": content_type, "length": length}


def open_stream(
    url: str,
    *,
    pipeline: Optional[str] = None,
    keyframes_only: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
    **options: Any,
) -> StreamReader:
    """Opens a stream and returns its reader, with its first frame received.

    :param url: The stream: an rtsp://, rtsps://, http:// or https:// URL, a local path or a
        file:// URL (see StreamReader)
    :param pipeline: A launch string with a "{url}" placeholder, or None to pick the source from
        the URL
    :param keyframes_only: If True, only keyframes are decoded
    :param timeout: Seconds to wait for the stream's first frame
    :param options: Further reader options (see StreamReader)
    :raises StreamSetupError: The source is not supported, the stream did not start in time, or
        it failed (the exception's `kind` says how)
    :raises InvalidRuntimeOptionError: An option is unknown or of the wrong type
    """
    reader = StreamReader(url, pipeline=pipeline, keyframes_only=keyframes_only, timeout=timeout, **options)
    return reader.open()
