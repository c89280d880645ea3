"""What a reader counts: frames, rate, drops, reconnections and the gaps they left."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional


@dataclass
class Gap:
    """A stretch without frames while a lost stream was being reconnected."""

    started: float  # time.monotonic() of the last frame before the loss
    ended: float  # time.monotonic() of the first frame after it (0.0 while it lasts)
    reason: str

    @property
    def seconds(self) -> float:
        return self.ended - self.started


@dataclass
class StreamStats:
    """Counters of one reader, kept up to date as frames are delivered."""

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
