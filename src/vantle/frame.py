"""`Frame`: one decoded picture with its time, its place in the stream and where it came from.

Plain data: the array and five scalar fields, no reference to the reader or its pipeline, so
frames can be kept, queued, pickled or sent to another process without holding a stream open.
The type is the per-frame engine's (C++), which makes one for every frame it delivers.
"""

from __future__ import annotations

from typing import Any

from vantle.utils.engine import Frame

__all__ = ["Frame"]


def _unpickle(image: Any, *fields: Any) -> Frame:
    # numpy unpickles every array writable: a frame's picture stays read-only wherever it goes.
    image.flags.writeable = False
    return Frame(image, *fields)


def _repr(frame: Frame) -> str:
    image = frame.image
    shape = "x".join(str(n) for n in getattr(image, "shape", ()))
    pts = "None" if frame.pts is None else f"{frame.pts:.6f}"
    return (
        f"Frame(source={frame.source!r}, index={frame.index}, pts={pts}, keyframe={frame.keyframe}, "
        f"received={frame.received:.6f}, image=<{getattr(image, 'dtype', type(image).__name__)} {shape}>)"
    )
