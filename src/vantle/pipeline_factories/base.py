"""The base of the pipeline factories: decoding whatever arrives at a source pad into BGR
frames at the pipeline's appsink, the keyframe filter and the frame-rate limit."""

from __future__ import annotations

import os
import threading
import weakref
from abc import ABC, abstractmethod
from typing import Callable, Optional

from gi.repository import Gst

from vantle import gst_plugins
from vantle.errors import NotLinkedError
from vantle.logger import logger
from vantle.utils.gstreamer import (
    Pipeline,
    find_element,
    try_set_property,
)

# The watcher a factory registers on each pipeline's bus: called with the bus, the
# message and the pipeline; a false return removes the watch.
_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], bool]

# Frames per second above which frames are dropped, before colour conversion.
_FRAMERATE_LIMIT: Optional[float] = 60.0

# The appsink of every built pipeline, tuned for live analytics:
# - BGR caps: the only format frames are converted from (sample_to_ndarray).
# - a bounded queue of a few frames, so a slow consumer never makes memory grow;
# - drop=True: when the consumer falls behind, the oldest queued frames give way to
#   new ones, so analytics see the present rather than an ever-older backlog (and a
#   live source is never throttled until its connection times out). Readers that
#   want every frame of a file set drop to False on their appsink.
# - sync=False: frames go out as soon as they are decoded instead of being held back
#   to the clock; the source sets the pace of a live stream anyway.
_APPSINK_PROPERTIES = {
    "caps": Gst.Caps.from_string("video/x-raw,format=BGR"),
    "max-buffers": 4,
    "drop": True,
    "sync": False,
    "emit-signals": False,
    "enable-last-sample": False,
}

_logger = logger

# The converter to BGR: ours where the decoded format allows, else GStreamer's.
_CONVERTER_AVAILABLE = gst_plugins.register()

_CORES = os.cpu_count() or 1

# GStreamer loads a plug-in when its first element is made: for libav's decoders that is
# about a tenth of a second, paid by the first stream's start. It is paid here instead, as
# other video libraries pay for their decoders when they are imported.
_PRELOADED_DECODER = Gst.ElementFactory.find("avdec_h264")
if _PRELOADED_DECODER is not None:
    _PRELOADED_DECODER = _PRELOADED_DECODER.load()

# Decoder properties that spread decoding over every core (0 means "all cores").
_DECODER_THREAD_PROPERTIES = {"max-threads": 0, "threads": _CORES}


