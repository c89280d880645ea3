"""Reading a stream frame by frame: `open_stream` and `StreamReader`.

    from vantle import open_stream

    with open_stream("rtsp://camera.local/stream1", timeout=10) as stream:
        for frame in stream:          # read-only uint8 arrays, (height, width, 3), BGR
            ...
        print(stream.stats)

    with open_stream(url) as stream:
        for frame in stream.frames():  # Frame: the array with its time, index and keyframe flag
            print(frame.pts, frame.image.shape)

A reader picks the factory for its source from the URL (session.py); it builds the pipeline and
waits for its first frame. From then on every frame goes through the per-frame engine
(vantle.utils.engine, C++), which this class extends: no Python runs between the appsink and the
Frame in the caller's hand. The engine calls back into this class only for the rare events:
opening, a failure (kept, or the stream rebuilt while `reconnect` allows), the end, a close.
"""

from __future__ import annotations

import logging
import math
import os
import time
import weakref
from typing import Any, Mapping, Optional, Tuple

from gi.repository import Gst

from vantle._urls import checked_url, redact_text, redact_url
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.stream_reader.backoff import Backoff
from vantle.stream_reader.failures import failure, from_error
from vantle.stream_reader.info import StreamInfo, describe
from vantle.stream_reader.lifetime import Slot, epoch, refuse_inherited_gstreamer, release
from vantle.stream_reader.options import (
    DEFAULT_FRAME_TIMEOUT,
    DEFAULT_LATENCY,
    DEFAULT_RECONNECT_BACKOFF,
    DEFAULT_TIMEOUT,
    SUPPORTED_OPTIONS,
    ReaderOptions,
)
from vantle.stream_reader.session import Session, build, make_factory, source_kind
from vantle.stream_reader.stats import Gap, StreamStats
from vantle.utils.engine import Reader

__all__ = ["StreamReader", "StreamStats", "Gap", "open_stream", "Looped"]

_logger = logging.getLogger(__name__)

# The longest any single blocking call of a reader lasts (the engine's slice, too).
SLICE = 0.05

START_TIMEOUT = "Timeout while waiting for stream to start"


