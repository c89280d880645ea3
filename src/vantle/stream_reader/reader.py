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
a per-frame time-out and converts them to arrays. Its waits are sliced: between slices it takes
the messages off the pipeline's bus itself, the one route by which errors reach the caller,
as StreamSetupError saying what happened (see its `kind`). A live source (a camera) that ends
or fails after it started is rebuilt while `reconnect` allows; a file's end is the end. On
exit, normal or not, the pipeline is brought to NULL and everything it registered is released.
"""

from __future__ import annotations

import os
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np
from gi.repository import GLib, Gst

from vantle._urls import redact_url, scheme_of
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError
from vantle.frame import Frame
from vantle.logger import logger
from vantle.pipeline_factories.base import frame_size
from vantle.pipeline_factories.custom import CustomPipelineFactory
from vantle.pipeline_factories.file import FilePipelineFactory
from vantle.pipeline_factories.http import HTTPPipelineFactory
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

# How long one blocking pull waits before the reader looks at the bus again.
_POLL_SECONDS = 0.05

# The least time given to a pipeline to reach NULL when the reader closes. Not the start
# budget alone: a budget of 0 would make every close fail (the wait checks the clock
# before it looks at the state) and hide the error that made the reader close.
_MIN_NULL_SECONDS = 1.0

START_TIMEOUT = "Timeout while waiting for stream to start"


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
        the stream's first frame, default 10), frame_timeout (seconds to wait for each further
        frame, default 10), drop_frames (bool: let the appsink drop old frames when the
        consumer falls behind, counted in stats.dropped; default False, every frame is
        delivered), reconnect (how many times a stream that fails after it has started is
        rebuilt, default 0; the end of a live source counts as a failure, the end of a file
        does not) and reconnect_backoff (seconds before the first reconnection, doubled after
        each, default 0.5); for RTSP sources, rtsp_transport ("tcp", "udp" or "auto", the
        default) and latency (milliseconds of jitter buffer, default 200); size ((width,
        height) of the frames: the picture is scaled in the decoder's own format before it is
        converted to BGR, with area averaging when it shrinks, so a small size also makes
        conversion cheap. It is stretched to exactly that size, as cv2.resize does: the
        aspect ratio is kept only when one side is given as 0, which then follows from the
        other; default None, the stream's own size; not with a launch string, where
        vantleconvert's width and height properties do the same)
    :raises InvalidRuntimeOptionError: An option is unknown or of the wrong type
    :raises StreamSetupError: The URL is of no supported kind (kind "unsupported-source")
    """

    def __init__(self, url: str, *, pipeline: Optional[str] = None, **options: Any):
        check_varnow(options, SUPPORTED_OPTIONS)
        self.url = url
        self.launch = pipeline
        self._factory_class = _factory_class(url, pipeline)
        self.keyframes_only: bool = options.get("keyframes_only", False)
        self.timeout: float = options.get("timeout", DEFAULT_TIMEOUT)
        self.frame_timeout: float = options.get("frame_timeout", DEFAULT_FRAME_TIMEOUT)
        self.drop_frames: bool = options.get("drop_frames", False)
        self.reconnect: int = options.get("reconnect", 0)
        self.reconnect_backoff: float = options.get("reconnect_backoff", 0.5)
        self._factory_options = {
            name: options[name] for name in _FACTORY_OPTIONS.get(self._factory_class, ()) if name in options
        }
        self.size = _checked_size(options.get("size"), pipeline)
        if self.size is not None:
            self._factory_options["size"] = self.size
        self.stats = StreamStats()
        # What this reader's Frames give as their source; a loop over many streams puts its key here.
        self.source: str = redact_url(url)
        self.pipeline: Optional[Pipeline] = None
        self._pending: Optional[Gst.Sample] = None  # the first frame, taken while opening
        self._error: Optional[StreamSetupError] = None  # the first error on the bus
        self._http: Dict[str, Any] = {}  # what the HTTP source said of its response
        self._last_arrival = -1
        self._pipeline_frames = 0  # delivered by the current pipeline
        self._keyframes = _KeyframeTimes()
        self._eos = False
        self._reconnecting = False

    def __repr__(self) -> str:
        state = "open" if self.pipeline is not None else "closed"
        return f"<StreamReader {redact_url(self.url)!r} {state}, {self.stats.frames} frames>"

    # ----- life cycle -----

    def open(self) -> StreamReader:
        """Builds the pipeline and waits for its first frame.

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
        self._pending = None
        if pipeline is None:
            return
        try:
            pipeline.set_state(Gst.State.NULL)
            pipeline.wait_until_null(max(self.timeout, _MIN_NULL_SECONDS))
        finally:
            pipeline.release_resources()

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
                    self.close()
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

    def _factory(self) -> Any:
        common = {
            "url": self.url,
            "pipeline_watcher": _unused_watch,
            "keyframes_only": self.keyframes_only,
            "drop_frames": self.drop_frames,
        }
        if self.launch is not None:
            return CustomPipelineFactory(self.launch, **common)
        factory = self._factory_class(**common, **self._factory_options)
        # The decoder set-up probes its decoder's input with it before any frame flows.
        factory._decoder_input_probe = self._keyframes.note
        return factory

    def _start(self) -> None:
        """Builds the pipeline and waits for its first frame, which the next read delivers."""
        self._eos = False
        self._error = None
        self._http = {}
        self._last_arrival = -1
        self._pipeline_frames = 0
        self._keyframes = _KeyframeTimes()
        factory = self._factory()
        self.pipeline = _build(factory)
        if self.launch is not None:
            # A launch string has its own decoders: they are watched from here on.
            self._keyframes.watch(self.pipeline)
        try:
            self._pending = self._first_frame()
        except BaseException:
            self.close()
            raise

    def _first_frame(self) -> Optional[Gst.Sample]:
        deadline = time.monotonic() + self.timeout
        while True:
            sample = self._pull(deadline)
            if sample is not None or self._at_end():
                return sample
            if time.monotonic() >= deadline:
                raise StreamSetupError(START_TIMEOUT, kind="timeout", url=redact_url(self.url))

    def _read_once(self) -> Optional[Frame]:
        if self._pending is not None:
            sample, self._pending = self._pending, None
            return self._deliver(sample)
        deadline = time.monotonic() + self.frame_timeout
        while True:
            sample = self._pull(deadline)
            if sample is not None:
                return self._deliver(sample)
            if self._at_end():
                return self._ended()
            if time.monotonic() >= deadline:
                raise StreamSetupError(
                    f"No frame within {self.frame_timeout} seconds", kind="timeout", url=redact_url(self.url)
                )

    def _pull(self, deadline: float) -> Optional[Gst.Sample]:
        """One slice of a wait: the bus's messages, then a sample if one comes within the slice.
        Frames already decoded are delivered before an error is raised."""
        self._take_messages()
        wait = 0.0 if self._error is not None else min(max(deadline - time.monotonic(), 0.0), _POLL_SECONDS)
        sample = self.pipeline.appsink.try_pull_sample(int(wait * Gst.SECOND))  # type: ignore[union-attr]
        if sample is None and self._error is not None:
            raise self._error
        return sample

    def _at_end(self) -> bool:
        if not self.pipeline.appsink.is_eos():  # type: ignore[union-attr]
            return False
        self._take_messages()  # an error that came with the end wins
        if self._error is not None:
            raise self._error
        return True

    def _take_messages(self) -> None:
        """Takes every message off the pipeline's bus: keeps the first error, and what the HTTP
        source says of its response."""
        pipeline = self.pipeline
        bus = pipeline.get_bus()  # type: ignore[union-attr]
        while True:
            message = bus.pop()
            if message is None:
                return
            if message.type == Gst.MessageType.ERROR and self._error is None:
                self._error = from_error_message(message, self.url, self._pipeline_frames)
            elif message.type == Gst.MessageType.ELEMENT and message.src.get_parent() is pipeline:
                structure = message.get_structure()
                if structure is not None and structure.get_name() == "http-headers":
                    self._http = _response_of(structure)

    def _ended(self) -> None:
        """The end of the stream: a normal end for a file, a failure for a live source."""
        if self._is_live():
            raise failure("disconnected", self.url)
        self._eos = True
        self.close()
        return None

    def _is_live(self) -> bool:
        """A live source: one that GStreamer runs live (RTSP), or an HTTP response that is a
        stream rather than a file: multipart (a camera's MJPEG), or without a length, unless
        the media itself knows its duration."""
        pipeline = self.pipeline
        if _runs_live(pipeline):  # type: ignore[arg-type]
            return True
        if not self._http:
            return False
        if self._http["content_type"].startswith("multipart/"):
            return True
        if self._http["length"] is not None:
            return False
        known, duration = pipeline.query_duration(Gst.Format.TIME)  # type: ignore[union-attr]
        return not known or duration <= 0

    def _deliver(self, sample: Gst.Sample) -> Frame:
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
        self._pipeline_frames += 1
        stats.height, stats.width = image.shape[0], image.shape[1]
        buffer = sample.get_buffer()
        if self.drop_frames:
            # The appsink numbers the frames that reach it: the numbers skipped are frames it
            # let go for this reader.
            arrival = buffer.offset
            if arrival != Gst.BUFFER_OFFSET_NONE:
                stats.dropped += max(arrival - self._last_arrival - 1, 0)
                self._last_arrival = arrival
        if stats.gaps and stats.gaps[-1].ended == 0.0:
            stats.gaps[-1].ended = now
        pts = buffer.pts
        keyframe = self._keyframes.is_keyframe(pts, buffer)
        return Frame(image, _stream_seconds(sample, pts), index, keyframe, received, self.source)

    def _prepare_reconnect(self, reason: str) -> None:
        """Tears the failed pipeline down and waits out the back-off before the next attempt."""
        stats = self.stats
        if not stats.gaps or stats.gaps[-1].ended != 0.0:
            stats.gaps.append(Gap(started=stats.last_frame_at or time.monotonic(), ended=0.0, reason=reason))
        self.close()
        delay = self.reconnect_backoff * (2**stats.reconnects)
        stats.reconnects += 1
        logger.warning(f"Stream {redact_url(self.url)} failed ({reason}); reconnecting in {delay:.1f} s")
        time.sleep(delay)
        self._reconnecting = True


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


def _runs_live(pipeline: Pipeline) -> bool:
    """Whether a source element of the pipeline runs live, as its pads answer a latency query.
    (The pipeline's own answer is the sinks', and an appsink that does not sync says "not
    live" whatever feeds it.)"""
    for source in pipeline.iterate_sources():
        for pad in source.iterate_src_pads():
            query = Gst.Query.new_latency()
            if pad.query(query) and query.parse_latency()[0]:
                return True
    return False


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