class PipelineFactory(ABC):
    """Builds a started Pipeline for one stream URL."""

    def __init__(self, url: str, max_framerate: Optional[float], keyframes_only: bool):
        """
        :param url: The stream URL
        :param max_framerate: Frames per second above which decoded frames are dropped
            before colour conversion, or None for no limit
        :param keyframes_only: If True, only keyframes will be decoded
        """
        self._url = url
        self._max_framerate = max_framerate
        self._keyframes_only = keyframes_only
        self._logger = _logger

    @abstractmethod
    def build(self) -> Pipeline:
        """Builds a new pipeline, asked to go to PLAYING."""

    def _buffer_pad_probe(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        """Drops every buffer that is not a keyframe (flagged DELTA_UNIT) and passes the rest.

        Placed where frames are parsed, so that the decoder only ever sees keyframes.
        """
        buffer = info.get_buffer()
        if buffer is not None and buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    def _set_up_decoder(self, source: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None:
        """Decodes what arrives at `pad` into BGR frames at `pipeline.appsink`.

        A parsebin demuxes and parses the stream (MP4, Matroska/WebM, MPEG-TS, multipart
        MJPEG, elementary streams); its first video pad gets the keyframe filter (when
        asked for), a decoder chosen for its caps, the frame-rate limit and the converter
        to BGR. Every probe and handler goes through the pipeline's registrations, so
        that release_resources gives it back.
        """
        parser = pipeline.new_element("parsebin", auto_play=False)
        if pad.link(parser.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
            raise NotLinkedError(f"Failed to link {source.get_name()} to parsebin")
        # A weak reference: the handler is owned by GStreamer, and a strong one would
        # keep the pipeline alive from outside the interpreter's reach.
        state = _DecodeState(weakref.ref(pipeline), self._keyframes_only, self._max_framerate)
        pipeline.connect_signal_handler(parser, "pad-added", _on_parsed_pad, self, state)
        parser.sync_state_with_parent()
        # The appsink may have been started on its own, ahead of the pipeline. A sink that
        # plays while its pipeline is still on its way up keeps the pipeline posting
        # ASYNC_DONE for as long as it runs (tens of thousands a second, a busy core), so it
        # goes back to the pipeline's state and starts with it.
        pipeline.appsink.sync_state_with_parent()


class _DecodeState:
    """What the streaming threads of one pipeline's decoder set-up share."""

    def __init__(self, pipeline_ref: weakref.ref, keyframes_only: bool, max_framerate: Optional[float]):
        self.pipeline_ref = pipeline_ref
        self.keyframes_only = keyframes_only
        self.max_framerate = max_framerate
        self.min_interval = int(Gst.SECOND / max_framerate) if max_framerate else 0
        self.limiting = False
        self.video_linked = False
        self.decoder_linked = False
        self.last_pts: Optional[int] = None
        self.converter: Optional[Gst.Element] = None
        self.lock = threading.Lock()


def _reporting_errors(fallback):
    """Runs a streaming-thread callback so that a failure reaches the pipeline's bus as a
    stream error (and so the reader), instead of being printed and lost."""

    def wrap(callback):
        def run(*args):
            state = args[-1]
            try:
                return callback(*args)
            except Exception as error:  # noqa: BLE001 - any failure must reach the bus
                pipeline = state.pipeline_ref()
                if pipeline is not None:
                    _post_error(pipeline, f"Decoder set-up failed: {type(error).__name__}: {error}")
                return fallback

        return run

    return wrap


def _post_error(pipeline: Pipeline, text: str) -> None:
    # post_error names the caller of the function that calls it as the error's origin. Called
    # straight from `run`, the outermost frame of a streaming thread, it would find no such
    # caller and raise IndexError instead of posting; from here, the origin is `run`.
    pipeline.post_error(text)


@_reporting_errors(None)
def _on_parsed_pad(parser: Gst.Element, pad: Gst.Pad, factory: PipelineFactory, state: _DecodeState) -> None:
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    caps = pad.get_current_caps()
    with state.lock:
        take = not state.video_linked and _is_video(caps or pad.query_caps(None))
        if take:
            state.video_linked = True
    if not take:
        # Audio and further video streams are discarded; left unlinked, their data
        # would fail with a not-linked error.
        sink = pipeline.new_element("fakesink", properties={"sync": False, "async": False}, auto_play=False)
        pad.link(sink.get_static_pad("sink"))
        sink.sync_state_with_parent()
        return

    if state.keyframes_only:
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, factory._buffer_pad_probe)
    # parsebin may expose a pad before its caps are settled (MPEG-TS, VP9): its query
    # then answers with every variant the parser could produce, and a decoder chosen on
    # those may refuse the real stream. The decoder is chosen on the first caps event.
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, _on_parsed_caps, state)
    caps = pad.get_current_caps()
    if caps is not None:  # settled already, perhaps while the probe was being added
        _link_decoder(pad, caps, state)


@_reporting_errors(Gst.PadProbeReturn.OK)
def _on_parsed_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """On the parsed stream's first caps, links the decoder, before the caps go on to it."""
    event = info.get_event()
    if event is not None and event.type == Gst.EventType.CAPS:
        _link_decoder(pad, event.parse_caps(), state)
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
    decoder = _find_decoder(caps)
    for name, value in _DECODER_THREAD_PROPERTIES.items():
        if decoder.find_property(name) is not None:
            try_set_property(decoder, name, value)
    pipeline.add(decoder)
    decoder_src = decoder.get_static_pad("src")
    # The converter (and the frame-rate limit, where needed) is chosen once the decoded
    # format is known, on the caps event.
    pipeline.add_pad_probe(decoder_src, Gst.PadProbeType.EVENT_DOWNSTREAM, _on_decoded_caps, state)
    if pad.link(decoder.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link parsed stream {caps.to_string()} to {decoder.get_name()}")
    decoder.sync_state_with_parent()


def _find_decoder(caps: Gst.Caps) -> Gst.Element:
    """The highest-ranked decoder that takes every variant of `caps`.

    A decoder whose template only intersects the caps is not enough: the VP8/VP9 alpha
    decoders outrank the plain ones and accept only streams with codec-alpha=true.
    """
    factories = Gst.ElementFactory.list_filter(
        Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, Gst.Rank.MARGINAL),
        caps,
        Gst.PadDirection.SINK,
        True,
    )
    if factories:
        return factories[0].create()
    # None takes the caps whole; the best partial match, or the lookup's own error.
    return find_element(caps, Gst.ELEMENT_FACTORY_TYPE_DECODER)


def _is_video(caps: Optional[Gst.Caps]) -> bool:
    """Whether the (parsed) caps are pictures: video, or JPEG as cameras send it."""
    if caps is None or caps.get_size() == 0:
        return False
    media_type = caps.get_structure(0).get_name()
    return media_type.startswith("video/") or media_type == "image/jpeg"


def _limit_framerate(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """Drops decoded frames that come sooner than the frame-rate limit allows."""
    buffer = info.get_buffer()
    pts = buffer.pts if buffer is not None else Gst.CLOCK_TIME_NONE
    if pts == Gst.CLOCK_TIME_NONE:
        return Gst.PadProbeReturn.OK
    last = state.last_pts
    # A little slack, so that a stream at exactly the limit keeps every frame.
    if last is not None and last <= pts < last + state.min_interval * 9 // 10:
        return Gst.PadProbeReturn.DROP
    state.last_pts = pts
    return Gst.PadProbeReturn.OK


def _may_exceed_limit(caps: Gst.Caps, state: _DecodeState) -> bool:
    """Whether frames of these caps can come faster than the limit: a frame rate above it,
    or none known (0/1 stands for a variable rate)."""
    if not state.min_interval:
        return False
    valid, numerator, denominator = caps.get_structure(0).get_fraction("framerate")
    return not valid or numerator <= 0 or denominator <= 0 or numerator / denominator > state.max_framerate


@_reporting_errors(Gst.PadProbeReturn.OK)
def _on_decoded_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """On the decoder's caps: links it to the converter that suits its format (once), and
    limits the frame rate when these caps may exceed the limit. A stream within the limit
    pays for no per-frame callback."""
    event = info.get_event()
    if event is None or event.type != Gst.EventType.CAPS:
        return Gst.PadProbeReturn.OK
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return Gst.PadProbeReturn.OK
    caps = event.parse_caps()
    if caps.get_size() and not state.limiting and _may_exceed_limit(caps, state):
        state.limiting = True
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, _limit_framerate, state)
    if state.converter is not None:
        return Gst.PadProbeReturn.OK
    video_format = caps.get_structure(0).get_string("format") if caps.get_size() else None
    if _CONVERTER_AVAILABLE and video_format in gst_plugins.CONVERTER_INPUT_FORMATS:
        # One thread: the queue already runs conversion beside decoding, on another core,
        # and splitting each frame across threads would only add CPU time.
        factory_name, properties = gst_plugins.CONVERTER_FACTORY, {"n-threads": 1}
    else:
        factory_name, properties = "videoconvert", {"n-threads": _CORES}
    # Decoding and conversion run on their own threads, a small queue between them.
    queue = pipeline.new_element(
        "queue",
        properties={"max-size-buffers": 2, "max-size-bytes": 0, "max-size-time": 0},
        auto_play=False,
    )
    converter = pipeline.new_element(factory_name, link_to=queue, properties=properties, auto_play=False)
    if not converter.link(pipeline.appsink):
        raise NotLinkedError(f"Failed to link {factory_name} to the appsink")
    if pad.link(queue.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link the decoder to {factory_name}")
    state.converter = converter
    converter.sync_state_with_parent()
    queue.sync_state_with_parent()
    return Gst.PadProbeReturn.OK
