"""The decoder set-up: whatever arrives at a source pad becomes BGR frames at the appsink.

The stream's type is found first: an MP4 that arrives as a plain byte stream (HTTP) goes through
a ring buffer that lets the demuxer read it at random, as it reads a file. Then a parsebin
demuxes and parses it (MP4, Matroska/WebM, MPEG-TS, multipart MJPEG, HLS, elementary streams);
its first video pad gets the keyframe filter (when asked for), a decoder chosen for its caps, the
frame-rate limit and the converter to BGR. A source without video fails with a "no-video" error
on the bus. Every probe and handler goes through the pipeline's registrations, so that
release_resources gives it back; the probes that see every buffer run natively
(vantle.utils.engine), and the Python handlers here run once per element or caps event.
"""

from __future__ import annotations

import logging
import os
import threading
import weakref
from typing import Any, Dict, List, Optional, Tuple

from gi.repository import Gst

from vantle import gst_plugins
from vantle.errors import NotLinkedError, StreamSetupError
from vantle.pipeline_factories.launch import elements_of, items_of
from vantle.pipeline_factories.limits import (
    FrameLimit,
    VideoSearch,
    check_caps,
    post_failure,
    reporting_errors,
)
from vantle.pipeline_factories.starting import add_held, new_held, start
from vantle.pipeline_factories.threads import STREAMS, decoder_properties, decoder_threads
from vantle.utils import engine
from vantle.utils.gstreamer import Pipeline, find_element, try_set_property

_logger = logging.getLogger(__name__)

# The converter to BGR: ours where the decoded format allows, else GStreamer's.
_CONVERTER_AVAILABLE = gst_plugins.register()

_CORES = os.cpu_count() or 1

# The ring buffer through which an MP4 that arrives as a byte stream is read at random: at
# most this much of the file is held at a time, and the demuxer's jumps beyond it are served
# by range requests.
_RING_BUFFER_BYTES = 16 << 20

# The second HLS demuxer, which outranks the first, loses a live playlist (GStreamer 1.22): it
# stops fetching fragments after the first and aborts the process (a mutex cleared while
# locked) when the playlist ends. The first reads live and on-demand playlists whole.
_SKIPPED_FACTORIES = frozenset(
    name for name, instead in (("hlsdemux2", "hlsdemux"),) if Gst.ElementFactory.find(instead) is not None
)
_AUTOPLUG_TRY, _AUTOPLUG_SKIP = 0, 2  # GstAutoplugSelectResult

_JPEG_PARSER = Gst.ElementFactory.find("jpegparse") is not None
_FULL_CHROMA_JPEG = ("YCbCr-4:2:2", "YCbCr-4:4:4")
_FULL_CHROMA_JPEG_DECODER = "avdec_mjpeg"

# Decoders preferred to the one that outranks them, where both take the stream: FFmpeg's VP9
# decoder costs 0.8x libvpx's CPU at 1080p (8-bit and 10-bit, two threads) in less wall time,
# and the same below 720p. The alpha decoders still come first for streams with alpha.
_PREFERRED_DECODERS = {"vp9dec": "avdec_vp9"}

# Codecs whose sampled streams skip, before the decoder, the frames that no frame kept needs: a
# keyframe starts afresh, so the frames between the last frame kept and a keyframe before the next
# are dropped undecoded (at one frame a second of a stream with a keyframe a second, all but the
# frames kept). One coded frame is one picture (no hidden frames, unlike VP8/VP9), and a stream
# whose decoding order may differ from its display order is found at its first frame and left
# whole (see sampling_ahead). Live H.264/H.265 are left whole: a kept frame would wait for the
# decoding of those held before it. JPEG pictures stand alone, so a live camera's are skipped too
# (by when they arrive, where they carry no times), with nothing waiting.
_SKIPPABLE = frozenset({"video/x-h264", "video/x-h265", "image/jpeg"})

# Buffers pushed downstream (not those pulled), and every buffer or list on its way out.
_PUSHED_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.PUSH
_OUT_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST
# A decoder's input as its keyframe notes follow it: coded frames, the end, and flushes.
_CODED_FRAMES = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_DOWNSTREAM | Gst.PadProbeType.EVENT_FLUSH


