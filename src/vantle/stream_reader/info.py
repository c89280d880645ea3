"""What is known of a stream once its first frame is in: `StreamInfo`, read from the caps of the
decoder's input and output, the converter, the container's tags and the pipeline's answers."""

from __future__ import annotations

import dataclasses
import warnings
from typing import Any, Optional, Tuple

from gi.repository import Gst

from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.launch import elements_of

with warnings.catch_warnings():
    # The bindings' importer says so with an ImportWarning on a namespace's first import.
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import GstVideo

# Short lower-case names of the coded formats, by their caps' media type (and version).
_CODECS = {
    "video/x-h264": "h264",
    "video/x-h265": "h265",
    "video/x-vp8": "vp8",
    "video/x-vp9": "vp9",
    "video/x-av1": "av1",
    "image/jpeg": "mjpeg",
    "video/x-jpeg": "mjpeg",
    "video/x-theora": "theora",
    "video/x-divx": "mpeg4",
    "video/x-xvid": "mpeg4",
    "video/x-h263": "h263",
    "video/x-wmv": "wmv",
    "image/png": "png",
    "video/x-raw": "raw",
}

_CHROMA = {(1, 1): "4:2:0", (1, 0): "4:2:2", (0, 0): "4:4:4"}


@dataclasses.dataclass(frozen=True)
class StreamInfo:
    """What is known of a stream once its first frame is in.

    :ivar width: Width of the frames delivered (after `size` and rotation)
    :ivar height: Height of the frames delivered
    :ivar coded_width: Width of the pictures as coded
    :ivar coded_height: Height of the pictures as coded
    :ivar fps: The nominal frame rate, or None when the stream has none (a variable rate)
    :ivar codec: Short lower-case name of the coded format: "h264", "h265", "vp8", "vp9",
        "av1", "mjpeg", "mpeg2", "mpeg4", ...; None when a launch string decodes it
    :ivar bit_depth: Bits of each sample as decoded (8, 10, 12, 16), or None
    :ivar chroma: "4:2:0", "4:2:2", "4:4:4" or "4:0:0" as decoded, or None
    :ivar matrix: The colour matrix of the conversion ("bt601", "bt709", "bt2020", ...), or None
    :ivar range: "limited" or "full", as converted, or None
    :ivar rotation: Degrees clockwise the container says to turn the pictures (0, 90, 180, 270)
    :ivar duration: Seconds, or None for a live stream or when the container does not say
    :ivar frame_count: The number of frames when the container says it, else None
    :ivar live: Whether the source is live (a camera), whose end is a failure
    :ivar seekable: Whether the source can be read from a given time
    """

    width: int
    height: int
    coded_width: Optional[int]
    coded_height: Optional[int]
    fps: Optional[float]
    codec: Optional[str]
    bit_depth: Optional[int]
    chroma: Optional[str]
    matrix: Optional[str]
    range: Optional[str]
    rotation: int
    duration: Optional[float]
    frame_count: Optional[int]
    live: bool
    seekable: bool


def describe(pipeline: Any, delivered: Tuple[int, int], live: bool) -> StreamInfo:
    """The StreamInfo of a playing pipeline whose first frame, of `delivered` (width, height),
    is in."""
    found = decoding.found_of(pipeline)
    parsed, decoded = found.parsed_caps, found.decoded_caps
    converter = found.converter or _launch_converter(pipeline)
    structure = decoded.get_structure(0) if decoded is not None and decoded.get_size() else None
    coded = parsed.get_structure(0) if parsed is not None and parsed.get_size() else None
    bit_depth, chroma = _samples(structure)
    duration = None if live else _seconds(pipeline.query_duration(Gst.Format.TIME))
    return StreamInfo(
        width=delivered[0],
        height=delivered[1],
        coded_width=_int(structure, "width") or _int(coded, "width"),
        coded_height=_int(structure, "height") or _int(coded, "height"),
        fps=_rate(coded) or _rate(structure),
        codec=_codec(coded),
        bit_depth=bit_depth,
        chroma=chroma,
        matrix=_property(converter, "matrix"),
        range=_property(converter, "range"),
        rotation=found.rotation,
        duration=duration,
        frame_count=None if live else found.frame_count(),
        live=live,
        seekable=not live and _seekable(pipeline),
    )