class StreamReader(Reader):
    """Reads frames from one stream. Use as a context manager and an iterator.

    :param url: The stream: an rtsp://, rtsps://, http:// or https:// URL (credentials may be
        given in it: user:password@host), a local path or a file:// URL; with `pipeline`, the
        value that fills "{url}"
    :param pipeline: A GStreamer launch string with a "{url}" placeholder, a final appsink named
        main_sink and optionally an element named buffer_src (the point where non-keyframes are
        dropped); None picks the factory from the URL
    :param keyframes_only: Only keyframes are decoded (the others are dropped before the decoder)
    :param timeout: Seconds to wait for the stream's first frame (above 0)
    :param frame_timeout: Seconds to wait for each further frame (above 0)
    :param drop_frames: Let the oldest frames go when the consumer falls behind, counted in
        stats.dropped; False (the default) delivers every frame
    :param reconnect: How many times a stream that fails after it has started is rebuilt (the
        end of a live source counts as a failure, the end of a file does not)
    :param reconnect_backoff: Seconds before the first reconnection; the pause doubles with each
        failure in a row, up to a minute, with a jitter of a quarter either way, and starts again
        from this value once the stream has delivered frames for 30 seconds
    :param size: (width, height) of the frames: the picture is scaled in the decoder's own format
        before it is converted to BGR, with area averaging when it shrinks, so a small size also
        makes conversion cheap. It is stretched to exactly that size, as cv2.resize does; a 0
        takes that side from the other and the aspect ratio. None: the stream's own size. Not
        with a launch string, where vantleconvert's width and height properties do the same
    :param max_frame_bytes: The most memory one frame may take, coded or decoded: a larger one,
        or a server that sends a part without end, fails the stream with kind "too-large"
    :param rtsp_transport: For RTSP: "tcp", "udp" or "auto" (UDP, then TCP)
    :param latency: For RTSP: milliseconds of jitter buffer
    :param format: The frames' pixels: "bgr" (the default), "rgb", or "gray" (one channel, shape
        (height, width)), each written by the converter itself
    :param rotate: Turn the picture upright as the container says (a phone's video), in the
        converter's one write; False keeps the coded orientation. A launch string turns its
        pictures itself
    :param fps: Frames a second of stream time to deliver, evenly spaced by their times, the
        others dropped before conversion; a Frame's index stays its position in the stream, so
        the gaps show. None: every frame
    :param start: Seconds of stream time: the first frame delivered is the first whose time is
        `start` or later (decoded from the keyframe before it; the frames before it are dropped
        before conversion). A seekable source only (a file, HTTP with Range, HLS VOD): a live
        one fails with NotSeekableError (kind "not-seekable")
    :param end: Seconds of stream time: frames are delivered while their time is before `end`,
        then the stream ends (with `start`: exactly the frames with start <= pts < end)
    :raises InvalidRuntimeOptionError: An option is of the wrong type, out of range (numbers
        finite; time-outs above 0, reconnect and reconnect_backoff not below 0; a bool is not a
        number), or does not go with a launch string
    :raises UnsupportedSourceError: The URL is of no supported kind (kind "unsupported-source")
    :raises InvalidCustomPipelineError: The launch string breaks the rules of custom pipelines
    :raises ValueError: The URL holds a NUL or a lone surrogate, which GStreamer cannot carry
    :raises TypeError: The URL is not a str (without `pipeline`), or an unknown option is given

    Lifetime: close() (or leaving the with block) brings the pipeline down; read() and
    iteration after it raise StreamClosedError (kind "closed") rather than open the stream
    again (open() does that). A reader dropped without close() is collected and releases its
    pipeline, threads and sockets all the same.

    Threads: a reader may be read from several threads; each frame goes to exactly one of them.
    close() from any thread ends the others' waits within a fraction of a second: a waiting
    open(), read() or read_frame() raises StreamClosedError, and an iteration (for frame in
    reader, frames()) that was running ends. Ctrl-C raises KeyboardInterrupt within a fraction
    of a second, whatever the reader waits for, and closes it.

    fork(): a reader belongs to the process that opened it. In a child, every call raises
    StreamForkedError (kind "forked") at once and close() only forgets the reader, without
    touching GStreamer; the parent's reader goes on unaffected. A child opens its own streams.
    """

    # Kept by the engine (which updates the counters as frames are delivered).
    stats: StreamStats
    source: str

    def __init__(
        self,
        url: str,
        *,
        pipeline: Optional[str] = None,
        keyframes_only: bool = False,
        timeout: float = DEFAULT_TIMEOUT,
        frame_timeout: float = DEFAULT_FRAME_TIMEOUT,
        drop_frames: bool = False,
        reconnect: int = 0,
        reconnect_backoff: float = DEFAULT_RECONNECT_BACKOFF,
        size: Optional[Tuple[int, int]] = None,
        max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES,
        rtsp_transport: str = "auto",
        latency: int = DEFAULT_LATENCY,
        format: str = "bgr",
        rotate: bool = True,
        fps: Optional[float] = None,
        start: Optional[float] = None,
        end: Optional[float] = None,
    ):
        arguments = dict(locals())  # the parameters, as given
        given = {name: value for name, value in arguments.items() if name in SUPPORTED_OPTIONS}
        for name in ("size", "fps", "start", "end"):
            if given[name] is None:
                del given[name]  # not asked for
        self.options = ReaderOptions.checked(given, pipeline)
        self.url = checked_url(url)
        self.launch = pipeline
        self._kind = source_kind(url, pipeline)
        if pipeline is not None:
            # A launch string that cannot work is refused now, before anything starts.
            make_factory(url, pipeline, self._kind, self.options)
        self.stats = StreamStats()
        # What this reader's Frames give as their source; a loop over many streams puts its key here.
        self.source = redact_url(url)
        self.frame_timeout = float(self.options.frame_timeout)
        self._backoff = Backoff(self.options.reconnect_backoff)
        self._pid = os.getpid()
        self._in_loop = False  # driven by a loop over many streams (see Looped)
        self._info: Optional[StreamInfo] = None
        self._slot = Slot()
        weakref.finalize(self, release, self._slot)

    # The options, as attributes of the reader.
    @property
    def keyframes_only(self) -> bool:
        return self.options.keyframes_only

    @property
    def timeout(self) -> float:
        return self.options.timeout

    @property
    def drop_frames(self) -> bool:
        return self.options.drop_frames

    @property
    def reconnect(self) -> int:
        return self.options.reconnect

    @property
    def reconnect_backoff(self) -> float:
        return self.options.reconnect_backoff

    @property
    def size(self) -> Optional[Tuple[int, int]]:
        return self.options.size

    @property
    def max_frame_bytes(self) -> int:
        return self.options.max_frame_bytes

    def __repr__(self) -> str:
        return f"<StreamReader {redact_url(self.url)!r} {self._state}, {self.stats.frames} frames>"

    @property
    def info(self) -> Optional[StreamInfo]:
        """What is known of the stream (size, frame rate, codec, duration, ...: see StreamInfo),
        once it is open (open_stream returns with it); None before."""
        if self._info is None:
            session = self._slot.session
            pipeline = session.pipeline if session is not None else None
            caps = (
                pipeline.appsink.get_static_pad("sink").get_current_caps() if pipeline is not None else None
            )
            if caps is None or caps.get_size() == 0:
                return None
            structure = caps.get_structure(0)
            delivered = (structure.get_int("width")[1], structure.get_int("height")[1])
            self._info = describe(pipeline, delivered, session.is_live(self._http))
        return self._info

    @property
    def pipeline(self) -> Any:
        """The pipeline being read (a vantle.utils.gstreamer.Pipeline), or None."""
        session = self._slot.session
        return None if session is None else session.pipeline

    # ----- life cycle -----

    def open(self) -> StreamReader:
        """Builds the pipeline and waits for its first frame; opens a closed, failed or ended
        reader again. An open reader stays as it is.

        :raises StreamSetupError: The stream did not start within `timeout` seconds, or failed
            (see its kind and class); StreamClosedError if another thread closed the reader
            meanwhile
        """
        self._check_process()
        self._take_turn()
        if self._state == "open":
            self._give_turn()
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

    def seek(self, seconds: float) -> None:
        """Goes on from the first frame whose time is `seconds` or later: the next read delivers
        it (decoded from the keyframe before it; the frames before it are dropped before
        conversion). A reader at its end, or not open yet, is opened first. `end` still holds.

        :raises NotSeekableError: The source cannot seek (a live camera, a server without Range)
        :raises InvalidRuntimeOptionError: `seconds` is not a finite number of seconds, 0 or more
        :raises StreamSetupError: The stream failed (see its class); StreamClosedError once closed
        """
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 <= seconds < math.inf:
            raise InvalidRuntimeOptionError(
                f"seek() takes a finite number of seconds, 0 or more, not {seconds!r}"
            )
        self._seek_keeping(float(seconds), float(seconds))

    def _seek_keeping(self, seconds: float, keep_from: float) -> None:
        """seek(seconds), delivering the frames from `keep_from` (at most `seconds`) on: the
        seek goes to the keyframe before `seconds`, and the frames before `keep_from` are dropped
        before conversion."""
        self._check_process()
        self._take_turn()
        try:
            if self._state == "closed":
                raise self._closed_error()
            if self._slot.session is None:  # not open yet, ended or failed: opened (again)
                self._begin_open()
                self._start()
            self._seek_to(seconds, self.options.end, keep_from)
            self._state = "open"
        except StreamSetupError as error:
            if error.kind != "not-seekable":
                self._stopped_by(error)
            raise
        except BaseException as error:
            self._stopped_by(error)
            raise
        finally:
            self._give_turn()

    def close(self) -> None:
        """Brings the pipeline to NULL and releases everything it registered; the waits of other
        threads end (see the class). Idempotent."""
        if self._opened_in is not None and self._opened_in != epoch():
            # Inherited through fork(): forgotten, GStreamer left alone.
            release(self._slot)
            self._detach()
            self._state = "closed"
            return
        self._state = "closed"
        self._closes += 1
        session, self._slot.session = self._slot.session, None
        self._detach()
        self._notify()
        if session is not None:
            session.stop()

    def __enter__(self) -> StreamReader:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ----- what the engine calls: opening, failures, the end -----

    def _check_process(self) -> None:
        if self._opened_in is not None and self._opened_in != epoch():
            raise self._forked_error()

    def _begin_open(self) -> None:
        """A new start, with the turn held: fresh counters, no failure.

        :raises StreamForkedError: This process was made by fork() from one that ran pipelines
        """
        refuse_inherited_gstreamer(self.source)
        self._state = "open"
        self._failure = None
        self._opened_in = self._slot.epoch = epoch()
        self._pid = os.getpid()
        self.stats = StreamStats(opened_at=time.monotonic())
        self._backoff = Backoff(self.options.reconnect_backoff)

    def _start(self) -> None:
        """Builds the pipeline and waits for its first frame, which the next read delivers."""
        session = self._start_without_waiting()
        try:
            deadline = time.monotonic() + self.options.timeout
            while not self._poll_first(min(max(deadline - time.monotonic(), 0.0), SLICE)):
                if time.monotonic() >= deadline:
                    raise StreamSetupError(START_TIMEOUT, kind="timeout", url=self.source)
            start, end = self.options.start, self.options.end
            if start is not None or end is not None:
                # The range, once the stream plays (its first frame in); the next read gives its
                # first frame.
                self._seek_to(start or 0.0, end)
        except StreamSetupError as error:
            self._drop_stream(session)
            if self._state == "closed" and error.kind != "closed":
                raise self._closed_error() from None
            raise
        except BaseException:
            self._drop_stream(session)
            raise

    def _seek_to(self, start: float, end: Optional[float], keep_from: Optional[float] = None) -> None:
        """Has the pipeline go on from `start` (frame-exact; from `keep_from` when given, at most
        `start`, within the decoding that `start` needs) to `end` (None: the end).

        :raises NotSeekableError: The source cannot seek
        """
        session = self._slot.session
        pipeline = session.pipeline if session is not None else None
        if pipeline is None:
            raise self._closed_error()
        if session.is_live(self._http):
            raise StreamSetupError(
                "A live source cannot seek: frames come as they are taken",
                kind="not-seekable",
                url=self.source,
            )
        self._before_seek()
        floor = decoding.found_of(pipeline).floor
        if floor is not None:
            # To the keyframe before `start`, whose decoding the frame at `start` needs; the frames
            # between are decoded and dropped before conversion, and no frame's time is clipped.
            floor.seconds, floor.ceiling = start if keep_from is None else keep_from, end
            flags = Gst.SeekFlags.FLUSH | Gst.SeekFlags.KEY_UNIT | Gst.SeekFlags.SNAP_BEFORE
        else:  # a launch string's own decoders clip to the start themselves
            start = start if keep_from is None else keep_from
            flags = Gst.SeekFlags.FLUSH | Gst.SeekFlags.ACCURATE
        stop = (Gst.SeekType.SET, round(end * Gst.SECOND)) if end is not None else (Gst.SeekType.NONE, -1)
        if not pipeline.seek(1.0, Gst.Format.TIME, flags, Gst.SeekType.SET, round(start * Gst.SECOND), *stop):
            raise StreamSetupError(
                f"The source cannot seek to {start} s (a server without Range requests, say)",
                kind="not-seekable",
                url=self.source,
            )

    def _start_without_waiting(self) -> Session:
        """Builds the pipeline and makes it the reader's; returns at once, the pipeline on its
        way to PLAYING."""
        factory = make_factory(self.url, self.launch, self._kind, self.options)
        session = Session(build(factory, self.launch, self.options.max_frame_bytes))
        self._info = None  # of the new pipeline's stream, once asked
        if self._state == "closed":
            session.stop()
            raise self._closed_error()
        self._slot.session = session
        # Frames are numbered (and their drops counted) where the appsink may drop them.
        self._attach(
            session.pipeline, session.pipeline.appsink.get_property("drop"), self.options.fps is not None
        )
        return session

    def _drop_stream(self, session: Optional[Session] = None) -> None:
        """Brings `session` (by default the current one) down; it is no longer the reader's."""
        if session is None:
            session = self._slot.session
        if self._slot.session is session:
            self._slot.session = None
            self._detach()
        if session is not None:
            session.stop()

    def _stopped_by(self, error: BaseException) -> None:
        """The reader's state after an exception ended the wait of the thread with the turn: a
        failure of the stream is kept (and raised again by later reads); anything else (Ctrl-C)
        closes the reader. Either way the pipeline is released."""
        if isinstance(error, StreamSetupError):
            if error.kind == "closed":
                return
            if self._state != "closed":
                # A copy, without the traceback that leads back to this reader.
                self._state, self._failure = "failed", error.copy()
            self._drop_stream()
        else:
            self.close()

    def _may_reconnect(self, error: StreamSetupError) -> bool:
        """Whether a stream that failed with `error` is rebuilt: one that had started, while
        `reconnect` allows."""
        return (
            error.kind != "closed"
            and self.stats.frames > 0
            and self.stats.reconnects < self.options.reconnect
        )

    def _back_off(self, reason: str) -> None:
        """Lets the failed pipeline go and waits out the back-off before the next attempt."""
        if not self._sleep(self._lose_stream(reason)):
            raise self._closed_error()

    def _lose_stream(self, reason: str) -> float:
        """A stream lost after it started: notes the gap, lets the pipeline go, counts and logs
        the reconnection; returns the seconds to wait before it (the back-off)."""
        stats = self.stats
        if not stats.gaps or stats.gaps[-1].ended != 0.0:
            gap = Gap(started=stats.last_frame_at or time.monotonic(), ended=0.0, reason=reason)
            stats.gaps.append(gap)
            self._open_gap = gap
        self._drop_stream()
        delay = self._backoff.next_delay(stats.last_frame_at)
        stats.reconnects += 1
        shown = redact_text(reason, self.url)
        _logger.warning("Stream %s failed (%s); reconnecting in %.1f s", self.source, shown, delay)
        return delay

    def _ended(self) -> None:
        """The data has ended and every frame is taken: the end of a file, or the loss of a
        live source (raised as kind "disconnected")."""
        session = self._slot.session
        if session is not None and session.is_live(self._http):
            raise failure("disconnected", self.url)
        if self._state != "closed":
            self._state = "ended"
        self._drop_stream(session)

    def _error_of(self, record: Mapping[str, Any]) -> StreamSetupError:
        # A loop over many streams looks into a failed connection later, without blocking.
        return from_error(record, self.url, self._tap_frames, diagnose=not self._in_loop)

    def _raise_failure(self) -> None:
        raise self._failure.copy()

    def _closed_error(self) -> StreamSetupError:
        return StreamSetupError("The reader is closed", kind="closed", url=self.source)

    def _forked_error(self) -> StreamSetupError:
        return StreamSetupError(
            f"This reader was opened in process {self._pid} and process {os.getpid()} inherited it "
            "through fork(): a child process must open its own streams",
            kind="forked",
            url=self.source,
        )

    def _frame_timeout_error(self) -> StreamSetupError:
        return StreamSetupError(
            f"No frame within {self.options.frame_timeout} seconds", kind="timeout", url=self.source
        )