class _DecodeState:
    """What the streaming threads of one pipeline's decoder set-up share."""

    def __init__(
        self,
        pipeline: Pipeline,
        keyframes_only: bool,
        max_framerate: Optional[float],
        size: Optional[Tuple[int, int]],
        max_frame_bytes: int,
        rotate: bool = False,
        sampling: Optional[int] = None,
    ):
        # Weak: the handlers are owned by GStreamer, and a strong reference would keep the
        # pipeline alive from outside the interpreter's reach.
        self.pipeline_ref = weakref.ref(pipeline)
        self.keyframes_only = keyframes_only
        self.max_framerate = max_framerate
        self.min_interval = int(Gst.SECOND / max_framerate) if max_framerate else 0
        self.size = size
        self.rotate = rotate
        self.sampling = sampling  # nanoseconds between kept frames, or None
        self.ahead: Optional[Any] = None  # sampling's probe before the decoder, where it has one
        self.limit = FrameLimit(pipeline, max_frame_bytes)
        self.search = VideoSearch(pipeline)
        self.limiting = False
        self.video_linked = False
        self.decoder_linked = False
        self.converter: Optional[Gst.Element] = None
        self.threads = 1  # of the decoder
        self.found = Found()
        self.lock = threading.Lock()


class Found:
    """What the decoder set-up found of its stream, for its description (vantle.StreamInfo):
    kept with the pipeline, apart from what GStreamer holds for the set-up's callbacks. Empty
    for a pipeline without a decoder set-up (a launch string's)."""

    def __init__(self) -> None:
        self.parsed_pad: Optional[Gst.Pad] = None
        self.parsed_caps: Optional[Gst.Caps] = None
        self.decoded_caps: Optional[Gst.Caps] = None
        self.converter: Optional[Gst.Element] = None
        self.rotation = 0  # degrees clockwise, as the container's tags say
        # Where a seek is going: the decoded frames before it are dropped before conversion
        # (None for a pipeline whose decoders the set-up did not link).
        self.floor: Optional[engine.TimeFloor] = None

    def frame_count(self) -> Optional[int]:
        """The number of frames of the stream, when its container says (a query in frames on
        the parsed stream), else None."""
        pad = self.parsed_pad
        if pad is None:
            return None
        known, frames = pad.query_duration(Gst.Format.DEFAULT)
        return frames if known and frames > 0 else None


def found_of(pipeline: Pipeline) -> Found:
    """What the decoder set-up of `pipeline` found of its stream (caps of the decoder's input and
    output, converter, rotation, frame count)."""
    return getattr(pipeline, "_decoding", None) or Found()


