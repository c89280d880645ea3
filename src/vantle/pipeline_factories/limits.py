"""What one frame may take, and how a failure of the decoder set-up reaches the bus.

The byte counts run natively on the streaming threads (vantle.utils.engine.FrameLimit and its
probes); the size of the pictures that caps announce is checked here, on caps events, before any
picture of that size is allocated.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Optional, Tuple, TypeVar

from gi.repository import GLib, Gst

from vantle.utils import engine
from vantle.utils.gstreamer import Pipeline

# Errors that the decoder set-up posts itself carry a details structure of this name, whose
# field "kind" says what happened ("no-video", "no-decoder", "too-large"), so that a reader
# needs no text.
FAILURE_DETAILS = "vantle-failure"

# The most memory one frame may take, coded or decoded, unless a factory is told otherwise:
# a server that sends a part without end, or a picture of absurd size, ends the stream with a
# "too-large" error instead of filling the memory.
DEFAULT_MAX_FRAME_BYTES = 64 << 20

# The largest side a frame can be scaled to (the converter's limit).
MAX_FRAME_SIDE = 32768


class FrameLimit(engine.FrameLimit):
    """The most bytes one frame of a pipeline may take (FrameLimit(pipeline, max_bytes)): its
    probes count what arrives natively; Python handlers check caps against it and hold it
    (weakly, too) as any other object."""


class VideoSearch(engine.VideoSearch):
    """Whether a video stream of a pipeline has been taken for decoding yet
    (VideoSearch(pipeline)); its discard probe reports a source without one."""


def frame_size(size: Any) -> Optional[Tuple[int, int]]:
    """`size` checked as a frame size: None, or (width, height), two ints from 0 to MAX_FRAME_SIDE
    (a 0 takes that side from the other and the picture's aspect ratio; (0, 0) is the stream's
    own size).

    :raises ValueError: `size` is anything else
    """
    if size is None:
        return None
    if (
        not isinstance(size, (tuple, list))
        or len(size) != 2
        or not all(isinstance(side, int) and not isinstance(side, bool) for side in size)
        or not all(0 <= side <= MAX_FRAME_SIDE for side in size)
    ):
        raise ValueError(
            f"size must be (width, height), two whole numbers from 0 to {MAX_FRAME_SIDE}, not {size!r}"
        )
    return (size[0], size[1])


def picture_bytes(caps: Optional[Gst.Caps]) -> int:
    """The bytes of one BGR picture of the size the caps give, or 0 when they give none."""
    if caps is None or caps.get_size() == 0:
        return 0
    structure = caps.get_structure(0)
    has_width, width = structure.get_int("width")
    has_height, height = structure.get_int("height")
    if not has_width or not has_height or width <= 0 or height <= 0:
        return 0
    return width * height * 3


def check_caps(limit: FrameLimit, caps: Optional[Gst.Caps], what: str) -> bool:
    """False (after posting the "too-large" error) when pictures of these caps would not fit."""
    needed = picture_bytes(caps)
    if needed <= limit.max_bytes:
        return True
    structure = caps.get_structure(0)  # type: ignore[union-attr]
    width, height = structure.get_int("width")[1], structure.get_int("height")[1]
    limit.fail(
        f"{what} of {width}x{height} take {needed} bytes each, above max_frame_bytes ({limit.max_bytes})"
    )
    return False


def refuse_large_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, limit: FrameLimit) -> Gst.PadProbeReturn:
    """A caps event of pictures too large for the limit goes no further, so that no such picture
    is ever allocated downstream."""
    event = info.get_event()
    if event is None or event.type != Gst.EventType.CAPS:
        return Gst.PadProbeReturn.OK
    if limit.exceeded or not check_caps(limit, event.parse_caps(), "frames"):
        return Gst.PadProbeReturn.DROP
    return Gst.PadProbeReturn.OK


def post_failure(pipeline: Pipeline, kind: str, text: str, code: Gst.StreamError) -> None:
    """Posts a stream error on the pipeline's bus whose details name its `kind`."""
    error = GLib.Error.new_literal(Gst.stream_error_quark(), text, int(code))
    details = Gst.Structure.new_empty(FAILURE_DETAILS)
    details.set_value("kind", kind)
    pipeline.post_message(Gst.Message.new_error_with_details(pipeline, error, text, details))


def _post_error(pipeline: Pipeline, text: str) -> None:
    # post_error names the caller of the function that calls it as the error's origin. Called
    # straight from `run`, the outermost frame of a streaming thread, it would find no such
    # caller and raise IndexError instead of posting; from here, the origin is `run`.
    pipeline.post_error(text)


Callback = TypeVar("Callback", bound=Callable[..., Any])


def reporting_errors(fallback: Any) -> Callable[[Callback], Callback]:
    """Runs a streaming-thread callback (its last argument has `pipeline_ref`) so that a failure
    reaches the pipeline's bus as a stream error (and so the reader), instead of being printed
    and lost."""

    def wrap(callback: Callback) -> Callback:
        @functools.wraps(callback)
        def run(*args: Any) -> Any:
            state = args[-1]
            try:
                return callback(*args)
            except Exception as error:  # noqa: BLE001 - any failure must reach the bus
                pipeline = state.pipeline_ref()
                if pipeline is not None:
                    _post_error(pipeline, f"Decoder set-up failed: {type(error).__name__}: {error}")
                return fallback

        return run  # type: ignore[return-value]

    return wrap