class Looped:
    """A reader as a loop over many streams (open_streams) drives it: started without waiting,
    its frames taken by the loop's engine without blocking (the loop holds the reader's turn from
    `start` until `give_back`), its failures decided by the loop.

    :param reader: The reader, made and not opened
    """

    def __init__(self, reader: StreamReader):
        self.reader = reader
        reader._in_loop = True

    def start(self, hub: Any, index: int) -> None:
        """Opens the reader as stream `index` of `hub`, without waiting for anything.

        :raises StreamSetupError: The pipeline could not be built, or the reader is closed
        """
        reader = self.reader
        reader._check_process()
        reader._take_turn()
        try:
            if reader._state == "closed":  # closed while the loop was starting: it stays so
                raise reader._closed_error()
            reader._begin_open()
        except BaseException:
            reader._give_turn()
            raise
        try:
            self.restart(hub, index)
        except BaseException as error:
            reader._stopped_by(error)
            reader._give_turn()
            raise

    def restart(self, hub: Any, index: int) -> None:
        """Starts the stream again after `lose`, keeping the reader's counters. A failure leaves
        no pipeline behind."""
        reader = self.reader
        session = reader._start_without_waiting()
        try:
            hub._watch(index)
        except BaseException:
            reader._drop_stream(session)
            raise

    def may_reconnect(self, error: StreamSetupError) -> bool:
        return self.reader._may_reconnect(error)

    def lose(self, reason: str) -> float:
        """The stream is lost: returns the seconds to wait before `restart`."""
        return self.reader._lose_stream(reason)

    def fail(self, error: StreamSetupError) -> None:
        """The stream failed for good: the reader keeps `error` and lets its pipeline go."""
        self.reader._stopped_by(error)

    def started(self) -> bool:
        """Whether the current pipeline has delivered a frame."""
        return self.reader._tap_frames > 0

    def give_back(self) -> None:
        """Gives the reader's turn back (after close)."""
        self.reader._give_turn()