def set_up(factory: Any, source: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None:
    """Decodes what arrives at `pad` of `source` into BGR frames at `pipeline.appsink`, with the
    options of `factory` (keyframes only, frame-rate limit, size, frame byte limit)."""
    typefind = pipeline.new_element("typefind", auto_play=False)
    if pad.link(typefind.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link {source.get_name()} to typefind")
    state = _DecodeState(
        pipeline,
        factory._keyframes_only,
        factory._max_framerate,
        factory._size,
        factory._max_frame_bytes,
        factory._rotate,
        factory._sampling,
    )
    STREAMS.enter(pipeline)
    pipeline._decoding = state.found  # type: ignore[attr-defined]
    pipeline.connect_signal_handler(typefind, "have-type", _on_type_found, state)
    # The appsink may have been started on its own, ahead of the pipeline. A sink that plays
    # while its pipeline is still on its way up keeps the pipeline posting ASYNC_DONE for as
    # long as it runs (tens of thousands a second, a busy core), so it goes back to the
    # pipeline's state and starts with it.
    start(pipeline, typefind, pipeline.appsink)


@reporting_errors(None)
def _on_type_found(typefind: Gst.Element, probability: int, caps: Gst.Caps, state: _DecodeState) -> None:
    """On the stream's type: the ring buffer where an MP4 needs one, then the parsebin."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    head = typefind
    ring_buffer = _random_access_bytes(typefind, caps)
    if ring_buffer:
        head = new_held(
            pipeline,
            "queue2",
            link_to=typefind,
            properties={"ring-buffer-max-size": ring_buffer, "max-size-buffers": 0, "max-size-time": 0},
        )
    parser = new_held(pipeline, "parsebin", link_to=head)
    # What is pushed into the demuxer counts towards the frame limit; what it pulls (a file, a
    # ring buffer) comes in whole frames, checked as they come out.
    pipeline.add_pad_probe(head.get_static_pad("src"), _PUSHED_BUFFERS, state.limit.count_input())
    pipeline.connect_signal_handler(parser, "pad-added", _on_parsed_pad, state)
    if _SKIPPED_FACTORIES:
        pipeline.connect_signal_handler(parser, "autoplug-select", _skip_unsound_factory)
    start(pipeline, parser, *([head] if head is not typefind else []))


def _skip_unsound_factory(
    parser: Gst.Element, pad: Gst.Pad, caps: Gst.Caps, factory: Gst.ElementFactory
) -> int:
    """parsebin's choice of element: any but one known to fail where another serves."""
    return _AUTOPLUG_SKIP if factory.get_name() in _SKIPPED_FACTORIES else _AUTOPLUG_TRY


def _random_access_bytes(typefind: Gst.Element, caps: Gst.Caps) -> int:
    """The size of the ring buffer that an MP4 arriving as a byte stream needs, or 0.

    Read as a stream, an MP4 with B-frames loses its last frames: the demuxer then compares
    their presentation times, not mapped through the file's edit list, with the end of the
    movie. Read at random, as from a file, it maps them and keeps every frame. A source that
    can be read at random already (a file), or that has no length or cannot seek (a live
    stream), needs no ring buffer.
    """
    if caps.get_size() == 0 or caps.get_structure(0).get_name() != "video/quicktime":
        return 0
    sink = typefind.get_static_pad("sink")
    scheduling = Gst.Query.new_scheduling()
    if sink.peer_query(scheduling) and scheduling.has_scheduling_mode(Gst.PadMode.PULL):
        return 0
    known, size = sink.peer_query_duration(Gst.Format.BYTES)
    if not known or size <= 0:
        return 0
    seeking = Gst.Query.new_seeking(Gst.Format.BYTES)
    if not sink.peer_query(seeking) or not seeking.parse_seeking()[1]:
        return 0
    return min(size, _RING_BUFFER_BYTES)


def discard(pipeline: Pipeline, pad: Gst.Pad, search: Optional[VideoSearch] = None) -> None:
    """Drops what comes out of `pad`, a stream that is not decoded; with `search`, its first
    data fails the pipeline with "no-video" unless a video stream is taken by then (parsebin
    exposes all the streams of a source before any data flows). The pad is linked to a fakesink
    all the same, which takes its events: left unlinked, its data would fail the stream with a
    not-linked error."""
    if search is None:
        search = VideoSearch(pipeline)
        search.linked = True  # nothing to report of this stream
    sink = new_held(pipeline, "fakesink", properties={"sync": False, "async": False})
    pipeline.add_pad_probe(pad, _OUT_BUFFERS, search.discard())
    pad.link(sink.get_static_pad("sink"))
    start(pipeline, sink)


@reporting_errors(None)
def _on_parsed_pad(parser: Gst.Element, pad: Gst.Pad, state: _DecodeState) -> None:
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    caps = pad.get_current_caps()
    with state.lock:
        take = not state.video_linked and _is_video(caps or pad.query_caps(None))
        if take:
            state.video_linked = state.search.linked = True
    if parser.get_static_pad("sink").mode != Gst.PadMode.PULL:
        # Counted only where bytes are pushed in: a demuxer that pulls takes whole frames.
        pipeline.add_pad_probe(pad, _OUT_BUFFERS, state.limit.count_output())
    if not take:  # audio and further video streams
        discard(pipeline, pad, state.search)
        return
    if state.keyframes_only:
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, engine.delta_unit_filter())
    pad = _with_jpeg_sampling(pipeline, pad)
    # parsebin may expose a pad before its caps are settled (MPEG-TS, VP9): its query then
    # answers with every variant the parser could produce, and a decoder chosen on those may
    # refuse the real stream. The decoder is chosen on the first caps event.
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, _on_parsed_caps, state)
    caps = pad.get_current_caps()
    if caps is not None:  # settled already, perhaps while the probe was being added
        _link_decoder(pad, caps, state)


