"""The base of the pipeline factories: the steps every factory shares (the Pipeline and its bus
watch, the appsink with its drop policy, the start) and the decoder set-up that turns whatever
arrives at a source pad into BGR frames at the appsink, with the keyframe filter and the
frame-rate limit. A concrete factory adds only its source."""

from __future__ import annotations

import os
import threading
import weakref
from abc import ABC, abstractmethod
from typing import Any, Callable, Dict, List, Optional, Tuple

from gi.repository import GLib, GObject, Gst, GstSdp

from vantle import gst_plugins
from vantle._urls import checked_url, redact_url
from vantle.errors import NotLinkedError, StreamSetupError
from vantle.logger import logger
from vantle.pipeline_factories.launch import LaunchTemplate, items_of
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
#   live source is never throttled until its connection times out). A factory made
#   with drop_frames=False sets it to False before any frame can reach the sink.
# - sync=False: frames go out as soon as they are decoded instead of being held back
#   to the clock; the source sets the pace of a live stream anyway.
# - wait-on-eos=False: at the end of the stream the sink's streaming thread does not wait
#   for the queued frames to be taken. Waiting, it holds the sink's stream lock, and a
#   consumer that brings the pipeline down instead of taking them (one of several threads,
#   a reader being closed) would wait for that lock for ever. The frames stay queued: a
#   consumer takes them, and sees the end once the queue is empty.
_APPSINK_PROPERTIES = {
    "caps": Gst.Caps.from_string("video/x-raw,format=BGR"),
    "max-buffers": 4,
    "drop": True,
    "sync": False,
    "emit-signals": False,
    "enable-last-sample": False,
    "wait-on-eos": False,
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

# For a live source, threads that share each picture (its slices) instead of working on several
# pictures at once: frame threads hold one picture back per extra thread (67 ms at 15 frames a
# second on two cores, half a second on sixteen), which a live picture cannot afford; a file
# is read as fast as it decodes, where frame threads go faster.
_LIVE_DECODER_PROPERTIES = {"thread-type": "slice"}

# The ring buffer through which an MP4 that arrives as a byte stream is read at random: at
# most this much of the file is held at a time, and the demuxer's jumps beyond it are served
# by range requests.
_RING_BUFFER_BYTES = 16 << 20

# Errors that the decoder set-up posts itself carry a details structure of this name, whose
# field "kind" says what happened ("no-video", "no-decoder", "too-large"), so that a reader
# needs no text.
FAILURE_DETAILS = "vantle-failure"

# The most memory one frame may take, coded or decoded, unless a factory is told otherwise
# (`_max_frame_bytes`): a server that sends a part without end, or a picture of absurd size,
# ends the stream with a "too-large" error instead of filling the memory.
DEFAULT_MAX_FRAME_BYTES = 64 << 20


class PipelineFactory(ABC):
    """Builds a started Pipeline for one stream URL."""

    # A pad probe callback (pad, info) put on the input of the decoder that the decoder set-up
    # links, before any data reaches it; None for none. A reader notes keyframes with it: the
    # decoders clear the keyframe flag on what they output.
    _decoder_input_probe: Optional[Callable[[Gst.Pad, Gst.PadProbeInfo], Gst.PadProbeReturn]] = None

    # The most bytes one frame may take (see DEFAULT_MAX_FRAME_BYTES); a reader sets its own.
    _max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES

    def __init__(
        self,
        url: str,
        max_framerate: Optional[float],
        keyframes_only: bool,
        drop_frames: bool = True,
        size: Optional[Tuple[int, int]] = None,
    ):
        """
        :param url: The stream URL
        :param max_framerate: Frames per second above which decoded frames are dropped
            before colour conversion, or None for no limit
        :param keyframes_only: If True, only keyframes will be decoded
        :param drop_frames: If True, the appsink lets its oldest frames go when the consumer
            falls behind; if False, it holds the stream back until every frame is taken
        :param size: (width, height) of the frames, scaled before conversion, or None for the
            stream's own size (see frame_size)
        :raises ValueError: size is not a valid frame size, or the URL holds a character that
            GStreamer cannot carry (a NUL, a lone surrogate)
        """
        checked_url(url)
        self._url = url
        self._max_framerate = max_framerate
        self._keyframes_only = keyframes_only
        self._drop_frames = drop_frames
        self._size = frame_size(size)
        self._logger = _logger

    @abstractmethod
    def build(self) -> Pipeline:
        """Builds a new pipeline, asked to go to PLAYING."""

    # ----- the steps every factory shares -----

    def _new_pipeline(self, launch: Optional[LaunchTemplate] = None) -> Pipeline:
        """A Pipeline, empty or made from a launch string with the URL in place, named after
        the URL (its password shown as ***), with the factory's watcher on its bus and the
        pipeline as the watcher's extra argument."""
        name = redact_url(self._url)
        pipeline = Pipeline(name) if launch is None else launch.parse(name)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)  # type: ignore[attr-defined]
        return pipeline

    def _attach_appsink(self, pipeline: Pipeline, appsink: Optional[Gst.Element] = None) -> Gst.Element:
        """Makes the pipeline's appsink (or takes `appsink`, a launch string's own) with the
        base's properties and this factory's drop policy, all set before anything can flow
        into it, and stores it as `pipeline.appsink`.

        A sink that may drop frames numbers every frame that reaches it in the buffer's
        `offset`, so that a reader tells how many were dropped between two it took.
        """
        if appsink is None:
            # Not started on its own: it starts with the pipeline (see _set_up_decoder).
            appsink = pipeline.new_element("appsink", properties=_APPSINK_PROPERTIES, auto_play=False)
        else:
            for name, value in _APPSINK_PROPERTIES.items():
                appsink.set_property(name, value)
        appsink.set_property("drop", bool(self._drop_frames))
        sink_pad = appsink.get_static_pad("sink")
        if self._drop_frames:
            pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.BUFFER, _number_frame, _Arrivals())
        # Frames too large for memory are refused before the first is made, whatever made them
        # (a launch string's own decoder, too).
        limit = _FrameLimit(weakref.ref(pipeline), self._max_frame_bytes)
        pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.EVENT_DOWNSTREAM, _check_frame_caps, limit)
        pipeline.appsink = appsink
        return appsink

    def _start(self, pipeline: Pipeline) -> Pipeline:
        """Asks the pipeline to play; success or failure shows on its bus."""
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline

    # ----- decoding -----

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

        The stream's type is found first: an MP4 that arrives as a plain byte stream (HTTP)
        goes through a ring buffer that lets the demuxer read it at random, as it reads a
        file. Then a parsebin demuxes and parses it (MP4, Matroska/WebM, MPEG-TS, multipart
        MJPEG, HLS, elementary streams); its first video pad gets the keyframe filter (when
        asked for), a decoder chosen for its caps, the frame-rate limit and the converter to
        BGR. A source without video fails with a "no-video" error on the bus. Every probe and
        handler goes through the pipeline's registrations, so that release_resources gives it
        back.
        """
        typefind = pipeline.new_element("typefind", auto_play=False)
        if pad.link(typefind.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
            raise NotLinkedError(f"Failed to link {source.get_name()} to typefind")
        # A weak reference: the handlers are owned by GStreamer, and a strong one would
        # keep the pipeline alive from outside the interpreter's reach.
        state = _DecodeState(weakref.ref(pipeline), self._keyframes_only, self._max_framerate)
        state.decoder_input_probe = self._decoder_input_probe
        state.size = self._size
        state.limit = _FrameLimit(state.pipeline_ref, self._max_frame_bytes)
        pipeline.connect_signal_handler(typefind, "have-type", _on_type_found, self, state)
        # The appsink may have been started on its own, ahead of the pipeline. A sink that
        # plays while its pipeline is still on its way up keeps the pipeline posting
        # ASYNC_DONE for as long as it runs (tens of thousands a second, a busy core), so it
        # goes back to the pipeline's state and starts with it.
        _start(pipeline, typefind, pipeline.appsink)

    def _set_up_rtp_decoder(self, source: Gst.Element, pipeline: Pipeline) -> None:
        """Decodes the video of a source whose pads appear as RTP streams (rtspsrc): only
        video streams are asked for, and the first video pad is depayloaded and handed to
        _set_up_decoder. Others, if any, are discarded."""
        state = _RTPState(weakref.ref(pipeline))
        if GObject.signal_lookup("on-sdp", source.__gtype__):
            pipeline.connect_signal_handler(source, "on-sdp", _check_sdp_for_video, state)
        if GObject.signal_lookup("select-stream", source.__gtype__):
            pipeline.connect_signal_handler(source, "select-stream", _select_video_stream)
        pipeline.connect_signal_handler(source, "pad-added", _on_rtp_pad, self, state)


class _Starter:
    """Starts the elements that the decoder set-up adds to a running pipeline, and stops doing
    so once the pipeline is on its way down.

    The set-up adds them on streaming threads, in handlers that hold the stream lock of the
    pad whose data they wait for, and starts each with its pipeline's state, which takes the
    element's state lock. A thread that brings the pipeline down holds the state locks of the
    elements it stops and waits for their streaming threads: for an element reading in pull
    mode (a parsebin after a typefind or a ring buffer), the thread in the handler. Each would
    wait for the other for ever. So elements are started under a lock that the stopping thread
    takes first (stop_starting), when no state lock is held yet; from then on nothing starts.
    """

    def __init__(self) -> None:
        # Re-entrant: starting an element in pull mode may run its own handlers at once, on
        # the same thread.
        self.lock = threading.RLock()
        self.stopping = False


_STARTERS = threading.Lock()


def _starter(pipeline: Pipeline) -> _Starter:
    starter = getattr(pipeline, "_starter", None)
    if starter is None:
        with _STARTERS:
            starter = getattr(pipeline, "_starter", None)
            if starter is None:
                starter = pipeline._starter = _Starter()  # type: ignore[attr-defined]
    return starter


def _start(pipeline: Pipeline, *elements: Gst.Element) -> None:
    """Brings `elements` to the state of their pipeline, in that order, unless it is being
    brought down; those added with _add_held are then left to their pipeline's changes."""
    starter = _starter(pipeline)
    with starter.lock:
        if starter.stopping:
            return
        for element in elements:
            element.sync_state_with_parent()
            if element.is_locked_state():
                element.set_locked_state(False)
                # The pipeline may have changed state meanwhile, without this element.
                element.sync_state_with_parent()


