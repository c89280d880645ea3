"""Many streams read in one loop: `open_streams` and `StreamSet`.

    from vantle import open_streams

    cameras = {"gate": "rtsp://10.0.0.5/stream1", "yard": "http://10.0.0.6/video.mjpg"}
    with open_streams(cameras, reconnect=5, drop_frames=True) as streams:
        for frame in streams:               # Frames from every camera, as they arrive
            print(frame.source, frame.index, frame.image.shape)
        print(streams.errors, streams.stats["gate"].fps)

Each stream is a StreamReader with its own pipeline; no thread of ours runs per stream. The
pipelines start without waiting for one another, and GStreamer's threads wake the one loop that
serves them when a frame, the end or an error arrives for a stream. The loop itself is the
per-frame engine's (vantle.utils.engine.Hub, C++): it takes one frame at a time from the streams
that have one, in turn, so a fast stream never starves a slow one, and the cost of a frame does
not grow with the number of streams. This class decides about the rare events: a stream that
ends, fails or times out, and the reconnections whose back-off is over.
"""

from __future__ import annotations

import heapq
import logging
import math
import threading
import time
from typing import Dict, List, Optional, Tuple

from vantle._sources import Sources, parse_sources
from vantle._urls import redact_text, redact_url
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError
from vantle.pipeline_factories import threads
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.stream_reader.failures import DIAGNOSIS_SECONDS, diagnose, failure
from vantle.stream_reader.info import StreamInfo
from vantle.stream_reader.lifetime import epoch, refuse_inherited_gstreamer
from vantle.stream_reader.options import (
    DEFAULT_FRAME_TIMEOUT,
    DEFAULT_LATENCY,
    DEFAULT_RECONNECT_BACKOFF,
    DEFAULT_TIMEOUT,
    check_names,
)
from vantle.stream_reader.reader import START_TIMEOUT, Looped, StreamReader
from vantle.stream_reader.stats import StreamStats
from vantle.utils.engine import Hub

__all__ = ["StreamSet", "open_streams"]

_logger = logging.getLogger(__name__)

# What a stream of the set is doing: not started yet; reading (it has a pipeline); waiting out the
# back-off before it is started again; at the end of its data; failed for good; closed with the set.
_NEW, _RUNNING, _WAITING = "new", "running", "waiting"
_ENDED, _FAILED, _CLOSED = "ended", "failed", "closed"
# A stream whose connection failed, while a look at the connection names the cause (on a
# thread of its own: the loop goes on meanwhile).
_DIAGNOSING = "diagnosing"
_GOING = (_RUNNING, _WAITING, _DIAGNOSING)


class _Entry:
    """One stream of the set: its key, its reader and what it is doing."""

    __slots__ = ("key", "link", "state", "launched", "diagnosis")

    def __init__(self, key: str, reader: StreamReader):
        self.key = key
        self.link = Looped(reader)
        self.state = _NEW
        self.launched = False  # its reader's turn is the loop's until close()
        self.diagnosis: Optional[Tuple[StreamSetupError, List[Tuple[str, str]]]] = None