def _with_jpeg_sampling(pipeline: Pipeline, pad: Gst.Pad) -> Gst.Pad:
    """`pad`, or for JPEG pictures whose caps do not say how their colour is sampled (parsebin
    takes a container's word for parsed JPEG), a JPEG parser's output after it, whose caps say:
    the decoder is chosen on them."""
    caps = pad.get_current_caps() or pad.query_caps(None)
    if caps.get_size() == 0 or caps.get_structure(0).get_name() != "image/jpeg" or not _JPEG_PARSER:
        return pad
    if caps.is_fixed() and caps.get_structure(0).has_field("sampling"):
        return pad
    parser = new_held(pipeline, "jpegparse")
    if pad.link(parser.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link parsed stream {caps.to_string()} to a JPEG parser")
    start(pipeline, parser)
    return parser.get_static_pad("src")


@reporting_errors(Gst.PadProbeReturn.OK)
def _on_parsed_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """On the parsed stream's first caps, links the decoder, before the caps go on to it."""
    event = info.get_event()
    if event is not None and event.type == Gst.EventType.CAPS:
        caps = event.parse_caps()
        # The parser's caps give the pictures' size before any is decoded.
        if state.limit.exceeded or not check_caps(state.limit, caps, "pictures"):
            return Gst.PadProbeReturn.DROP
        _link_decoder(pad, caps, state)
    return Gst.PadProbeReturn.OK


def _link_decoder(pad: Gst.Pad, caps: Gst.Caps, state: _DecodeState) -> None:
    """Links `pad` to a decoder for `caps`, once per pipeline; the converter follows on the
    decoder's own caps."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    with state.lock:
        if state.decoder_linked:
            return
        state.decoder_linked = True
    if not check_caps(state.limit, caps, "pictures"):
        return
    state.found.parsed_pad, state.found.parsed_caps = pad, caps
    decoder = _find_decoder(caps)
    if decoder is None:
        post_failure(
            pipeline, "no-decoder", f"No decoder for {caps.to_string()}", Gst.StreamError.CODEC_NOT_FOUND
        )
        return
    threads = decoder_threads(STREAMS.sharing(), _pixels(caps))
    state.threads = threads
    live = arrives_live(pipeline)
    for name, value in decoder_properties(threads, live).items():
        if decoder.find_property(name) is not None:
            try_set_property(decoder, name, value)
    add_held(pipeline, decoder)
    decoder_src = decoder.get_static_pad("src")
    # The converter (and the frame-rate limit, where needed) is chosen once the decoded format
    # is known, on the caps event.
    pipeline.add_pad_probe(decoder_src, Gst.PadProbeType.EVENT_DOWNSTREAM, _on_decoded_caps, state)
    state.found.floor = engine.TimeFloor()
    frames = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_DOWNSTREAM
    pipeline.add_pad_probe(decoder_src, frames, state.found.floor.probe())
    # Decoders clear the keyframe flag on what they output: it is noted at their input.
    notes = engine.keyframe_notes(pipeline)
    pipeline.add_pad_probe(decoder.get_static_pad("sink"), _CODED_FRAMES, notes)
    media_type = caps.get_structure(0).get_name()
    if state.sampling and media_type in _SKIPPABLE and (not live or media_type == "image/jpeg"):
        # Frames that no frame sampling keeps needs are not decoded (see _SKIPPABLE).
        state.ahead = state.found.floor.sampling_ahead(state.sampling)
        pipeline.add_pad_probe(pad, _CODED_FRAMES, state.ahead)
    if pad.link(decoder.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link parsed stream {caps.to_string()} to {decoder.get_name()}")
    start(pipeline, decoder)


def watch_decoders(pipeline: Pipeline, max_frame_bytes: int) -> None:
    """Watches the input of every video decoder that a launch string's pipeline has or will have
    (its own decoders, which no decoder set-up linked): their keyframes are noted, and pictures
    too large for `max_frame_bytes` refused before they are decoded."""
    limit = FrameLimit(pipeline, max_frame_bytes)
    pipeline.connect_signal_handler(pipeline, "deep-element-added", _on_element_added, limit)
    for element in elements_of(pipeline):
        _watch_decoder(pipeline, element, limit)


def _on_element_added(pipeline: Pipeline, sub_bin: Gst.Bin, element: Gst.Element, limit: FrameLimit) -> None:
    _watch_decoder(pipeline, element, limit)


def _watch_decoder(pipeline: Pipeline, element: Gst.Element, limit: FrameLimit) -> None:
    factory = element.get_factory()
    klass = factory.get_metadata("klass") if factory is not None else None
    if not klass or "Decoder" not in klass or not ("Video" in klass or "Image" in klass):
        return
    pad = element.get_static_pad("sink")
    if pad is not None:
        pipeline.add_pad_probe(pad, _CODED_FRAMES, engine.keyframe_notes(pipeline))
        sizes = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_DOWNSTREAM
        pipeline.add_pad_probe(pad, sizes, limit.check_pictures())


def runs_live(pipeline: Pipeline) -> bool:
    """Whether a source element of the pipeline runs live, as its pads answer a latency query.
    (The pipeline's own answer is the sinks', and an appsink that does not sync says "not
    live" whatever feeds it.)"""
    return any(_pad_runs_live(pad) for pad in _source_pads(pipeline))


def arrives_live(pipeline: Pipeline) -> bool:
    """Whether the pipeline's pictures arrive as they are taken: a source runs live (RTSP), or
    one has no length (a camera's response over HTTP), rather than a file or a whole response."""
    for pad in _source_pads(pipeline):
        if _pad_runs_live(pad):
            return True
        known, length = pad.query_duration(Gst.Format.BYTES)
        if not known or length <= 0:
            return True
    return False


def _source_pads(pipeline: Pipeline) -> List[Gst.Pad]:
    sources = items_of(pipeline.iterate_sources())
    return [pad for source in sources for pad in items_of(source.iterate_src_pads())]


def _pad_runs_live(pad: Gst.Pad) -> bool:
    latency = Gst.Query.new_latency()
    return bool(pad.query(latency) and latency.parse_latency()[0])


def _find_decoder(caps: Gst.Caps) -> Optional[Gst.Element]:
    """The highest-ranked decoder that takes every variant of `caps`, or None.

    A decoder whose template only intersects the caps is not enough: the VP8/VP9 alpha
    decoders outrank the plain ones and accept only streams with codec-alpha=true.
    """
    factories = Gst.ElementFactory.list_filter(
        Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, Gst.Rank.MARGINAL),
        caps,
        Gst.PadDirection.SINK,
        True,
    )
    if caps.get_size() and caps.get_structure(0).get_string("sampling") in _FULL_CHROMA_JPEG:
        # The first JPEG decoder writes 4:2:2 and 4:4:4 pictures as 4:2:0, halving their
        # colour; the other keeps it (at about twice the time, so only for them).
        factories.sort(key=lambda factory: factory.get_name() != _FULL_CHROMA_JPEG_DECODER)
    if factories:
        preferred = _PREFERRED_DECODERS.get(factories[0].get_name())
        chosen = next((f for f in factories if f.get_name() == preferred), factories[0])
        return chosen.create()
    # None takes the caps whole: the best partial match, if any.
    try:
        return find_element(caps, Gst.ELEMENT_FACTORY_TYPE_DECODER)
    except StreamSetupError:
        return None


def _pixels(caps: Gst.Caps) -> int:
    """Pixels of a picture of `caps`, or 0 when they do not say."""
    if caps.get_size() == 0:
        return 0
    structure = caps.get_structure(0)
    has_width, width = structure.get_int("width")
    has_height, height = structure.get_int("height")
    return width * height if has_width and has_height and width > 0 and height > 0 else 0


def frame_rate(structure: Optional[Gst.Structure]) -> Optional[float]:
    """Frames a second that caps' structure gives, or None (none, or 0/1: a variable rate)."""
    if structure is None:
        return None
    valid, numerator, denominator = structure.get_fraction("framerate")
    return numerator / denominator if valid and numerator > 0 and denominator > 0 else None


def _frame_duration(caps: Gst.Caps) -> int:
    """Nanoseconds of one frame at the caps' nominal rate, or 0 when they give none."""
    rate = frame_rate(caps.get_structure(0)) if caps.get_size() else None
    return round(Gst.SECOND / rate) if rate else 0


def _is_video(caps: Optional[Gst.Caps]) -> bool:
    """Whether the (parsed) caps are pictures: video, or JPEG as cameras send it."""
    if caps is None or caps.get_size() == 0:
        return False
    media_type = caps.get_structure(0).get_name()
    return media_type.startswith("video/") or media_type == "image/jpeg"


def _may_exceed_limit(caps: Gst.Caps, state: _DecodeState) -> bool:
    """Whether frames of these caps can come faster than the limit: a frame rate above it,
    or none known (0/1 stands for a variable rate)."""
    if not state.min_interval:
        return False
    rate = frame_rate(caps.get_structure(0))
    return rate is None or rate > state.max_framerate


@reporting_errors(Gst.PadProbeReturn.OK)
def _on_decoded_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """On the decoder's caps: links it to the converter that suits its format (once), and
    limits the frame rate when these caps may exceed the limit. A stream within the limit
    pays for no per-frame probe."""
    event = info.get_event()
    if event is not None and event.type == Gst.EventType.TAG:
        _note_rotation(event.parse_tag(), state)
    if event is None or event.type != Gst.EventType.CAPS:
        return Gst.PadProbeReturn.OK
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return Gst.PadProbeReturn.OK
    caps = event.parse_caps()
    state.found.decoded_caps = caps
    if state.limit.exceeded or not check_caps(state.limit, caps, "frames"):
        return Gst.PadProbeReturn.DROP  # the decoder cannot negotiate: it allocates nothing
    if state.sampling and not state.limiting:
        # Sampling keeps fewer frames than any limit, evenly spaced: the limit is not needed.
        state.limiting = True
        frames = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_FLUSH
        probe = engine.frame_sampling(state.sampling, _frame_duration(caps), state.ahead)
        pipeline.add_pad_probe(pad, frames, probe)
    if caps.get_size() and not state.limiting and _may_exceed_limit(caps, state):
        state.limiting = True
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, engine.frame_rate_limit(state.min_interval))
    if state.converter is not None:
        return Gst.PadProbeReturn.OK
    video_format = caps.get_structure(0).get_string("format") if caps.get_size() else None
    head = pad.get_parent_element()
    elements: List[Gst.Element] = []
    if state.threads > 1:
        # A stream with cores to itself converts on a thread of its own, beside the decoder;
        # when the cores are shared with other streams (or there is one), the converter runs on
        # the decoder's thread, which saves a hand-off per frame.
        small = {"max-size-buffers": 2, "max-size-bytes": 0, "max-size-time": 0}
        head = new_held(pipeline, "queue", properties=small)
        elements.append(head)
    conversion = _new_converter(pipeline, video_format, head if elements else None, state.size, state.rotate)
    converter = conversion[-1]
    if not converter.link(pipeline.appsink):
        raise NotLinkedError(f"Failed to link {converter.get_factory().get_name()} to the appsink")
    first = elements[0] if elements else conversion[0]
    if pad.link(first.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link the decoder to {converter.get_factory().get_name()}")
    state.converter = state.found.converter = converter
    start(pipeline, *reversed(conversion), *elements)
    return Gst.PadProbeReturn.OK


def _note_rotation(tags: Gst.TagList, state: _DecodeState) -> None:
    rotation = rotation_of(tags)
    if rotation is not None:
        state.found.rotation = rotation


def rotation_of(tags: Gst.TagList) -> Optional[int]:
    """Degrees clockwise of the container's orientation of the pictures ("rotate-90",
    "flip-rotate-270", ...), or None when the tags say none."""
    found, orientation = tags.get_string(Gst.TAG_IMAGE_ORIENTATION)
    if not (found and orientation):
        return None
    degrees = orientation.rsplit("-", 1)[-1]
    return int(degrees) if degrees in ("0", "90", "180", "270") else 0


def _new_converter(
    pipeline: Pipeline,
    video_format: Optional[str],
    upstream: Optional[Gst.Element],
    size: Optional[Tuple[int, int]] = None,
    rotate: bool = False,
) -> List[Gst.Element]:
    """The elements that convert decoded frames of `video_format` to the appsink's format (BGR,
    RGB or grey), linked one after the other after `upstream` (if any): our converter where it
    takes the format, else videoconvert. Whatever changes the frames on their way to the appsink
    (their size, their orientation) is set here, on our converter, so that it happens in the
    decoder's format, in the one write of the conversion."""
    sizes = {"width": size[0], "height": size[1]} if size is not None and size != (0, 0) else {}
    changes = {**sizes, **({"rotation": "auto"} if rotate else {})}

    def add(factory_name: str, properties: Dict[str, Any], after: Optional[Gst.Element]) -> Gst.Element:
        return new_held(pipeline, factory_name, link_to=after, properties=properties)

    if _CONVERTER_AVAILABLE and video_format in gst_plugins.CONVERTER_INPUT_FORMATS:
        # One thread: conversion runs beside decoding (other streams, or the queue's thread),
        # and splitting each frame across threads would only add CPU time.
        return [add(gst_plugins.CONVERTER_FACTORY, {"n-threads": 1, **changes}, upstream)]
    _logger.debug("Decoded format %s is converted by videoconvert", video_format)
    elements = [add("videoconvert", {"n-threads": _CORES}, upstream)]
    if changes and _CONVERTER_AVAILABLE:
        # Our converter scales and turns the picture that videoconvert makes.
        elements.append(add(gst_plugins.CONVERTER_FACTORY, changes, elements[-1]))
    elif sizes:
        elements.append(add("videoscale", {}, elements[-1]))
        fields = "".join(f",{name}={value}" for name, value in sizes.items() if value)
        elements.append(
            add("capsfilter", {"caps": Gst.Caps.from_string(f"video/x-raw{fields}")}, elements[-1])
        )
    return elements