def _add_held(pipeline: Pipeline, element: Gst.Element, link_to: Optional[Gst.Element] = None) -> Gst.Element:
    """Adds an element to a pipeline that may be changing state on another thread, out of that
    change's reach until _start starts it.

    The elements of the decoder set-up are added on streaming threads, in handlers that hold
    the stream lock of the pad whose data they wait for (a typefind reading in pull mode holds
    its own while it announces the type). A pipeline on its way up on the user's thread takes
    in the elements added meanwhile, and would start one (a parsebin) holding its state lock,
    which the handler's start waits for, while that parsebin's activation in pull mode waits
    for the handler's stream lock. Held, the element is started by the handler alone."""
    element.set_locked_state(True)
    pipeline.add(element)
    if link_to is not None and not link_to.link(element):
        raise NotLinkedError(f"Failed to link {link_to.get_name()} to {element.get_name()}")
    return element


def _new_held(
    pipeline: Pipeline,
    factory_name: str,
    link_to: Optional[Gst.Element] = None,
    properties: Optional[Dict[str, Any]] = None,
) -> Gst.Element:
    """A new element of `factory_name`, added as _add_held adds it."""
    element = Gst.ElementFactory.make(factory_name)
    if element is None:
        raise StreamSetupError(f"GStreamer has no element {factory_name}: is its plug-in installed?")
    for name, value in (properties or {}).items():
        element.set_property(name, value)
    return _add_held(pipeline, element, link_to)


