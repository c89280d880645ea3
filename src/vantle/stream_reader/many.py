"""Many streams read in one loop: `open_streams` and `StreamSet`.

    from vantle import open_streams

    cameras = {"gate": "rtsp://10.0.0.5/stream1", "yard": "http://10.0.0.6/video.mjpg"}
    with open_streams(cameras, reconnect=5, drop_frames=True) as streams:
        for frame in streams:               # Frames from every camera, as they arrive
            print(frame.source, frame.index, frame.image.shape)
        print(streams.errors, streams.stats["gate"].fps)

Each stream is a StreamReader with its own pipeline; no thread of ours runs per stream. The
pipelines start without waiting for one another, and GStreamer's threads wake the one loop
that serves them when a frame, the end or an error arrives for a stream, marking that stream
ready. The loop takes one frame at a time from the streams that have one, in turn (a stream
goes to the back of the line after each frame), so a fast stream never starves a slow one, and
it looks at nothing else: the cost of a frame does not grow with the number of streams. Time
limits and reconnection delays are timers of the loop; no wait blocks for more than a slice of
a second, so that Ctrl-C and close() are seen at once.
"""

from __future__ import annotations

import heapq
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Tuple

from vantle._sources import Sources, parse_sources
from vantle._urls import redact_text, redact_url
from vantle.errors import StreamSetupError
from vantle.frame import Frame
from vantle.logger import logger
from vantle.stream_reader.reader import (
    _END,
    _SLICE,
    START_TIMEOUT,
    StreamReader,
    StreamStats,
    _copy,
    _frames_of,
    _Process,
    _Stream,
)

# What a stream of the set is doing: not started yet; reading (it has a pipeline); waiting out the
# back-off before it is started again; at the end of its data; failed for good; closed with the set.
_NEW, _RUNNING, _WAITING = "new", "running", "waiting"
_ENDED, _FAILED, _CLOSED = "ended", "failed", "closed"
_GOING = (_RUNNING, _WAITING)


class _Ready:
    """The wake-up of one stream, set on GStreamer's threads (which hold it only weakly): puts
    the stream in the loop's line of ready streams, unless it is there already, then wakes the
    loop. The loop lowers the flag before it takes from the stream, so that nothing that
    arrives after the take goes unseen."""

    __slots__ = ("index", "raised", "_line", "_event", "__weakref__")

    def __init__(self, index: int, line: Deque[int], event: threading.Event):
        self.index = index
        self.raised = False
        self._line = line
        self._event = event

    def set(self) -> None:
        if not self.raised:
            self.raised = True
            self._line.append(self.index)
        self._event.set()


class _Entry:
    """One stream of the set: its reader, its current pipeline and when it must next give a frame."""

    __slots__ = ("key", "reader", "ready", "stream", "state", "deadline")

    def __init__(self, key: str, reader: StreamReader, ready: _Ready):
        self.key = key
        self.reader = reader
        self.ready = ready
        self.stream: Optional[_Stream] = None
        self.state = _NEW
        self.deadline = 0.0


