"""The pause before a lost stream is started again, shared by the reader and open_streams.

It doubles with each failure in a row, up to a minute, and starts again from the first pause
once the stream has delivered frames for a while (a camera that drops now and then is not
punished for its whole history). Each pause is jittered by up to a quarter either way, so that
a hundred cameras behind one switch that fails do not all reconnect in step.
"""

from __future__ import annotations

import random
import time
from typing import Callable, Optional

# The longest pause between two reconnections, however many there were.
MAX_BACKOFF_SECONDS = 60.0

# Frames delivered for this long after a reconnection make the next failure a first one again.
GOOD_STRETCH_SECONDS = 30.0

_JITTER = 0.25


class Backoff:
    """The pauses of one stream's reconnections.

    :param first: Seconds of the first pause (0: reconnect at once, always)
    """

    def __init__(
        self,
        first: float,
        rng: Optional[Callable[[], float]] = None,
        clock: Callable[[], float] = time.monotonic,
    ):
        self.first = first
        self.failures = 0  # in a row: since the last good stretch
        self._random = rng if rng is not None else random.random
        self._clock = clock
        self._restarted_at: Optional[float] = None

    def next_delay(self, last_frame_at: Optional[float]) -> float:
        """The pause before the next attempt, after a failure; `last_frame_at` is when the
        stream last delivered a frame (time.monotonic()), or None."""
        if (
            self._restarted_at is not None
            and last_frame_at is not None
            and last_frame_at - self._restarted_at >= GOOD_STRETCH_SECONDS
        ):
            self.failures = 0
        delay = min(self.first * 2.0 ** min(self.failures, 32), MAX_BACKOFF_SECONDS)
        self.failures += 1
        delay *= 1.0 + _JITTER * (2.0 * self._random() - 1.0)
        self._restarted_at = self._clock() + delay
        return delay