def stop_starting(pipeline: Pipeline) -> None:
    """To be called before a pipeline is brought to NULL from a thread of its user: the decoder
    set-up starts no element of it from then on (see _Starter). Waits for one being started."""
    starter = _starter(pipeline)
    with starter.lock:
        starter.stopping = True


class _DecodeState:
    """What the streaming threads of one pipeline's decoder set-up share."""

    def __init__(self, pipeline_ref: weakref.ref, keyframes_only: bool, max_framerate: Optional[float]):
        self.pipeline_ref = pipeline_ref
        self.keyframes_only = keyframes_only
        self.max_framerate = max_framerate
        self.min_interval = int(Gst.SECOND / max_framerate) if max_framerate else 0
        self.limiting = False
        self.video_linked = False
        self.no_video_reported = False
        self.decoder_linked = False
        self.last_pts: Optional[int] = None
        self.converter: Optional[Gst.Element] = None
        self.decoder_input_probe: Optional[Callable[[Gst.Pad, Gst.PadProbeInfo], Gst.PadProbeReturn]] = None
        self.size: Optional[Tuple[int, int]] = None
        self.limit = _FrameLimit(pipeline_ref, DEFAULT_MAX_FRAME_BYTES)
        self.lock = threading.Lock()


class _FrameLimit:
    """The most bytes one frame of a pipeline may take, and what has arrived towards the next.

    Checked where memory for a frame is gathered or made: the bytes pushed into a demuxer or
    depayloader before it hands out a frame (an MJPEG part without end grows there), the size
    of each frame it hands out, and the size of the pictures that caps announce, before any is
    decoded. (A demuxer that pulls its data, from a file, takes whole frames.)
    The first excess posts a "too-large" error on the bus; the data of that frame is dropped
    from then on, so that nothing grows while the reader brings the pipeline down.
    """

    def __init__(self, pipeline_ref: weakref.ref, max_bytes: int):
        self.pipeline_ref = pipeline_ref
        self.max_bytes = max_bytes
        # Bytes taken in since the last frame came out (updated on streaming threads: a lost
        # update only delays the check by a buffer).
        self.pending = 0
        self.exceeded = False
        self.lock = threading.Lock()

    def fail(self, text: str) -> None:
        """Posts the "too-large" error, once."""
        with self.lock:
            first, self.exceeded = not self.exceeded, True
        pipeline = self.pipeline_ref()
        if first and pipeline is not None:
            _post_failure(pipeline, "too-large", text, Gst.StreamError.FAILED)

    def check_caps(self, caps: Optional[Gst.Caps], what: str) -> bool:
        """False (after posting the error) when pictures of these caps would not fit."""
        needed = _picture_bytes(caps)
        if needed <= self.max_bytes:
            return True
        structure = caps.get_structure(0)  # type: ignore[union-attr]
        width, height = structure.get_int("width")[1], structure.get_int("height")[1]
        self.fail(
            f"{what} of {width}x{height} take {needed} bytes each, above max_frame_bytes ({self.max_bytes})"
        )
        return False