class StreamSet(Hub):
    """Frames of many streams in one loop; made by open_streams (see there), with the same
    parameters. Use as a context manager and an iterator of Frames.

    :ivar errors: Key -> the StreamSetupError of each stream that failed for good
    :ivar stats: Key -> the StreamStats of each stream
    """

    def __init__(
        self,
        sources: Sources,
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
    ):
        arguments = dict(locals())  # the parameters, as given
        common = {name: value for name, value in arguments.items() if name not in ("self", "sources")}
        # Every reader is made (its options checked) before any stream starts.
        self._entries: List[_Entry] = []
        for key, url, own in parse_sources(sources, common, "open_streams"):
            check_names(own)
            if own.get("start") is not None or own.get("end") is not None:
                raise InvalidRuntimeOptionError(
                    "Options 'start' and 'end' apply to one stream read from its start (open_stream), "
                    "not to a loop over many"
                )
            reader = StreamReader(url, **own)
            reader.source = key
            self._entries.append(_Entry(key, reader))
            self._add(reader)
        self._errors: Dict[str, StreamSetupError] = {}
        self._timers: List[Tuple[float, int, int]] = []  # (when, order, index): restarts due
        self._timer_order = 0

    def __repr__(self) -> str:
        states = [entry.state for entry in self._entries]
        counts = ", ".join(f"{states.count(state)} {state}" for state in dict.fromkeys(states))
        return f"<StreamSet of {len(states)} streams: {counts}>"

    @property
    def errors(self) -> Dict[str, StreamSetupError]:
        """Key -> the StreamSetupError of each stream that failed and has no reconnection left."""
        return dict(self._errors)

    @property
    def info(self) -> Dict[str, Optional[StreamInfo]]:
        """Key -> what is known of each stream (see StreamInfo), or None for one not started."""
        return {entry.key: entry.link.reader.info for entry in self._entries}

    @property
    def stats(self) -> Dict[str, StreamStats]:
        """Key -> the counters of each stream (frames, fps, dropped, reconnects, gaps)."""
        return {entry.key: entry.link.reader.stats for entry in self._entries}

    # ----- life cycle -----

    def open(self) -> StreamSet:
        """Starts every stream without waiting for any (open_streams does this; so do the first
        read and entering the with block). A stream that cannot start fails alone.

        :raises StreamSetupError: Kind "closed" if the set was closed, "forked" in a process
            that inherited it
        """
        if self._epoch != epoch():
            raise self._forked_error()
        if self._closed:
            raise self._closed_error()
        if self._started:
            return self
        refuse_inherited_gstreamer()
        self._started = True
        try:
            with threads.streams_starting(len(self._entries)):
                for index, entry in enumerate(self._entries):
                    if self._closed:
                        break  # closed by another thread meanwhile: nothing more starts
                    entry.launched = True
                    self._run(index, entry.link.start)
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        """Brings every pipeline down and releases what it registered; an iteration running in
        another thread ends. Idempotent."""
        self._closed = True
        self._closes += 1
        self._notify()
        inherited = self._epoch != epoch()
        for index, entry in enumerate(self._entries):
            self._settle(index, _CLOSED)
            entry.link.reader.close()
            if not inherited and entry.launched:
                entry.launched = False
                entry.link.give_back()
        self._timers.clear()
        self._next_timer = math.inf

    def __enter__(self) -> StreamSet:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ----- what the engine's loop calls -----

    def _on_end(self, index: int) -> None:
        self._settle(index, _ENDED)

    def _on_failure(self, index: int, error: StreamSetupError) -> None:
        """A stream failed: it is started again after its back-off while its `reconnect` allows;
        otherwise its error is kept and logged, and the others go on."""
        entry = self._entries[index]
        if error.kind == "closed" or self._closed:
            self._settle(index, _CLOSED)
            return
        link = entry.link
        if link.may_reconnect(error):
            delay = link.lose(str(error))
            self._settle(index, _WAITING)
            self._after(delay, index)
            return
        if getattr(error, "undiagnosed", False):
            self._diagnose(index, error)
            return
        self._give_up(index, error)

    def _diagnose(self, index: int, error: StreamSetupError) -> None:
        """Looks into the failed connection of stream `index` on a thread of its own, and fails
        the stream with what it found once that is done (see _restart_due)."""
        entry = self._entries[index]
        url, found = entry.link.reader.url, []
        threading.Thread(
            target=lambda: found.append(diagnose(url)), name="vantle-diagnosis", daemon=True
        ).start()
        entry.diagnosis = (error, found)
        self._settle(index, _DIAGNOSING)
        self._after(DIAGNOSIS_SECONDS + 0.1, index)

    def _after(self, seconds: float, index: int) -> None:
        """Has the loop look at stream `index` again in `seconds` (_restart_due)."""
        self._timer_order += 1
        heapq.heappush(self._timers, (time.monotonic() + seconds, self._timer_order, index))
        self._next_timer = self._timers[0][0]

    def _give_up(self, index: int, error: StreamSetupError) -> None:
        """Stream `index` failed for good: its error is kept and logged, and the others go on."""
        entry, link = self._entries[index], self._entries[index].link
        # A copy without the traceback, which leads back to this loop.
        kept = self._errors[entry.key] = error.copy()
        self._settle(index, _FAILED)
        link.fail(kept)
        shown = redact_text(str(error), link.reader.url)
        _logger.warning("Stream %s failed (%s); the other streams go on without it", entry.key, shown)

    def _on_timeout(self, index: int) -> None:
        """A running stream gave no frame in time."""
        link = self._entries[index].link
        reader = link.reader
        text = f"No frame within {reader.options.frame_timeout} seconds" if link.started() else START_TIMEOUT
        self._on_failure(index, StreamSetupError(text, kind="timeout", url=redact_url(reader.url)))

    def _restart_due(self, now: float) -> None:
        """Starts again the streams whose back-off is over, without waiting for them."""
        while self._timers and self._timers[0][0] <= now:
            _, _, index = heapq.heappop(self._timers)
            entry = self._entries[index]
            if entry.state == _WAITING:
                self._run(index, entry.link.restart)
            elif entry.state == _DIAGNOSING and entry.diagnosis is not None:
                error, found = entry.diagnosis
                entry.diagnosis = None
                kind, detail = found[0] if found else ("network", "")
                url = entry.link.reader.url
                self._give_up(index, failure(kind, url, detail, None, "", error.gst_message, error.gst_debug))
        self._next_timer = self._timers[0][0] if self._timers else math.inf

    def _run(self, index: int, launch) -> None:  # noqa: ANN001 - a Looped method
        """Starts stream `index` with `launch` (its reader's first start or a restart), without
        waiting for it; a failure to start is a failure of the stream."""
        try:
            launch(self, index)
        except StreamSetupError as error:
            self._on_failure(index, error)
            return
        self._settle(index, _RUNNING)

    def _settle(self, index: int, state: str) -> None:
        """Puts stream `index` in `state`, keeping count of the streams still going."""
        entry = self._entries[index]
        self._going += (state in _GOING) - (entry.state in _GOING)
        entry.state = state
        if state == _RUNNING:
            self._run_entry(index, time.monotonic() + entry.link.reader.options.timeout)
        else:
            self._stop_entry(index)

    def _forked_error(self) -> StreamSetupError:
        return StreamSetupError(
            "This set of streams was opened in another process and inherited through fork(): "
            "a child process must open its own streams",
            kind="forked",
        )

    def _closed_error(self) -> StreamSetupError:
        return StreamSetupError("The set of streams is closed", kind="closed")