class StreamSet:
    """Frames of many streams in one loop; made by open_streams (see there). Use as a context
    manager and an iterator of Frames.

    :ivar errors: Key -> the StreamSetupError of each stream that failed for good
    :ivar stats: Key -> the StreamStats of each stream
    """

    def __init__(self, sources: Sources, **options: Any):
        # Every reader is made (its options checked) before any stream starts.
        self._entries: List[_Entry] = []
        self._line: Deque[int] = deque()
        self._event = threading.Event()
        for index, (key, url, own) in enumerate(parse_sources(sources, options, "open_streams")):
            reader = StreamReader(url, **own)
            reader.source = key
            self._entries.append(_Entry(key, reader, _Ready(index, self._line, self._event)))
        self._errors: Dict[str, StreamSetupError] = {}
        self._timers: List[Tuple[float, int, int]] = []  # (when, order, index): restarts due
        self._timer_order = 0
        self._next_scan = 0.0
        self._loop = threading.Lock()  # held by the thread that runs the loop
        self._closed = False
        self._closes = 0  # close() calls so far: an iteration that sees one end ends quietly
        self._epoch = _Process.epoch
        self._started = False
        self._going = 0  # streams running or waiting to start again: the loop ends at none

    def __repr__(self) -> str:
        states = [entry.state for entry in self._entries]
        counts = ", ".join(f"{states.count(state)} {state}" for state in dict.fromkeys(states))
        return f"<StreamSet of {len(states)} streams: {counts}>"

    @property
    def errors(self) -> Dict[str, StreamSetupError]:
        """Key -> the StreamSetupError of each stream that failed and has no reconnection left."""
        return dict(self._errors)

    @property
    def stats(self) -> Dict[str, StreamStats]:
        """Key -> the counters of each stream (frames, fps, dropped, reconnects, gaps)."""
        return {entry.key: entry.reader.stats for entry in self._entries}

    # ----- life cycle -----

    def open(self) -> StreamSet:
        """Starts every stream without waiting for any (open_streams does this; so do the first
        read and entering the with block). A stream that cannot start fails alone.

        :raises StreamSetupError: Kind "closed" if the set was closed, "forked" in a process
            that inherited it
        """
        self._check_process()
        if self._closed:
            raise self._closed_error()
        if self._started:
            return self
        self._started = True
        try:
            for entry in self._entries:
                self._run(entry, entry.reader._launch)
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        """Brings every pipeline down and releases what it registered; an iteration running in
        another thread ends. Idempotent."""
        self._closed = True
        self._closes += 1
        self._event.set()
        inherited = self._epoch != _Process.epoch
        for entry in self._entries:
            self._settle(entry, _CLOSED)
            entry.stream = None
            entry.reader.close()
            if not inherited and self._started:
                entry.reader._give_turn()
        self._timers.clear()

    def __enter__(self) -> StreamSet:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ----- frames -----

    def __iter__(self) -> Iterator[Frame]:
        """The frames of every stream, as they arrive; ends when every stream has ended or
        failed, or when the set is closed meanwhile.

        :raises StreamSetupError: As read_frame()
        """
        return _frames_of(self)

    def read_frame(self) -> Optional[Frame]:
        """The next frame of any stream, or None once every stream has ended or failed.

        :raises StreamSetupError: Kind "closed" once the set is closed (also by another thread
            while this one waited), kind "forked" in a process that inherited the set
        """
        self._check_process()
        while not self._loop.acquire(timeout=_SLICE):
            if self._closed:
                raise self._closed_error()
        try:
            if not self._started:
                self.open()
            return self._next_frame()
        except StreamSetupError:
            raise
        except BaseException:
            # Ctrl-C, or a fault of ours: nothing is left running.
            self.close()
            raise
        finally:
            self._loop.release()

    # ----- the loop -----

    def _next_frame(self) -> Optional[Frame]:
        line, event = self._line, self._event
        while True:
            if self._closed:
                raise self._closed_error()
            # Lowered before the line is looked at: whatever is marked ready afterwards wakes
            # the wait below.
            event.clear()
            now = time.monotonic()
            if self._timers and self._timers[0][0] <= now:
                self._restart_due(now)
            if now >= self._next_scan:
                self._next_scan = now + _SLICE
                frame = self._check_deadlines(now)
                if frame is not None:
                    return frame
            while line:
                entry = self._entries[line.popleft()]
                entry.ready.raised = False
                frame = self._take(entry)
                if frame is not None:
                    # More may be waiting: the stream goes to the back of the line.
                    entry.ready.set()
                    return frame
            if not self._going:
                return None
            wait = _SLICE
            if self._timers:
                wait = min(wait, max(self._timers[0][0] - now, 0.0))
            event.wait(wait)

    def _take(self, entry: _Entry) -> Optional[Frame]:
        """A frame of `entry` if one is ready, without blocking; its end or failure is dealt with."""
        stream = entry.stream
        if entry.state != _RUNNING or stream is None:
            return None
        try:
            result = entry.reader._poll(stream)
        except StreamSetupError as error:
            self._fail(entry, error)
            return None
        if result is None:
            return None
        if result is _END:
            self._settle(entry, _ENDED)
            entry.stream = None
            return None
        entry.deadline = time.monotonic() + entry.reader.frame_timeout
        return result  # type: ignore[return-value]

    def _check_deadlines(self, now: float) -> Optional[Frame]:
        """Fails the running streams that gave no frame in time (after a last look at each)."""
        for entry in self._entries:
            if entry.state != _RUNNING or entry.deadline > now or entry.ready.raised:
                continue
            frame = self._take(entry)
            if frame is not None:
                entry.ready.set()  # more may be waiting, as after any frame
                return frame
            stream = entry.stream
            if entry.state != _RUNNING or stream is None:
                continue
            reader = entry.reader
            if stream.frames == 0:
                text = START_TIMEOUT
            else:
                text = f"No frame within {reader.frame_timeout} seconds"
            self._fail(entry, StreamSetupError(text, kind="timeout", url=redact_url(reader.url)))
        return None

    def _fail(self, entry: _Entry, error: StreamSetupError) -> None:
        """A stream failed: it is started again after its back-off while its `reconnect` allows;
        otherwise its error is kept and logged, and the others go on."""
        reader = entry.reader
        entry.stream = None
        if error.kind == "closed" or self._closed:
            self._settle(entry, _CLOSED)
            return
        if reader._may_reconnect(error):
            delay = reader._lose_stream(str(error))
            self._settle(entry, _WAITING)
            self._timer_order += 1
            heapq.heappush(self._timers, (time.monotonic() + delay, self._timer_order, entry.ready.index))
            return
        # A copy without the traceback, which leads back to this loop.
        kept = self._errors[entry.key] = _copy(error)
        self._settle(entry, _FAILED)
        reader._stopped_by(kept)
        shown = redact_text(str(error), reader.url)
        logger.warning(f"Stream {entry.key} failed ({shown}); the other streams go on without it")

    def _restart_due(self, now: float) -> None:
        """Starts again the streams whose back-off is over, without waiting for them."""
        while self._timers and self._timers[0][0] <= now:
            _, _, index = heapq.heappop(self._timers)
            entry = self._entries[index]
            if entry.state == _WAITING:
                self._run(entry, entry.reader._relaunch)

    def _run(self, entry: _Entry, launch: Callable[[_Ready], _Stream]) -> None:
        """Starts `entry`'s stream with `launch` (its reader's first start or a restart), without
        waiting for it; a failure to start is a failure of the stream."""
        try:
            entry.stream = launch(entry.ready)
        except StreamSetupError as error:
            self._fail(entry, error)
            return
        self._settle(entry, _RUNNING)
        entry.deadline = time.monotonic() + entry.reader.timeout

    def _settle(self, entry: _Entry, state: str) -> None:
        """Puts `entry` in `state`, keeping count of the streams still going."""
        self._going += (state in _GOING) - (entry.state in _GOING)
        entry.state = state

    def _check_process(self) -> None:
        if self._epoch != _Process.epoch:
            raise StreamSetupError(
                "This set of streams was opened in another process and inherited through fork(): "
                "a child process must open its own streams",
                kind="forked",
            )

    def _closed_error(self) -> StreamSetupError:
        return StreamSetupError("The set of streams is closed", kind="closed")