# Buffers pushed downstream (not those pulled), and every buffer or list on its way out.
_PUSHED_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.PUSH
_OUT_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST


def _picture_bytes(caps: Optional[Gst.Caps]) -> int:
    """The bytes of one BGR picture of the size the caps give, or 0 when they give none."""
    if caps is None or caps.get_size() == 0:
        return 0
    structure = caps.get_structure(0)
    has_width, width = structure.get_int("width")
    has_height, height = structure.get_int("height")
    if not has_width or not has_height or width <= 0 or height <= 0:
        return 0
    return width * height * 3


def _count_input(pad: Gst.Pad, info: Gst.PadProbeInfo, limit: _FrameLimit) -> Gst.PadProbeReturn:
    """Counts the bytes pushed into the demuxer since it last handed out a frame."""
    buffer = info.get_buffer()
    if limit.exceeded:
        return Gst.PadProbeReturn.DROP
    if buffer is not None:
        limit.pending += buffer.get_size()
        if limit.pending > limit.max_bytes:
            limit.fail(
                f"more than {limit.max_bytes} bytes arrived without a complete frame: a part without "
                "end, or a frame above max_frame_bytes"
            )
            return Gst.PadProbeReturn.DROP
    return Gst.PadProbeReturn.OK


def _count_output(pad: Gst.Pad, info: Gst.PadProbeInfo, limit: _FrameLimit) -> Gst.PadProbeReturn:
    """A frame out of the demuxer: the count starts again; a frame itself too large fails."""
    limit.pending = 0
    buffer = info.get_buffer() if info.type & Gst.PadProbeType.BUFFER else None
    if buffer is not None and buffer.get_size() > limit.max_bytes:
        size = buffer.get_size()
        limit.fail(f"a frame of {size} bytes, above max_frame_bytes ({limit.max_bytes})")
        return Gst.PadProbeReturn.DROP
    return Gst.PadProbeReturn.OK


