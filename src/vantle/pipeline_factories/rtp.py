"""The video of a source whose pads appear as RTP streams (rtspsrc): only video streams are asked
for, the first video pad is depayloaded and handed to the decoder set-up, and others, if any,
are discarded. Imported with the RTSP factory only: other sources need none of GStreamer's RTSP
and SDP bindings."""

from __future__ import annotations

import threading
import warnings
import weakref
from typing import Any, Optional

from gi.repository import GObject, Gst

from vantle.errors import NotLinkedError
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.limits import FrameLimit, post_failure, reporting_errors
from vantle.pipeline_factories.starting import add_held, start
from vantle.utils.gstreamer import Pipeline

with warnings.catch_warnings():
    # The bindings' importer says so with an ImportWarning on a namespace's first import.
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import GstRtsp, GstSdp  # noqa: F401 - GstRtsp: the RTSP factory's

_OUT_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST
_PUSHED_BUFFERS = Gst.PadProbeType.BUFFER | Gst.PadProbeType.PUSH


class _RTPState:
    """What the streaming threads of one RTP source share."""

    def __init__(self, pipeline: Pipeline):
        self.pipeline_ref = weakref.ref(pipeline)
        self.video_taken = False
        self.video_selected = False
        self.lock = threading.Lock()


def set_up(factory: Any, source: Gst.Element, pipeline: Pipeline) -> None:
    """Decodes the video of `source`, whose pads appear once the server has described its
    streams, with the options of `factory`."""
    state = _RTPState(pipeline)
    if GObject.signal_lookup("on-sdp", source.__gtype__):
        pipeline.connect_signal_handler(source, "on-sdp", _check_sdp_for_video, state)
    if GObject.signal_lookup("select-stream", source.__gtype__):
        pipeline.connect_signal_handler(source, "select-stream", _select_video_stream, state)
    pipeline.connect_signal_handler(source, "pad-added", _on_rtp_pad, factory, state)


@reporting_errors(None)
def _check_sdp_for_video(source: Gst.Element, sdp: GstSdp.SDPMessage, state: _RTPState) -> None:
    """rtspsrc's on-sdp, the server's description of its streams: a source without a video
    stream fails now, with that reason (rtspsrc itself would only find no stream to set up)."""
    pipeline = state.pipeline_ref()
    if pipeline is None:
        return
    if not any(sdp.get_media(index).get_media() == "video" for index in range(sdp.medias_len())):
        post_failure(pipeline, "no-video", "No video stream in the source", Gst.StreamError.WRONG_TYPE)


def _select_video_stream(source: Gst.Element, index: int, caps: Optional[Gst.Caps], state: _RTPState) -> bool:
    """rtspsrc's select-stream: only the first video stream is set up; no other is even
    received (a server that describes thousands of streams gets one set-up, not thousands of
    sockets)."""
    video = caps is not None and caps.get_size() > 0 and caps.get_structure(0).get_string("media") == "video"
    with state.lock:
        take = video and not state.video_selected
        state.video_selected = state.video_selected or take
    return take


@reporting_errors(None)
def _on_rtp_pad(source: Gst.Element, pad: Gst.Pad, factory: Any, state: _RTPState) -> None:
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
            post_failure(pipeline, "no-decoder", text, Gst.StreamError.CODEC_NOT_FOUND)
        decoding.discard(pipeline, pad)
        return
    add_held(pipeline, depayloader)
    # A depayloader gathers the packets of a frame until the frame's last one: a server that
    # never sends it would grow that without bound.
    limit = FrameLimit(pipeline, factory._max_frame_bytes)
    pipeline.add_pad_probe(depayloader.get_static_pad("sink"), _PUSHED_BUFFERS, limit.count_input())
    pipeline.add_pad_probe(depayloader.get_static_pad("src"), _OUT_BUFFERS, limit.count_output())
    if pad.link(depayloader.get_static_pad("sink")) != Gst.PadLinkReturn.OK:
        raise NotLinkedError(f"Failed to link {pad.get_name()} to {depayloader.get_name()}")
    decoding.set_up(factory, depayloader, depayloader.get_static_pad("src"), pipeline)
    start(pipeline, depayloader)


def _find_depayloader(caps: Gst.Caps) -> Optional[Gst.Element]:
    """The highest-ranked RTP depayloader for `caps`, or None."""
    factories = Gst.ElementFactory.list_filter(
        Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DEPAYLOADER, Gst.Rank.MARGINAL),
        caps,
        Gst.PadDirection.SINK,
        False,
    )
    return factories[0].create() if factories else None
