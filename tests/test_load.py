"""Load: eight streams read at once from eight threads. Every stream delivers all of its own
frames and nothing of another's, none fails, all end in bounded time, nothing is left over."""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import numpy as np
import pytest
from support.leaks import Resources
from support.media import _MJPEG, MediaRecipe, MediaUnavailable, _x264, generate

from vantle import open_stream

pytestmark = [pytest.mark.network, pytest.mark.timeout(120)]

BUDGET = 10.0  # seconds for each stream to start, and for each frame: generous, 2 cores for 8
ALL_DONE = 60.0  # every thread has ended by then, or something is stuck
LIVE_FRAMES = 30  # read from the live camera stream (15 a second) before leaving it
# A solid picture comes out of a lossy codec within a few levels of its colour; the colours
# below are at least 90 levels apart in some channel.
COLOUR_TOLERANCE = 24
# Eight streams at once may leave GLib's shared thread pool with up to two more idle threads
# than one stream at a time did: it keeps two unused threads for reuse.
THREAD_SLACK = 2

# Container and codec combinations, each with a decoder of its own.
FORMATS = [
    ("mp4", "h264", _x264(30), "h264parse ! mp4mux", "mp4", "video/mp4", "I420"),
    ("mpegts", "h264", _x264(30), "h264parse ! mpegtsmux", "ts", "video/mp2t", "I420"),
    (
        "webm",
        "vp8",
        "vp8enc deadline=1 cpu-used=8 target-bitrate=400000 keyframe-max-dist=30",
        "webmmux",
        "webm",
        "video/webm",
        "I420",
    ),
    ("matroska", "jpeg", _MJPEG, "matroskamux", "mkv", "video/x-matroska", "BGR"),
]
COLOURS = [0xFFE02020, 0xFF20C020, 0xFF2040E0, 0xFFE0E020, 0xFFC020C0, 0xFF20C0C0, 0xFF808080]


def recipes() -> List[MediaRecipe]:
    """Seven files, each of a size and a solid colour of its own (the live stream is 320x240)."""
    made = []
    for i, colour in enumerate(COLOURS):
        container, codec, encoder, muxer, suffix, ctype, raw = FORMATS[i % len(FORMATS)]
        made.append(
            MediaRecipe(
                f"load{i}_{codec}_{suffix}", container, codec, 160 + 16 * i, 120 + 8 * i, 60, 30, 30,
                "solid-color", encoder, muxer, suffix, ctype, foreground=colour, raw_format=raw,
            )
        )  # fmt: skip
    return made


def bgr(argb: int) -> np.ndarray:
    return np.array([argb & 0xFF, (argb >> 8) & 0xFF, (argb >> 16) & 0xFF], dtype=float)


@dataclass
class Stream:
    url: str
    shape: Tuple[int, int, int]
    colour: Optional[np.ndarray]  # None for the live stream (a test card, not one colour)
    frames: Optional[int]  # all of a file's frames; None: read LIVE_FRAMES and leave
    delivered: int = 0
    foreign: List[str] = field(default_factory=list)  # frames that are not this stream's
    error: Optional[BaseException] = None
    ended: float = 0.0

    def read(self) -> None:
        try:
            with open_stream(self.url, timeout=BUDGET, frame_timeout=BUDGET) as stream:
                for frame in stream:
                    self.check(frame)
                    self.delivered += 1
                    if self.frames is None and self.delivered == LIVE_FRAMES:
                        break
        except BaseException as error:  # noqa: BLE001 - reported by the test
            self.error = error
        self.ended = time.monotonic()

    def check(self, frame: np.ndarray) -> None:
        if frame.shape != self.shape:
            self.foreign.append(f"frame {self.delivered}: shape {frame.shape}")
        elif self.colour is not None:
            mean = frame.reshape(-1, 3).mean(axis=0)
            if np.abs(mean - self.colour).max() > COLOUR_TOLERANCE:
                self.foreign.append(f"frame {self.delivered}: colour {mean.round()}")


@pytest.fixture(scope="module")
def streams(media, http_server) -> Dict[str, Tuple[str, MediaRecipe]]:
    served = {}
    for recipe in recipes():
        try:
            path = generate(recipe, media.cache_dir)
        except MediaUnavailable as missing:
            pytest.skip(str(missing))
        served[recipe.name] = (
            http_server.url(http_server.serve_file(path, content_type=recipe.content_type)),
            recipe,
        )
    return served


def test_eight_streams_at_once_from_eight_threads(streams, live_mjpeg_url):
    # Warm-up: one stream of each decoder first, so that process-wide state is counted before.
    for url, _ in list(streams.values())[: len(FORMATS)]:
        with open_stream(url, timeout=BUDGET) as stream:
            assert stream.read() is not None
    resources = Resources.take()

    work = [
        Stream(url, (r.height, r.width, 3), bgr(r.foreground), r.frames) for url, r in streams.values()
    ] + [Stream(live_mjpeg_url, (240, 320, 3), None, None)]
    assert len(work) == 8 and len({s.shape for s in work}) == 8
    threads = [threading.Thread(target=s.read, name=f"load-{i}", daemon=True) for i, s in enumerate(work)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.0, started + ALL_DONE - time.monotonic()))
    assert [t.name for t in threads if t.is_alive()] == [], "streams still running: deadlock?"

    for s in work:
        assert s.error is None, f"{s.url}: {s.error!r}"
        assert s.foreign == [], f"{s.url}: frames of another stream: {s.foreign[:5]}"
        # Files: every frame, none dropped by the load; the live stream: what was asked.
        assert s.delivered == (s.frames if s.frames is not None else LIVE_FRAMES), s.url
    resources.assert_released(thread_slack=THREAD_SLACK)
