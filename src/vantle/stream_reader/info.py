"""What is known of a stream once its first frame is in: `StreamInfo`, read from the caps of the
decoder's input and output, the converter, the container's tags and the pipeline's answers."""

from __future__ import annotations

import dataclasses
import os
import time
import warnings
import weakref
from typing import Any, List, Optional, Tuple

from gi.repository import Gst

from vantle._urls import local_path, scheme_of
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.base import note_pipelines_started
from vantle.pipeline_factories.launch import elements_of
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.stream_reader.lifetime import refuse_inherited_gstreamer

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
        fps=decoding.frame_rate(coded) or decoding.frame_rate(structure),
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

    A local file whose coded format says in its parsed headers all that decoding it would tell
    (H.264, H.265, VP8, VP9) is described from its headers alone, without loading a decoder;
    the description is the one a reader of it gives.

    :raises StreamSetupError: The stream did not start in time, or failed (see its class)
    """
    from vantle.stream_reader.reader import StreamReader

    deadline = time.monotonic() + timeout
    if pipeline is None and size is None and max_frame_bytes is None:
        # Headers come at once from a local disk; where not, the reader has the rest of the time.
        info = _from_headers(url, min(timeout / 2, 2.0), rotate)
        if info is not None:
            return info
    timeout = max(deadline - time.monotonic(), 0.001)
    options = dict(timeout=timeout, size=size, format=format, rotate=rotate, rtsp_transport=rtsp_transport)
    if max_frame_bytes is not None:
        options["max_frame_bytes"] = max_frame_bytes
    with StreamReader(url, pipeline=pipeline, latency=latency, **options) as reader:
        info = reader.info
    assert info is not None  # open, its first frame in
    return info


# The parsers of these coded formats say in their caps what decoding would tell of the pictures
# (VP8 is always 8-bit 4:2:0), and their decoders keep the caps' colorimetry.
_HEADERS_SAY_ALL = {"h264", "h265", "vp8", "vp9"}
_DECODED_FORMATS = {
    ("4:2:0", 8): "I420",
    ("4:2:2", 8): "Y42B",
    ("4:4:4", 8): "Y444",
    ("4:2:0", 10): "I420_10LE",
    ("4:2:2", 10): "I422_10LE",
    ("4:4:4", 10): "Y444_10LE",
    ("4:2:0", 12): "I420_12LE",
    ("4:2:2", 12): "I422_12LE",
    ("4:4:4", 12): "Y444_12LE",
}
_DEMUXERS = {
    ".mp4": "qtdemux",
    ".m4v": "qtdemux",
    ".mov": "qtdemux",
    ".mkv": "matroskademux",
    ".webm": "matroskademux",
    ".ts": "tsdemux",
    ".m2ts": "tsdemux",
}
_PARSERS = {"video/x-h264": "h264parse", "video/x-h265": "h265parse", "video/x-vp9": "vp9parse"}
_MATRICES = {
    GstVideo.VideoColorMatrix.BT601: "bt601",
    GstVideo.VideoColorMatrix.BT709: "bt709",
    GstVideo.VideoColorMatrix.BT2020: "bt2020",
    GstVideo.VideoColorMatrix.SMPTE240M: "smpte240m",
    GstVideo.VideoColorMatrix.FCC: "fcc",
}


class _Parsed:
    """The first parsed video stream of a file: its pad, caps and tags, once a buffer passed."""

    def __init__(self) -> None:
        self.pad: Optional[Gst.Pad] = None
        self.caps: Optional[Gst.Caps] = None
        self.tags: List[Gst.TagList] = []
        self.bus: Optional[Gst.Bus] = None  # told (an application message) once the rest is in
        # Asked as the first buffer passes, before the demuxer reads on (and learns more).
        self.duration: Optional[float] = None
        self.frame_count: Optional[int] = None
        self.seekable = False


def _from_headers(url: str, timeout: float, rotate: bool) -> Optional[StreamInfo]:
    """The StreamInfo of a local file read from its parsed headers (the demuxer and the parser
    of its video, no decoder), or None where the headers do not say all, or anything failed:
    the reader then opens it and tells."""
    if not isinstance(url, str) or not (os.path.exists(url) or scheme_of(url) == "file"):
        return None
    try:
        path = local_path(url)
    except ValueError:
        return None
    if not os.path.isfile(path):
        return None
    refuse_inherited_gstreamer(url)
    note_pipelines_started()
    pipeline = Gst.Pipeline.new("probe")
    # The demuxer its name says, where known: no type finding (whose plug-in's load is most of a
    # first probe's time); parsebin otherwise. A file that is not what its name says fails at
    # once, and the reader finds out what it is.
    demuxer = _DEMUXERS.get(os.path.splitext(path)[1].lower())
    source = Gst.ElementFactory.make("filesrc")
    parser = (demuxer and Gst.ElementFactory.make(demuxer)) or Gst.ElementFactory.make("parsebin")
    if source is None or parser is None:
        return None
    source.set_property("location", path)
    pipeline.add(source)
    pipeline.add(parser)
    source.link(parser)
    parsed = _Parsed()
    # The handler holds the pipeline weakly and is let go at the end: a pipeline that its own
    # element's handler held would never be freed (nor its bus's descriptors).
    handler = parser.connect("pad-added", _on_parsed_pad, weakref.ref(pipeline), parsed)
    bus = parsed.bus = pipeline.get_bus()
    try:
        # Playing, so that a file without video flows to its end at once (its sinks do not wait).
        pipeline.set_state(Gst.State.PLAYING)
        deadline = time.monotonic() + timeout
        wanted = Gst.MessageType.ERROR | Gst.MessageType.EOS | Gst.MessageType.APPLICATION
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            message = bus.timed_pop_filtered(int(min(left, 0.05) * Gst.SECOND), wanted)
            if message is None:
                continue
            if message.type != Gst.MessageType.APPLICATION:
                return None  # no video, or a failure: the reader says which
            return _described(parsed, rotate)
    finally:
        pipeline.set_state(Gst.State.NULL)
        parser.disconnect(handler)


def _on_parsed_pad(head: Gst.Element, pad: Gst.Pad, pipeline_ref: Any, parsed: _Parsed) -> None:
    """Every stream flows into a sink that keeps nothing, the first video stream through its
    parser (parsebin's are parsed already); that stream's first buffer says that its caps and
    tags are in."""
    pipeline = pipeline_ref()
    if pipeline is None:
        return
    sink = Gst.ElementFactory.make("fakesink")
    sink.set_property("async", False)
    pipeline.add(sink)
    sink.sync_state_with_parent()
    caps = pad.get_current_caps() or pad.query_caps(None)
    name = caps.get_structure(0).get_name() if caps.get_size() else ""
    parser_name = _PARSERS.get(name) if head.get_factory().get_name() != "parsebin" else None
    parser = Gst.ElementFactory.make(parser_name) if parser_name else None
    if parser is not None and parsed.pad is None:  # a demuxer's coded video, parsed here
        pipeline.add(parser)
        parser.link(sink)
        parser.sync_state_with_parent()
        pad.link(parser.get_static_pad("sink"))
        pad = parser.get_static_pad("src")
    else:
        pad.link(sink.get_static_pad("sink"))
    if parsed.pad is None and name.startswith(("video/", "image/")):
        parsed.pad = pad
        pad.add_probe(Gst.PadProbeType.BUFFER, _on_first_buffer, parsed)


def _on_first_buffer(pad: Gst.Pad, _info: Gst.PadProbeInfo, parsed: _Parsed) -> Gst.PadProbeReturn:
    try:
        parsed.duration = _seconds(pad.query_duration(Gst.Format.TIME))
        known, frames = pad.query_duration(Gst.Format.DEFAULT)
        parsed.frame_count = frames if known and frames > 0 else None
        query = Gst.Query.new_seeking(Gst.Format.TIME)
        parsed.seekable = bool(pad.query(query) and query.parse_seeking()[1])
        index = 0
        while True:
            event = pad.get_sticky_event(Gst.EventType.TAG, index)
            if event is None:
                break
            parsed.tags.append(event.parse_tag())
            index += 1
        parsed.caps = pad.get_current_caps()  # last: no caps, no description
    finally:
        parsed.bus.post(Gst.Message.new_application(None, Gst.Structure.new_empty("parsed")))
    return Gst.PadProbeReturn.REMOVE


def _described(parsed: _Parsed, rotate: bool) -> Optional[StreamInfo]:
    """What a reader would say of the parsed stream, where its caps say all of it; else None."""
    caps = parsed.caps
    coded = caps.get_structure(0) if caps is not None and caps.get_size() else None
    codec = _codec(coded)
    width, height, fps = _int(coded, "width"), _int(coded, "height"), decoding.frame_rate(coded)
    if coded is None or codec not in _HEADERS_SAY_ALL or not (width and height and fps):
        return None
    if width * height * 4 > DEFAULT_MAX_FRAME_BYTES:
        return None  # let the reader's limit speak
    if codec == "vp8":
        chroma, depth = "4:2:0", 8
    else:
        chroma = coded.get_string("chroma-format")
        valid, depth = coded.get_uint("bit-depth-luma")
        if not valid:
            return None
    decoded = _DECODED_FORMATS.get((chroma, depth))
    if decoded is None:
        return None
    raw = f"video/x-raw, format={decoded}, width={width}, height={height}"
    colorimetry = coded.get_string("colorimetry")
    if colorimetry:
        raw += f", colorimetry={colorimetry}"
    video = GstVideo.VideoInfo.new_from_caps(Gst.Caps.from_string(raw))
    if video is None:
        return None
    # As the converter takes it: GStreamer's defaults where the stream says nothing.
    matrix = _MATRICES.get(video.colorimetry.matrix, "bt709" if height > 576 else "bt601")
    full = video.colorimetry.range == getattr(GstVideo.VideoColorRange, "0_255")
    rotation = 0
    for tags in parsed.tags:
        rotation = decoding.rotation_of(tags) or rotation
    turned = rotate and rotation in (90, 270)
    return StreamInfo(
        width=height if turned else width,
        height=width if turned else height,
        coded_width=width,
        coded_height=height,
        fps=fps,
        codec=codec,
        bit_depth=depth,
        chroma=chroma,
        matrix=matrix,
        range="full" if full else "limited",
        rotation=rotation,
        duration=parsed.duration,
        frame_count=parsed.frame_count,
        live=False,
        seekable=parsed.seekable,
    )