def _codec(structure: Optional[Gst.Structure]) -> Optional[str]:
    if structure is None:
        return None
    name = structure.get_name()
    if name == "video/mpeg":
        valid, version = structure.get_int("mpegversion")
        return {1: "mpeg1", 2: "mpeg2", 4: "mpeg4"}.get(version) if valid else "mpeg"
    return _CODECS.get(name, name.split("/")[-1].replace("x-", ""))


def _samples(structure: Optional[Gst.Structure]) -> Tuple[Optional[int], Optional[str]]:
    """Bit depth and chroma subsampling of a raw video format."""
    name = structure.get_string("format") if structure is not None else None
    video_format = GstVideo.VideoFormat.from_string(name) if name else GstVideo.VideoFormat.UNKNOWN
    if video_format == GstVideo.VideoFormat.UNKNOWN:
        return None, None
    info = GstVideo.video_format_get_info(video_format)
    depth = info.depth[0]
    if info.n_components < 3:
        return depth, "4:0:0"
    if info.flags & GstVideo.VideoFormatFlags.RGB:
        return depth, "4:4:4"
    return depth, _CHROMA.get((info.w_sub[1], info.h_sub[1]), f"{info.w_sub[1]}x{info.h_sub[1]}")


def _int(structure: Optional[Gst.Structure], name: str) -> Optional[int]:
    if structure is None:
        return None
    valid, value = structure.get_int(name)
    return value if valid and value > 0 else None


def _rate(structure: Optional[Gst.Structure]) -> Optional[float]:
    if structure is None:
        return None
    valid, numerator, denominator = structure.get_fraction("framerate")
    return numerator / denominator if valid and numerator > 0 and denominator > 0 else None


def _seconds(answer: Tuple[bool, int]) -> Optional[float]:
    known, nanoseconds = answer
    return nanoseconds / Gst.SECOND if known and nanoseconds > 0 else None


def _seekable(pipeline: Any) -> bool:
    query = Gst.Query.new_seeking(Gst.Format.TIME)
    return bool(pipeline.query(query) and query.parse_seeking()[1])


def _property(element: Optional[Gst.Element], name: str) -> Optional[str]:
    if element is None or element.find_property(name) is None:
        return None
    return element.get_property(name)


def _launch_converter(pipeline: Any) -> Optional[Gst.Element]:
    """A launch string's own vantleconvert, if it has one."""
    for element in elements_of(pipeline):
        factory = element.get_factory()
        if factory is not None and factory.get_name() == "vantleconvert":
            return element
    return None


def probe(
    url: str,
    *,
    pipeline: Optional[str] = None,
    timeout: float = 10.0,
    size: Optional[Tuple[int, int]] = None,
    format: str = "bgr",
    rotate: bool = True,
    max_frame_bytes: Optional[int] = None,
    rtsp_transport: str = "auto",
    latency: int = 200,
) -> StreamInfo:
    """What is known of the stream at `url`, without handing out frames: the stream is opened,
    described as soon as its first frame is in, and closed. The parameters are StreamReader's.

    :raises StreamSetupError: The stream did not start in time, or failed (see its class)
    """
    from vantle.stream_reader.reader import StreamReader

    options = dict(timeout=timeout, size=size, format=format, rotate=rotate, rtsp_transport=rtsp_transport)
    if max_frame_bytes is not None:
        options["max_frame_bytes"] = max_frame_bytes
    with StreamReader(url, pipeline=pipeline, latency=latency, **options) as reader:
        info = reader.info
    assert info is not None  # open, its first frame in
    return info
