"""The options of a reader: one typed, frozen object, checked once (names, types, ranges and
combinations) before anything starts, and passed down from there."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Dict, Mapping, Optional, Tuple

from vantle.errors import InvalidRuntimeOptionError
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES, frame_size
from vantle.stream_reader.varnow import check_varnow

DEFAULT_TIMEOUT = 10.0
DEFAULT_FRAME_TIMEOUT = 10.0
DEFAULT_RECONNECT_BACKOFF = 0.5
DEFAULT_LATENCY = 200

# The type each option must have (a bool is refused where a number is due, below).
SUPPORTED_OPTIONS: Dict[str, Any] = {
    "keyframes_only": bool,
    "timeout": (int, float),
    "frame_timeout": (int, float),
    "drop_frames": bool,
    "reconnect": int,
    "reconnect_backoff": (int, float),
    "size": (tuple, list),
    "max_frame_bytes": int,
    "rtsp_transport": str,
    "latency": int,
    "format": str,
    "rotate": bool,
    "fps": (int, float),
    "start": (int, float),
    "end": (int, float),
}

# The pixel formats of frames: the option's value and GStreamer's name.
FORMATS = {"bgr": "BGR", "rgb": "RGB", "gray": "GRAY8"}

# The numeric options: (lowest value, whether it is excluded), highest value, what they must be.
_RANGES: Dict[str, Tuple[Tuple[float, bool], float, str]] = {
    "timeout": ((0, True), math.inf, "a finite number of seconds above 0"),
    "frame_timeout": ((0, True), math.inf, "a finite number of seconds above 0"),
    "reconnect_backoff": ((0, False), math.inf, "a finite number of seconds, 0 or more"),
    "reconnect": ((0, False), math.inf, "a whole number, 0 or more"),
    "latency": ((0, False), 2**32 - 1, "a whole number of milliseconds from 0 to 4294967295"),
    "max_frame_bytes": ((1, False), math.inf, "a whole number of bytes, 1 or more"),
    "fps": ((0, True), 1e9, "a finite number of frames a second above 0"),
    "start": ((0, False), math.inf, "a finite number of seconds, 0 or more"),
    "end": ((0, True), math.inf, "a finite number of seconds above 0"),
}

_TRANSPORTS = ("tcp", "udp", "auto")


@dataclasses.dataclass(frozen=True)
class ReaderOptions:
    """What a reader does with its stream. Made with `checked`, which refuses what cannot work.

    :ivar keyframes_only: Only keyframes are decoded (the others are dropped before the decoder)
    :ivar timeout: Seconds to wait for the stream's first frame
    :ivar frame_timeout: Seconds to wait for each further frame
    :ivar drop_frames: The oldest frames give way when the consumer falls behind (counted in
        stats.dropped); False: every frame is delivered
    :ivar reconnect: How many times a stream that fails after it started is rebuilt
    :ivar reconnect_backoff: Seconds before the first reconnection after a good stretch
    :ivar size: (width, height) of the frames, or None for the stream's own size
    :ivar max_frame_bytes: The most memory one frame may take, coded or decoded
    :ivar rtsp_transport: "tcp", "udp" or "auto" (RTSP only)
    :ivar latency: Milliseconds of jitter buffer (RTSP only)
    :ivar format: The frames' pixels: "bgr", "rgb" or "gray" (one channel)
    :ivar rotate: Frames are turned upright as the container's orientation says
    :ivar fps: Frames a second of stream time to deliver, evenly spaced (the others are dropped
        before conversion; Frame.index keeps the position in the stream), or None for all
    :ivar start: Seconds of stream time from which frames are delivered (a seekable source)
    :ivar end: Seconds of stream time before which frames are delivered (start <= pts < end)
    """

    keyframes_only: bool = False
    timeout: float = DEFAULT_TIMEOUT
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT
    drop_frames: bool = False
    reconnect: int = 0
    reconnect_backoff: float = DEFAULT_RECONNECT_BACKOFF
    size: Optional[Tuple[int, int]] = None
    max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES
    rtsp_transport: str = "auto"
    latency: int = DEFAULT_LATENCY
    format: str = "bgr"
    rotate: bool = True
    fps: Optional[float] = None
    start: Optional[float] = None
    end: Optional[float] = None

    @classmethod
    def checked(cls, options: Mapping[str, Any], launch: Optional[str] = None) -> ReaderOptions:
        """The options given by name, checked; the others take their defaults.

        :param options: Option name -> value
        :param launch: The launch string the reader runs, if any (some options do not apply)
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type, out of range,
            or does not go with a launch string
        """
        check_varnow(options, SUPPORTED_OPTIONS)
        _check_values(options)
        values = dict(options)
        if values.get("size") is not None:
            values["size"] = _checked_size(values["size"], launch)
        return cls(**values)

    def changed(self, **options: Any) -> ReaderOptions:
        """These options with some changed, checked as `checked` checks them."""
        return self.checked({**self.as_dict(), **options})

    def as_dict(self) -> Dict[str, Any]:
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self)}


def check_names(options: Mapping[str, Any], extra: Tuple[str, ...] = ("pipeline",)) -> None:
    """Refuses an option that no reader takes (given in a dict, where no signature checks it).

    :raises InvalidRuntimeOptionError: The first unknown option
    """
    for name in options:
        if name not in SUPPORTED_OPTIONS and name not in extra:
            raise InvalidRuntimeOptionError(f"Unknown option '{name}'")


def _check_values(options: Mapping[str, Any]) -> None:
    """The values of options whose type check_varnow has passed: numbers finite and in range,
    and no bool where a number is due."""
    for name, value in options.items():
        limits = _RANGES.get(name)
        if limits is None:
            continue
        low, high, what = limits
        if isinstance(value, bool):
            raise InvalidRuntimeOptionError(f"Option '{name}' must be {what}, not a bool ({value})")
        try:
            number = float(value)
        except OverflowError:
            number = math.inf
        in_range = number > low[0] if low[1] else number >= low[0]
        if not (math.isfinite(number) and in_range and number <= high):
            raise InvalidRuntimeOptionError(f"Option '{name}' must be {what}, not {value!r}")
    start, end = options.get("start"), options.get("end")
    if start is not None and end is not None and not end > start:
        raise InvalidRuntimeOptionError(f"Option 'end' must be after 'start' ({start!r}), not {end!r}")
    pixels = options.get("format")
    if pixels is not None and pixels not in FORMATS:
        raise InvalidRuntimeOptionError(f"Option 'format' must be 'bgr', 'rgb' or 'gray', not {pixels!r}")
    transport = options.get("rtsp_transport")
    if transport is not None and transport not in _TRANSPORTS:
        raise InvalidRuntimeOptionError(
            f"Option 'rtsp_transport' must be 'tcp', 'udp' or 'auto', not {transport!r}"
        )


def _checked_size(size: Any, launch: Optional[str]) -> Optional[Tuple[int, int]]:
    if launch is not None:
        raise InvalidRuntimeOptionError(
            "Option 'size' does not apply to a launch string: scale in it with "
            "vantleconvert's width and height properties"
        )
    try:
        return frame_size(size)
    except ValueError as error:
        raise InvalidRuntimeOptionError(f"Option {error}") from None
