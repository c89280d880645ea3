"""The frames of a video at chosen times or positions: `read_frames_at`.

The times are taken in order. Between two near ones (no keyframe between them) the stream is read
forward, the frames in between decoded but dropped before conversion; for a far one it seeks to
the keyframe before it, which saves decoding. Each frame is decoded and converted once, however
often it is asked for.
"""

from __future__ import annotations

import bisect
import math
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from vantle.errors import StreamSetupError
from vantle.frame import Frame
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.stream_reader.options import DEFAULT_FRAME_TIMEOUT, DEFAULT_TIMEOUT
from vantle.stream_reader.reader import StreamReader
from vantle.utils import engine

# Before two keyframes are known, a target further ahead than this many seconds is reached by a
# seek, a nearer one by reading on.
_SEEK_AFTER_SECONDS = 2.0


def read_frames_at(
    source: str,
    times: Optional[Sequence[float]] = None,
    indices: Optional[Sequence[int]] = None,
    *,
    pipeline: Optional[str] = None,
    timeout: float = DEFAULT_TIMEOUT,
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT,
    size: Optional[Tuple[int, int]] = None,
    format: str = "bgr",
    rotate: bool = True,
    max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES,
) -> List[Frame]:
    """The frames of a video shown at `times` (for each, the frame with the largest time at or
    before it; the first frame for a time before it), or at `indices` (positions in the stream,
    from 0), in the order asked. The options are StreamReader's.

    :param source: A seekable source (a file, HTTP with Range, HLS VOD) for `times`; any for
        `indices`, which are read from the start
    :param times: Seconds of stream time
    :param indices: Positions of frames in the stream
    :return: One Frame for each time or index; a frame asked for twice is the same Frame
    :raises ValueError: Neither or both of `times` and `indices`; a time that is not a finite
        number of seconds, 0 or more, or is past the stream's end (the exception names it)
    :raises IndexError: An index that is negative, not an int, or past the last frame (named)
    :raises NotSeekableError: `times` of a live source
    :raises StreamSetupError: The stream failed (see its class)
    """
    if (times is None) == (indices is None):
        raise ValueError("read_frames_at takes times or indices (one of them)")
    options = dict(
        pipeline=pipeline,
        timeout=timeout,
        frame_timeout=frame_timeout,
        format=format,
        rotate=rotate,
        max_frame_bytes=max_frame_bytes,
    )
    if size is not None:
        options["size"] = size
    if indices is not None:
        return _at_indices(source, _checked_indices(indices), options)
    wanted = _checked_times(times)  # type: ignore[arg-type]
    if not wanted:
        return []
    with StreamReader(source, **options) as reader:  # type: ignore[arg-type]
        found = _at_times(reader, sorted(set(wanted)))
    return [found[t] for t in wanted]


def _checked_times(times: Iterable[float]) -> List[float]:
    checked = []
    for t in times:
        if isinstance(t, bool) or not isinstance(t, (int, float)) or not 0 <= t < math.inf:
            raise ValueError(f"A time must be a finite number of seconds, 0 or more, not {t!r}")
        checked.append(float(t))
    return checked


def _checked_indices(indices: Iterable[int]) -> List[int]:
    checked = []
    for index in indices:
        if isinstance(index, bool) or not isinstance(index, int) or index < 0:
            raise IndexError(f"An index must be a whole number, 0 or more, not {index!r}")
        checked.append(index)
    return checked


def _at_indices(source: str, wanted: List[int], options: Dict) -> List[Frame]:
    found: Dict[int, Frame] = {}
    if wanted:
        targets, last = set(wanted), max(wanted)
        with StreamReader(source, **options) as reader:
            for frame in reader.frames():
                if frame.index in targets:
                    found[frame.index] = frame
                if frame.index >= last:
                    break
        missing = [index for index in wanted if index not in found]
        if missing:
            raise IndexError(
                f"Index {missing[0]} is past the last frame of the stream ({reader.stats.frames - 1})"
            )
    return [found[index] for index in wanted]


def _at_times(reader: StreamReader, targets: List[float]) -> Dict[float, Frame]:
    info = reader.info
    if info is not None and info.live:
        raise StreamSetupError(
            "A live source has no frames at chosen times", kind="not-seekable", url=reader.source
        )
    if info is not None and info.duration is not None and targets[-1] > info.duration:
        raise ValueError(f"Time {targets[-1]!r} is past the end of the stream ({info.duration} s)")
    # Frames that may be shown at a time are kept from a little before it: a frame and a half.
    window = 1.5 / info.fps if info is not None and info.fps else 0.1
    floor = decoding.found_of(reader.pipeline).floor
    found: Dict[float, Frame] = {}
    ahead: Optional[Frame] = None  # the first frame read beyond the last target
    shown: Optional[Frame] = None  # the last frame read at or before it
    first = True
    for t in targets:
        position = ahead.pts if ahead is not None else (shown.pts if shown is not None else 0.0)
        if (first and t > window) or (position is not None and _seek_saves(reader, position, t, window)):
            # To the keyframe before t, keeping the frames from a little before t: the frame
            # shown at t comes at or after that keyframe.
            reader._seek_keeping(t, max(t - window, 0.0))
            ahead = shown = None
        elif floor is not None and ahead is None and t - window > (position or 0.0):
            floor.skip(t - window)  # read on, not converting what comes before the window
        first = False
        while ahead is None or ahead.pts is None or ahead.pts <= t:
            if ahead is not None:
                shown = ahead
            ahead = reader.read_frame()
            if ahead is None:
                break
        if shown is None:
            if ahead is None:
                raise ValueError(f"Time {t!r} is past the end of the stream")
            shown = ahead  # before the first frame: the first frame is shown
        found[t] = shown
    return found


def _seek_saves(reader: StreamReader, position: float, t: float, window: float) -> bool:
    """Whether a seek reaches the frame shown at `t` with less decoding than reading on from
    `position`: when the keyframe before `t` (known from the keyframes the stream showed so far,
    or foreseen from their spacing) lies a few frames beyond `position`. Before two keyframes are
    known, only a target further than _SEEK_AFTER_SECONDS ahead is sought."""
    known = engine.keyframe_times(reader.pipeline)
    before = bisect.bisect_right(known, t) - 1
    if before < 0 or len(known) < 2:
        return t - position > _SEEK_AFTER_SECONDS
    keyframe = known[before]
    if before == len(known) - 1:  # beyond the known: foreseen from a regular stream's interval
        gaps = sorted(b - a for a, b in zip(known, known[1:]))
        spacing = gaps[len(gaps) // 2]
        if spacing > 0:
            keyframe += math.floor((t - keyframe) / spacing) * spacing
    return keyframe - position > 2 * window
