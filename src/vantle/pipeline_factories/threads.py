"""How many threads a decoder gets: the process's cores shared by the streams it runs, and one
for a picture small enough that threads would cost more than they share."""

from __future__ import annotations

import contextlib
import os
import threading
from typing import Any, Dict, Iterator, Optional

from vantle.utils.gstreamer import Pipeline

_CORES = os.cpu_count() or 1


class Streams:
    """How many pipelines with a decoder set-up the process runs, and how many a loop that is
    starting many announces: with many streams the cores are shared across them, so each
    decoder gets fewer threads. `cores` is what the process may use (all the machine's, unless
    a scheduler gave it fewer: see limit_cores)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.running = 0
        self.announced = 0
        self.cores = _CORES

    def enter(self, pipeline: Pipeline) -> None:
        with self.lock:
            self.running += 1
        pipeline.destructors.append(self.leave)

    def leave(self) -> None:
        with self.lock:
            self.running -= 1

    def sharing(self) -> int:
        with self.lock:
            return max(self.running, self.announced, 1)


STREAMS = Streams()


@contextlib.contextmanager
def streams_starting(count: int) -> Iterator[None]:
    """Announces `count` streams about to start together (a loop over many streams), so that
    their decoders share the cores from the first one on."""
    with STREAMS.lock:
        STREAMS.announced += count
    try:
        yield
    finally:
        with STREAMS.lock:
            STREAMS.announced -= count


def limit_cores(cores: int) -> None:
    """Has the decoders of this process share `cores` cores rather than the machine's: a worker
    that a scheduler (a Ray task) gave a share of the machine, beside other workers."""
    with STREAMS.lock:
        STREAMS.cores = max(1, int(cores))


# Pixels of a picture per decoder thread: up to 720p a picture decodes on one thread in less CPU
# and no more wall time than on two (their hand-offs cost more than they share: 0.9x the CPU and
# the wall time at 720p H.264 on two cores); from 1080p, frame threads pay (the same CPU, 0.7x
# the wall time).
_PIXELS_PER_THREAD = 500_000


def decoder_threads(streams: int, pixels: int = 0, cores: Optional[int] = None) -> int:
    """Threads for one decoder of pictures of `pixels` when `streams` share `cores` (the
    process's): all of them for a large picture alone, one each once there are as many streams
    as cores (the parallelism is then across streams, and a decoder decodes on its streaming
    thread, with no hand-off), and one for a picture up to 720p whatever the cores. An unknown
    size (0) counts as large."""
    share = (cores if cores is not None else STREAMS.cores) // max(streams, 1)
    if pixels > 0:
        share = min(share, pixels // _PIXELS_PER_THREAD)
    return max(1, share)


def decoder_properties(threads: int, live: bool) -> Dict[str, Any]:
    """Decoder properties for `threads` threads. With more than one: frame threads for a file
    (the fastest way through it), threads that share each picture for a live source (frame
    threads hold one picture back per extra thread: 67 ms at 15 frames a second on two cores)."""
    properties: Dict[str, Any] = {"max-threads": threads, "threads": threads}
    if threads > 1 and live:
        properties["thread-type"] = "slice"
    return properties