def _check_frame_caps(pad: Gst.Pad, info: Gst.PadProbeInfo, limit: _FrameLimit) -> Gst.PadProbeReturn:
    """Refuses the caps of decoded pictures too large for the limit: the caps event goes no
    further, so that no such picture is ever allocated."""
    event = info.get_event()
    if event is None or event.type != Gst.EventType.CAPS:
        return Gst.PadProbeReturn.OK
    if limit.exceeded or not limit.check_caps(event.parse_caps(), "frames"):
        return Gst.PadProbeReturn.DROP
    return Gst.PadProbeReturn.OK


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


def _post_failure(pipeline: Pipeline, kind: str, text: str, code: Gst.StreamError) -> None:
    """Posts a stream error on the pipeline's bus whose details name its `kind`."""
    error = GLib.Error.new_literal(Gst.stream_error_quark(), text, int(code))
    details = Gst.Structure.new_empty(FAILURE_DETAILS)
    details.set_value("kind", kind)
    pipeline.post_message(Gst.Message.new_error_with_details(pipeline, error, text, details))


class _Arrivals:
    """How many frames have reached one appsink."""

    def __init__(self) -> None:
        self.count = 0


def _number_frame(pad: Gst.Pad, info: Gst.PadProbeInfo, arrivals: _Arrivals) -> Gst.PadProbeReturn:
    """Writes each frame's arrival number into its `offset`, as it enters the appsink (one
    streaming thread feeds a sink, so the count needs no lock)."""
    buffer = info.get_buffer()
    if buffer is not None:
        buffer.offset = arrivals.count
        arrivals.count += 1
    return Gst.PadProbeReturn.OK


