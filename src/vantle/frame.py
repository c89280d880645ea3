"""`Frame`: one decoded picture with its time, its place in the stream and where it came from.

Plain data: the array and five scalar fields, no reference to the reader or its pipeline, so
frames can be kept, queued, pickled or sent to another process without holding a stream open.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

_FIELDS = ("image", "pts", "index", "keyframe", "received", "source")


class Frame:
    """A decoded frame and what is known about it. Immutable.

    :ivar image: The picture: read-only numpy uint8 array of shape (height, width, 3), BGR
    :ivar pts: Presentation time in seconds on the stream's own timeline (a file's first frame
        at or near 0.0, whatever byte ranges were fetched to read it), or None when the stream
        carries no times
    :ivar index: Position among the frames its reader delivered, from 0 (frames dropped before
        delivery, or skipped with keyframes_only, take no index)
    :ivar keyframe: Whether the frame was coded on its own (decoding needs no earlier frame)
    :ivar received: time.time() when the frame was taken from the pipeline
    :ivar source: The stream's URL with any password replaced by "***", or the key the stream
        was given in a loop over many streams
    """

    __slots__ = _FIELDS

    if TYPE_CHECKING:
        # Read-only to a type checker; at run time the slots below and __setattr__ see to it.
        @property
        def image(self) -> npt.NDArray[np.uint8]: ...
        @property
        def pts(self) -> Optional[float]: ...
        @property
        def index(self) -> int: ...
        @property
        def keyframe(self) -> bool: ...
        @property
        def received(self) -> float: ...
        @property
        def source(self) -> str: ...

    def __init__(
        self,
        image: npt.NDArray[np.uint8],
        pts: Optional[float],
        index: int,
        keyframe: bool,
        received: float,
        source: str,
    ) -> None:
        init = object.__setattr__
        init(self, "image", image)
        init(self, "pts", pts)
        init(self, "index", index)
        init(self, "keyframe", keyframe)
        init(self, "received", received)
        init(self, "source", source)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Frame is immutable: cannot set '{name}'")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Frame is immutable: cannot delete '{name}'")

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle, tuple(object.__getattribute__(self, name) for name in _FIELDS))

    def __repr__(self) -> str:
        image = self.image
        shape = "x".join(str(n) for n in getattr(image, "shape", ()))
        pts = "None" if self.pts is None else f"{self.pts:.6f}"
        return (
            f"Frame(source={self.source!r}, index={self.index}, pts={pts}, keyframe={self.keyframe}, "
            f"received={self.received:.6f}, image=<{getattr(image, 'dtype', type(image).__name__)} {shape}>)"
        )


def _unpickle(image: Any, *fields: Any) -> Frame:
    # numpy unpickles every array writable: a frame's picture stays read-only wherever it goes.
    image.flags.writeable = False
    return Frame(image, *fields)