def open_streams(
    sources: Sources,
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
) -> StreamSet:
    """Starts many streams at once and returns their set, whose iteration gives Frames from any
    of them as they arrive, fairly, each with `source` saying which stream it came from.

    Every option is checked, with the reader's checks and errors, before any stream starts;
    the streams then start without waiting for one another (the first frames come as they come).

    :param sources: A list of URLs (a Frame's `source` is then its URL, any password shown as
        ***), or a dict of key -> URL (`source` is the key), or key -> dict of that stream's
        options with its URL under "url", over the common options
    :param pipeline: A launch string for every stream (see StreamReader)
    :param keyframes_only: See StreamReader, as are the other options. timeout bounds the wait
        for each stream's first frame, frame_timeout the time without a frame from a running
        stream
    :return: The set: a context manager and an iterator of Frames, with `errors`, `stats`,
        `read_frame()` and `close()`
    :raises TypeError: `sources` is not a list of URLs or a dict of key to URL or to options
    :raises ValueError: `sources` is empty or names a stream twice; a URL holds a NUL or a
        lone surrogate
    :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
    :raises InvalidCustomPipelineError: A launch string breaks the rules of custom pipelines
    :raises UnsupportedSourceError: A URL is of no supported kind (kind "unsupported-source")

    Failures: one stream failing never stops or holds up the others. A stream that fails after
    it started is started again under its own `reconnect` budget, after its back-off, while the
    others are read; when the budget is spent (at once for a stream that never started) its
    error is kept in `errors[key]` and logged once as a warning, and the loop goes on. The
    iteration ends when every stream has ended or failed: the end of a file ends its stream,
    the end of a live stream is a failure ("disconnected").

    Fairness and memory: the streams with a frame ready give one frame each in turn. Each
    stream's pipeline holds a few decoded frames at most, whatever the consumer's speed. With
    drop_frames=True the newest frames win: each stream's oldest waiting frame gives way to a
    new one (counted in stats[key].dropped). With drop_frames=False (the default) a consumer
    slower than the streams holds them back: files are read at the consumer's pace, and a live
    stream stops being read from its socket, so that its frames wait in the network's buffers
    and the camera's; a camera that cannot send them in time drops them or the connection (a
    failure, reconnected under `reconnect`), and the frames that come are ever older. For live
    cameras, drop_frames=True is the usual choice.

    Closing: close() (or leaving the with block, also through an exception or Ctrl-C) brings
    every pipeline down and releases its threads and descriptors; close() may come from any
    thread, and an iteration running meanwhile ends within a fraction of a second. Ctrl-C
    during the iteration raises KeyboardInterrupt at once and closes the set.
    """
    arguments = dict(locals())  # the parameters, as given
    options = {name: value for name, value in arguments.items() if name != "sources"}
    return StreamSet(sources, **options).open()