def open_streams(sources: Sources, **options: Any) -> StreamSet:
    """Starts many streams at once and returns their set, whose iteration gives Frames from any
    of them as they arrive, fairly, each with `source` saying which stream it came from.

    Every option is checked, with the reader's checks and errors, before any stream starts;
    the streams then start without waiting for one another (the first frames come as they come).

    :param sources: A list of URLs (a Frame's `source` is then its URL, any password shown as
        ***), or a dict of key -> URL (`source` is the key), or key -> dict of that stream's
        options with its URL under "url", over the common options
    :param options: Reader options for every stream (pipeline, keyframes_only, timeout,
        frame_timeout, drop_frames, reconnect, reconnect_backoff, size, max_frame_bytes,
        rtsp_transport, latency: see StreamReader). timeout bounds the wait for each stream's
        first frame, frame_timeout the time without a frame from a running stream
    :return: The set: a context manager and an iterator of Frames, with `errors`, `stats`,
        `read_frame()` and `close()`
    :raises TypeError: `sources` is not a list of URLs or a dict of key to URL or to options
    :raises ValueError: `sources` is empty or names a stream twice; a URL holds a NUL or a
        lone surrogate
    :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
    :raises InvalidCustomPipelineError: A launch string breaks the rules of custom pipelines
    :raises StreamSetupError: A URL is of no supported kind (kind "unsupported-source")

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
    return StreamSet(sources, **options).open()
