"""Reading a stream frame by frame: `open_stream` and `StreamReader`.

    from vantle import open_stream

    with open_stream("http://camera.local/video.mjpg", timeout=10) as stream:
        for frame in stream:          # read-only uint8 arrays, (height, width, 3), BGR
            ...
        print(stream.stats)

    with open_stream(url) as stream:
        for frame in stream.frames():  # Frame: the array with its time, index and keyframe flag
            print(frame.pts, frame.image.shape)

A reader builds a pipeline with the factory that suits the source (a launch string with
"{url}" picks the custom factory, anything else the HTTP one), waits until it plays,
pulls decoded samples with a per-frame time-out and converts them to arrays. Errors on
the pipeline's bus reach the caller as StreamSetupError carrying GStreamer's message
and debug text. On exit, normal or not, the pipeline is brought to NULL and everything
it registered is released.
"""

from __future__ import annotations

import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np
from gi.repository import GLib, Gst

from vantle.errors import StreamSetupError
from vantle.frame import Frame, redact_url
from vantle.logger import logger
from vantle.pipeline_factories.custom import CustomPipelineFactory
from vantle.pipeline_factories.http import HTTPPipelineFactory
from vantle.stream_reader.varnow import check_varnow
from vantle.utils.gstreamer import Pipeline, framerate_from_structure, sample_to_ndarray

# Options of a reader, with the types they must have.
SUPPORTED_OPTIONS: Dict[str, Any] = {
    "keyframes_only": bool,
    "timeout": (int, float),
    "frame_timeout": (int, float),
    "drop_frames": bool,
    "reconnect": int,
    "reconnect_backoff": (int, float),
}

DEFAULT_TIMEOUT = 10.0
DEFAULT_FRAME_TIMEOUT = 10.0

# How long one blocking pull waits before the reader looks at the bus again.
_POLL_SECONDS = 0.05