def open_stream(
    url: str,
    *,
    pipeline: Optional[str] = None,
    keyframes_only: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT,
    drop_frames: bool = False,
    reconnect: int = 0,
    reconnect_backoff: float = DEFAULT_RECONNECT_BACKOFF,
    size: Optional[Tuple[int, int]] = None,
    max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES,
    rtsp_transport: str = "auto",
    latency: int = DEFAULT_LATENCY,
    format: str = "bgr",
    rotate: bool = True,
    fps: Optional[float] = None,
    start: Optional[float] = None,
    end: Optional[float] = None,
) -> StreamReader:
    """Opens a stream and returns its reader, with its first frame received. The parameters are
    StreamReader's.

    :raises StreamSetupError: The stream did not start in time, or it failed (its class and
        `kind` say how: StreamTimeoutError, StreamConnectionError, StreamNotFoundError, ...)
    :raises UnsupportedSourceError: The URL is of no supported kind
    :raises InvalidRuntimeOptionError: An option is of the wrong type or out of range
    :raises InvalidCustomPipelineError: The launch string breaks the rules of custom pipelines
    :raises ValueError: The URL holds a NUL or a lone surrogate
    :raises TypeError: The URL is not a str, or an unknown option is given
    """
    arguments = dict(locals())  # the parameters, as given
    options = {name: value for name, value in arguments.items() if name != "url"}
    reader = StreamReader(url, **options)
    return reader.open()