@_reporting_errors(None)
def _on_type_found(
    typefind: Gst.Element, probability: int, caps: Gst.Caps, factory: PipelineFactory, state: _DecodeState
) -> None:
    """On the stream's type: the ring buffer where an MP4 needs one, then the parsebin."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    head = typefind
    ring_buffer = _random_access_bytes(typefind, caps)
    if ring_buffer:
        head = _new_held(
            pipeline,
            "queue2",
            link_to=typefind,
            properties={"ring-buffer-max-size": ring_buffer, "max-size-buffers": 0, "max-size-time": 0},
        )
    parser = _new_held(pipeline, "parsebin", link_to=head)
    # What is pushed into the demuxer counts towards the frame limit; what it pulls (a file, a
    # ring buffer) comes in whole frames, checked as they come out.
    pipeline.add_pad_probe(head.get_static_pad("src"), _PUSHED_BUFFERS, _count_input, state.limit)
    pipeline.connect_signal_handler(parser, "pad-added", _on_parsed_pad, factory, state)
    _start(pipeline, parser, *([head] if head is not typefind else []))


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


@_reporting_errors(Gst.PadProbeReturn.OK)
def _on_discarded_data(pad: Gst.Pad, info: Gst.PadProbeInfo, state: _DecodeState) -> Gst.PadProbeReturn:
    """The first data of a stream that is not taken. parsebin exposes all the streams of a
    source before any data flows, so a source whose data flows without a video stream taken
    has none, and fails now instead of waiting for frames that never come. (The probe stays
    until the pipeline's release: removed here, its registration would be undone twice.)"""
    if state.video_linked or state.no_video_reported:
        return Gst.PadProbeReturn.OK
    pipeline = state.pipeline_ref()
    with state.lock:
        report = not state.video_linked and not state.no_video_reported
        state.no_video_reported = state.no_video_reported or report
    if pipeline is not None and report:
        _post_failure(pipeline, "no-video", "No video stream in the source", Gst.StreamError.WRONG_TYPE)
    return Gst.PadProbeReturn.OK


class _RTPState:
    """What the streaming threads of one RTP source share."""

    def __init__(self, pipeline_ref: weakref.ref):
        self.pipeline_ref = pipeline_ref
        self.video_taken = False
        self.lock = threading.Lock()


@_reporting_errors(None)
def _check_sdp_for_video(source: Gst.Element, sdp: GstSdp.SDPMessage, state: _RTPState) -> None:
    """rtspsrc's on-sdp, the server's description of its streams: a source without a video
    stream fails now, with that reason (rtspsrc itself would only find no stream to set up)."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    if not any(sdp.get_media(index).get_media() == "video" for index in range(sdp.medias_len())):
        _post_failure(pipeline, "no-video", "No video stream in the source", Gst.StreamError.WRONG_TYPE)


def _select_video_stream(source: Gst.Element, index: int, caps: Optional[Gst.Caps]) -> bool:
    """rtspsrc's select-stream: only video streams are set up, no audio is even received."""
    return caps is not None and caps.get_size() > 0 and caps.get_structure(0).get_string("media") == "video"


@_reporting_errors(None)
def _on_rtp_pad(source: Gst.Element, pad: Gst.Pad, factory: PipelineFactory, state: _RTPState) -> None:
    """Depayloads the first RTP video pad into the decoder set-up; discards any other."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    caps = pad.get_current_caps() or pad.query_caps(None)
    structure = caps.get_structure(0) if caps is not None and caps.get_size() else None
    with state.lock:
        take = not state.video_taken and structure is not None and structure.get_string("media") == "video"
        if take:
            state.video_taken = True
    depayloader = _find_depayloader(caps) if take else None
    if depayloader is None:
        if take:
            text = f"No depayloader for {caps.to_string()}"
            _post_failure(pipeline, "no-decoder", text, Gst.StreamError.CODEC_NOT_FOUND)
        _discard(pipeline, pad)
        return
    _add_held(pipeline, depayloader)
    # A depayloader gathers the packets of a frame until the frame's last one: a server that
    # never sends it would grow that without bound.
    limit = _FrameLimit(state.pipeline_ref, factory._max_frame_bytes)
    pipeline.add_pad_probe(depayloader.get_static_pad("sink"), _PUSHED_BUFFERS, _count_input, limit)
    pipeline.add_pad_probe(depayloader.get_static_pad("src"), _OUT_BUFFERS, _count_output, limit)
    if pad.link(depayloader.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link {pad.get_name()} to {depayloader.get_name()}")
    factory._set_up_decoder(depayloader, depayloader.get_static_pad("src"), pipeline)
    _start(pipeline, depayloader)


def _find_depayloader(caps: Gst.Caps) -> Optional[Gst.Element]:
    """The highest-ranked RTP depayloader for `caps`, or None."""
    factories = Gst.ElementFactory.list_filter(
        Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DEPAYLOADER, Gst.Rank.MARGINAL),
        caps,
        Gst.PadDirection.SINK,
        False,
    )
    return factories[0].create() if factories else None


def _discard(pipeline: Pipeline, pad: Gst.Pad) -> None:
    """Links `pad` to a fakesink: left unlinked, its data would fail with a not-linked error."""
    sink = _new_held(pipeline, "fakesink", properties={"sync": False, "async": False})
    pad.link(sink.get_static_pad("sink"))
    _start(pipeline, sink)


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
    if parser.get_static_pad("sink").mode != Gst.PadMode.PULL:
        # Counted only where bytes are pushed in: a demuxer that pulls takes whole frames.
        pipeline.add_pad_probe(pad, _OUT_BUFFERS, _count_output, state.limit)
    if not take:  # audio and further video streams
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, _on_discarded_data, state)
        _discard(pipeline, pad)
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
        caps = event.parse_caps()
        # The parser's caps give the pictures' size before any is decoded.
        if state.limit.exceeded or not state.limit.check_caps(caps, "pictures"):
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
    if not state.limit.check_caps(caps, "pictures"):
        return
    decoder = _find_decoder(caps)
    if decoder is None:
        text = f"No decoder for {caps.to_string()}"
        _post_failure(pipeline, "no-decoder", text, Gst.StreamError.CODEC_NOT_FOUND)
        return
    properties = dict(_DECODER_THREAD_PROPERTIES)
    if _arrives_live(pipeline):
        properties.update(_LIVE_DECODER_PROPERTIES)
    for name, value in properties.items():
        if decoder.find_property(name) is not None:
            try_set_property(decoder, name, value)
    _add_held(pipeline, decoder)
    decoder_src = decoder.get_static_pad("src")
    # The converter (and the frame-rate limit, where needed) is chosen once the decoded
    # format is known, on the caps event.
    pipeline.add_pad_probe(decoder_src, Gst.PadProbeType.EVENT_DOWNSTREAM, _on_decoded_caps, state)
    if state.decoder_input_probe is not None:
        decoder_sink = decoder.get_static_pad("sink")
        pipeline.add_pad_probe(decoder_sink, Gst.PadProbeType.BUFFER, state.decoder_input_probe)
    if pad.link(decoder.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link parsed stream {caps.to_string()} to {decoder.get_name()}")
    _start(pipeline, decoder)


def runs_live(pipeline: Pipeline) -> bool:
    """Whether a source element of the pipeline runs live, as its pads answer a latency query.
    (The pipeline's own answer is the sinks', and an appsink that does not sync says "not
    live" whatever feeds it.)"""
    return any(_pad_runs_live(pad) for pad in _source_pads(pipeline))


def _arrives_live(pipeline: Pipeline) -> bool:
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
    if factories:
        return factories[0].create()
    # None takes the caps whole: the best partial match, if any.
    try:
        return find_element(caps, Gst.ELEMENT_FACTORY_TYPE_DECODER)
    except StreamSetupError:
        return None


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
    if state.limit.exceeded or not state.limit.check_caps(caps, "frames"):
        return Gst.PadProbeReturn.DROP  # the decoder cannot negotiate: it allocates nothing
    if caps.get_size() and not state.limiting and _may_exceed_limit(caps, state):
        state.limiting = True
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, _limit_framerate, state)
    if state.converter is not None:
        return Gst.PadProbeReturn.OK
    video_format = caps.get_structure(0).get_string("format") if caps.get_size() else None
    # Decoding and conversion run on their own threads, a small queue between them.
    small = {"max-size-buffers": 2, "max-size-bytes": 0, "max-size-time": 0}
    queue = _new_held(pipeline, "queue", properties=small)
    conversion = _new_converter(pipeline, video_format, queue, state.size)
    converter = conversion[-1]
    if not converter.link(pipeline.appsink):
        raise NotLinkedError(f"Failed to link {converter.get_factory().get_name()} to the appsink")
    if pad.link(queue.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link the decoder to {converter.get_factory().get_name()}")
    state.converter = converter
    _start(pipeline, *reversed(conversion), queue)
    return Gst.PadProbeReturn.OK


def _new_converter(
    pipeline: Pipeline,
    video_format: Optional[str],
    upstream: Gst.Element,
    size: Optional[Tuple[int, int]] = None,
) -> List[Gst.Element]:
    """The elements that convert decoded frames of `video_format` to BGR, linked one after the
    other after `upstream`: our converter where it takes the format, else videoconvert.
    Whatever changes the frames on their way to the appsink (their size) is set here, on our
    converter, so that it happens in the decoder's format, before conversion."""
    scale = {"width": size[0], "height": size[1]} if size is not None and size != (0, 0) else {}

    def add(factory_name: str, properties: Dict[str, Any], after: Gst.Element) -> Gst.Element:
        return _new_held(pipeline, factory_name, link_to=after, properties=properties)

    if _CONVERTER_AVAILABLE and video_format in gst_plugins.CONVERTER_INPUT_FORMATS:
        # One thread: the queue already runs conversion beside decoding, on another core,
        # and splitting each frame across threads would only add CPU time.
        return [add(gst_plugins.CONVERTER_FACTORY, {"n-threads": 1, **scale}, upstream)]
    _logger.debug("Decoded format %s is converted to BGR by videoconvert", video_format)
    elements = [add("videoconvert", {"n-threads": _CORES}, upstream)]
    if scale and _CONVERTER_AVAILABLE:
        # Our converter scales the BGR picture that videoconvert makes.
        elements.append(add(gst_plugins.CONVERTER_FACTORY, scale, elements[-1]))
    elif scale:
        elements.append(add("videoscale", {}, elements[-1]))
        fields = "".join(f",{name}={value}" for name, value in scale.items() if value)
        elements.append(
            add("capsfilter", {"caps": Gst.Caps.from_string(f"video/x-raw{fields}")}, elements[-1])
        )
    return elements


# The largest side a frame can be scaled to (the converter's limit).
MAX_FRAME_SIDE = 32768


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