# The least time given to a pipeline to reach NULL when the reader closes. Not the start
# budget alone: a budget of 0 would make every close fail (the wait checks the clock
# before it looks at the state) and hide the error that made the reader close.
_MIN_NULL_SECONDS = 1.0


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
    # Frames the stream carried but the reader never delivered, estimated from gaps in
    # the presentation times (not counted when only keyframes are decoded).
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

    :param url: The stream URL (HTTP), or the value that fills "{url}" in `pipeline`
    :param pipeline: A GStreamer launch string with a "{url}" placeholder, a final
        appsink named main_sink and optionally an element named buffer_src (the point
        where non-keyframes are dropped); None builds the HTTP pipeline
    :param options: keyframes_only (bool, default False), timeout (seconds to wait for
        the stream to start, default 10), frame_timeout (seconds to wait for each frame,
        default 10), drop_frames (bool: let the appsink drop old frames when the consumer
        falls behind; default False, every frame is delivered), reconnect (how many times
        a stream that fails after it has started is rebuilt, default 0) and
        reconnect_backoff (seconds before the first reconnection, doubled after each,
        default 0.5)
    :raises InvalidRuntimeOptionError: An option is unknown or of the wrong type
    """

    def __init__(self, url: str, *, pipeline: Optional[str] = None, **options: Any):
        check_varnow(options, SUPPORTED_OPTIONS)
        self.url = url
        self.launch = pipeline
        self.keyframes_only: bool = options.get("keyframes_only", False)
        self.timeout: float = options.get("timeout", DEFAULT_TIMEOUT)
        self.frame_timeout: float = options.get("frame_timeout", DEFAULT_FRAME_TIMEOUT)
        self.drop_frames: bool = options.get("drop_frames", False)
        self.reconnect: int = options.get("reconnect", 0)
        self.reconnect_backoff: float = options.get("reconnect_backoff", 0.5)
        self.stats = StreamStats()
        # What this reader's Frames give as their source; a loop over many streams puts its key here.
        self.source: str = redact_url(url)
        self.pipeline: Optional[Pipeline] = None
        self._context: Optional[GLib.MainContext] = None
        self._sync_errors: List[Tuple[str, str]] = []
        self._last_pts: Optional[int] = None
        self._frame_duration: Optional[int] = None
        self._keyframes = _KeyframeTimes()
        self._eos = False
        self._reconnecting = False

    # ----- life cycle -----

    def open(self) -> StreamReader:
        """Builds the pipeline and waits until it plays.

        :raises StreamSetupError: The stream did not start within `timeout` seconds, or failed
        """
        if self.pipeline is not None:
            return self
        self.stats = StreamStats(opened_at=time.monotonic())
        self._start()
        return self

    def close(self) -> None:
        """Brings the pipeline to NULL and releases everything it registered. Idempotent."""
        pipeline, self.pipeline = self.pipeline, None
        if pipeline is None:
            return
        try:
            pipeline.set_state(Gst.State.NULL)
            pipeline.wait_until_null(max(self.timeout, _MIN_NULL_SECONDS))
        finally:
            pipeline.get_bus().set_sync_handler(None)
            pipeline.release_resources()
            self._context = None

    def __enter__(self) -> StreamReader:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
            pass

    # ----- frames -----

    def read(self) -> Optional[np.ndarray]:
        """The next frame, or None at the end of the stream.

        :raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`
        """
        frame = self.read_frame()
        return None if frame is None else frame.image

    def read_frame(self) -> Optional[Frame]:
        """The next frame with its time, index and keyframe flag, or None at the end of the stream.

        :raises StreamSetupError: The stream failed, or no frame came within `frame_timeout`
        """
        if self.pipeline is None and not self._reconnecting:
            if self._eos:
                return None
            self.open()
        while True:
            try:
                if self._reconnecting:
                    self._start()
                    self._reconnecting = False
                return self._read_once()
            except StreamSetupError as error:
                if self.stats.frames == 0 or self.stats.reconnects >= self.reconnect:
                    self._reconnecting = False
                    raise
                self._prepare_reconnect(str(error))

    def __iter__(self) -> Iterator[np.ndarray]:
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame

    def frames(self) -> Iterator[Frame]:
        """Iterates the stream's frames as Frames (iterating the reader itself gives their arrays)."""
        while True:
            frame = self.read_frame()
            if frame is None:
                return
            yield frame

    # ----- internals -----

    def _start(self) -> None:
        self._eos = False
        self._last_pts = None
        self._keyframes = _KeyframeTimes()
        # The bus watch attaches to the thread-default main context of the thread that
        # builds the pipeline: a context of the reader's own, iterated by the reader.
        context = GLib.MainContext.new()
        context.push_thread_default()
        try:
            pipeline = self._factory().build()
        finally:
            context.pop_thread_default()
        if not self._keyframes.watching:
            # The factory had no hook before its pipeline played (a launch string): decoders
            # are watched from here on.
            self._keyframes.watch(pipeline)
        self._context = context
        self.pipeline = pipeline
        # The wait below takes error messages off the bus and keeps only their text; a
        # synchronous handler sees each message first and keeps GStreamer's debug text too.
        errors = self._sync_errors = []
        bus = pipeline.get_bus()
        bus.set_sync_handler(_record_error, errors)
        # build() has already asked the pipeline to play, so an early error (a refused
        # connection fails within a millisecond) may be queued on the bus before the handler
        # was in place. Take it off, keep its text, and post it again for the wait below.
        early = bus.pop_filtered(Gst.MessageType.ERROR)
        if early is not None:
            errors.insert(0, _error_text(early))
            bus.post(early)
        try:
            if not self.drop_frames:
                # The HTTP factory has done this before any frame could arrive; a custom
                # launch string starts its frames flowing inside build(), so it is set here.
                pipeline.appsink.set_property("drop", False)
            pipeline.wait_until_playing(self.timeout)
        except StreamSetupError as error:
            self.close()
            detailed = self._detailed_error()
            if detailed is not None:
                raise detailed from error
            raise
        except BaseException:
            self.close()
            raise

    def _factory(self) -> Any:
        if self.launch is not None:
            return CustomPipelineFactory(
                self.launch, url=self.url, pipeline_watcher=self._watch, keyframes_only=self.keyframes_only
            )
        return _HTTPFactory(
            url=self.url,
            pipeline_watcher=self._watch,
            keyframes_only=self.keyframes_only,
            drop_frames=self.drop_frames,
            keyframes=self._keyframes,
        )

    def _watch(self, bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
        # Errors are taken by the synchronous handler; the watch keeps the bus's queue
        # drained while the reader iterates its context.
        return True

    def _detailed_error(self) -> Optional[StreamSetupError]:
        """The first error of the stream with GStreamer's message and debug text, if any."""
        if not self._sync_errors:
            return None
        message, debug = self._sync_errors[0]
        error = StreamSetupError(f"{message} ({debug})" if debug else message)
        error.gst_message, error.gst_debug = message, debug  # type: ignore[attr-defined]
        return error

    def _raise_bus_error(self) -> None:
        if self._context is not None:
            while self._context.iteration(False):
                pass
        error = self._detailed_error()
        if error is not None:
            raise error

    def _read_once(self) -> Optional[Frame]:
        pipeline = self.pipeline
        assert pipeline is not None
        appsink = pipeline.appsink
        deadline = time.monotonic() + self.frame_timeout
        while True:
            self._raise_bus_error()
            remaining = deadline - time.monotonic()
            sample = appsink.try_pull_sample(int(min(max(remaining, 0.0), _POLL_SECONDS) * Gst.SECOND))
            if sample is not None:
                return self._deliver(sample)
            if appsink.is_eos():
                self._raise_bus_error()
                self._eos = True
                self.close()
                return None
            if remaining <= 0:
                raise StreamSetupError(f"No frame within {self.frame_timeout} seconds")

    def _deliver(self, sample: Gst.Sample) -> Frame:
        received = time.time()
        image = sample_to_ndarray(sample)
        now = time.monotonic()
        stats = self.stats
        if stats.first_frame_at is None:
            stats.first_frame_at = now
        stats.last_frame_at = now
        index = stats.frames
        stats.frames += 1
        stats.height, stats.width = image.shape[0], image.shape[1]
        self._count_dropped(sample)
        if stats.gaps and stats.gaps[-1].ended == 0.0:
            stats.gaps[-1].ended = now
        buffer = sample.get_buffer()
        pts = buffer.pts
        keyframe = self._keyframes.is_keyframe(pts, buffer)
        return Frame(image, _stream_seconds(sample, pts), index, keyframe, received, self.source)

    def _count_dropped(self, sample: Gst.Sample) -> None:
        pts = sample.get_buffer().pts
        if self._frame_duration is None:
            try:
                fps = framerate_from_structure(sample.get_caps().get_structure(0))
            except RuntimeError:
                fps = 0.0
            self._frame_duration = int(Gst.SECOND / fps) if fps > 0 else 0
        if pts == Gst.CLOCK_TIME_NONE:
            return
        if self._last_pts is not None and self._frame_duration and not self.keyframes_only:
            missed = round((pts - self._last_pts) / self._frame_duration) - 1
            if missed > 0:
                self.stats.dropped += missed
        self._last_pts = pts

    def _prepare_reconnect(self, reason: str) -> None:
        """Tears the failed pipeline down and waits out the back-off before the next attempt."""
        stats = self.stats
        if not stats.gaps or stats.gaps[-1].ended != 0.0:
            stats.gaps.append(Gap(started=stats.last_frame_at or time.monotonic(), ended=0.0, reason=reason))
        self.close()
        delay = self.reconnect_backoff * (2**stats.reconnects)
        stats.reconnects += 1
        logger.warning(f"Stream {self.url} failed ({reason}); reconnecting in {delay:.1f} s")
        time.sleep(delay)
        self._frame_duration = None
        self._reconnecting = True


class _HTTPFactory(HTTPPipelineFactory):
    """The HTTP factory, with the appsink told whether to drop frames before any can reach it."""

    def __init__(
        self,
        *,
        url: str,
        pipeline_watcher: Any,
        keyframes_only: bool,
        drop_frames: bool,
        keyframes: Optional[_KeyframeTimes] = None,
    ):
        super().__init__(url=url, pipeline_watcher=pipeline_watcher, keyframes_only=keyframes_only)
        self._drop_frames = drop_frames
        self._keyframes = keyframes

    def _set_up_decoder(self, source: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None:
        # build() calls this once the appsink exists and before the pipeline plays, and frames
        # reach the appsink only through the decoder linked here. Told after build() returned,
        # an appsink of a reader whose thread had been held up meanwhile had dropped all but
        # the last few frames of a file.
        pipeline.appsink.set_property("drop", self._drop_frames)
        if self._keyframes is not None:
            # Before the pipeline plays, so that the decoder's first input is seen.
            self._keyframes.watch(pipeline)
        super()._set_up_decoder(source, pad, pipeline)


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
        self.watching = False

    def watch(self, pipeline: Pipeline) -> None:
        """Probes the input of every video decoder the pipeline has or will have."""
        self.watching = True
        pipeline.connect_signal_handler(pipeline, "deep-element-added", _on_element_added, self)
        for element in _elements(pipeline):
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


def _elements(pipeline: Pipeline) -> List[Gst.Element]:
    """Every element in the pipeline and in its bins, read again whenever a bin changes meanwhile."""
    iterator = pipeline.iterate_recurse()
    found: List[Gst.Element] = []
    while True:
        result, element = iterator.next()
        if result == Gst.IteratorResult.OK:
            found.append(element)
        elif result == Gst.IteratorResult.RESYNC:
            iterator.resync()
            found.clear()
        else:
            return found


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


def _record_error(bus: Gst.Bus, message: Gst.Message, errors: List[Tuple[str, str]]) -> Gst.BusSyncReply:
    """Bus sync handler: keeps the first error's message and debug text (any thread)."""
    if message.type == Gst.MessageType.ERROR and not errors:
        errors.append(_error_text(message))
    return Gst.BusSyncReply.PASS


def _error_text(message: Gst.Message) -> Tuple[str, str]:
    """GStreamer's message and debug text of an ERROR message."""
    error, debug = message.parse_error()
    return error.message, debug or ""


def open_stream(
    url: str,
    *,
    pipeline: Optional[str] = None,
    keyframes_only: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
    **options: Any,
) -> StreamReader:
    """Opens a stream and returns its reader, already playing.

    :param url: The stream URL
    :param pipeline: A launch string with a "{url}" placeholder, or None for HTTP
    :param keyframes_only: If True, only keyframes are decoded
    :param timeout: Seconds to wait for the stream to start
    :param options: Further reader options (see StreamReader)
    :raises StreamSetupError: The stream did not start in time, or failed
    :raises InvalidRuntimeOptionError: An option is unknown or of the wrong type
    """
    reader = StreamReader(url, pipeline=pipeline, keyframes_only=keyframes_only, timeout=timeout, **options)
    return reader.open()
