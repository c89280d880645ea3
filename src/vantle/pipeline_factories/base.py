"""The base of the pipeline factories: the steps every factory shares (the Pipeline and its bus
watch, the appsink with its drop policy, the start), and the entries to the decoder set-up
(decoding.py) and, for RTSP, to the RTP set-up (rtp.py). A concrete factory adds only its
source."""

from __future__ import annotations

import logging
from abc import ABC, abstractmethod
from typing import Callable, Optional, Tuple

from gi.repository import Gst

from vantle import gst_plugins
from vantle._urls import checked_url, redact_url
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.launch import LaunchTemplate
from vantle.pipeline_factories.limits import (
    DEFAULT_MAX_FRAME_BYTES,
    FrameLimit,
    VideoSearch,  # noqa: F401 - names of the factory base
    frame_size,
    refuse_large_caps,
)
from vantle.pipeline_factories.starting import stop_starting  # noqa: F401 - a name of the factory base
from vantle.utils import engine
from vantle.utils.gstreamer import Pipeline

# The watcher a factory registers on each pipeline's bus: called with the bus, the
# message and the pipeline; a false return removes the watch.
_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], bool]

# Frames per second above which frames are dropped, before colour conversion.
_FRAMERATE_LIMIT: Optional[float] = 60.0

# The appsink of every built pipeline, tuned for live analytics:
# - BGR caps: the frames' format, which the reader's arrays (and sample_to_ndarray) take.
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

_logger = logging.getLogger(__name__)

# The pixel formats of frames: a factory's `format` and GStreamer's name.
PIXEL_FORMATS = {"bgr": "BGR", "rgb": "RGB", "gray": "GRAY8"}

# The converter element is registered before any pipeline is made: launch strings name it too.
gst_plugins.register()


class _KeyframeFilter:
    """Drops every buffer that is not a keyframe (flagged DELTA_UNIT) and passes the rest: the
    probe a factory puts where frames are parsed, so that the decoder only ever sees keyframes.
    Registered with Pipeline.add_pad_probe it runs natively; called, it answers as a probe
    callback does."""

    __name__ = "_buffer_pad_probe"

    def __call__(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        buffer = info.get_buffer()
        if buffer is not None and buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    def attach_to_pad(self, pad: Gst.Pad, mask: Gst.PadProbeType) -> int:
        return engine.delta_unit_filter().attach_to_pad(pad, mask)


class _Started:
    """The process (its fork epoch) that started the first pipeline. GStreamer's thread pools
    then hold threads that a child made by fork() does not have, nor the locks they held: a
    child that started pipelines of its own would wait for them for ever, now and then."""

    epoch: Optional[int] = None

    @classmethod
    def note(cls) -> None:
        if cls.epoch is None:
            cls.epoch = engine.epoch()


def note_pipelines_started() -> None:
    """Notes that this process starts pipelines (of its own make, too)."""
    _Started.note()


def pipelines_started_by_a_parent() -> bool:
    """Whether this process was made by fork() from one that had started pipelines already."""
    return _Started.epoch is not None and _Started.epoch != engine.epoch()


class PipelineFactory(ABC):
    """Builds a started Pipeline for one stream URL."""

    def __init__(
        self,
        url: str,
        max_framerate: Optional[float],
        keyframes_only: bool,
        drop_frames: bool = True,
        size: Optional[Tuple[int, int]] = None,
        max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES,
        format: str = "bgr",
        rotate: bool = False,
        fps: Optional[float] = None,
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
        :param max_frame_bytes: The most memory one frame may take, coded or decoded: a larger
            one fails the stream with a "too-large" error
        :param format: The frames' pixels: "bgr", "rgb" or "gray" (one channel), written by the
            converter itself
        :param rotate: If True, the picture is turned upright as the container's orientation
            says (a phone's video), in the converter's one write
        :param fps: Frames a second of stream time to keep, evenly spaced by their times; the
            others are dropped before conversion, and every frame carries its position in the
            stream. None: every frame
        :raises ValueError: size, max_frame_bytes, format or fps is out of range, or the URL holds a
            character that GStreamer cannot carry (a NUL, a lone surrogate)
        """
        checked_url(url)
        if isinstance(max_frame_bytes, bool) or not isinstance(max_frame_bytes, int) or max_frame_bytes < 1:
            raise ValueError(
                f"max_frame_bytes must be a whole number of bytes, 1 or more, not {max_frame_bytes!r}"
            )
        self._url = url
        self._max_framerate = max_framerate
        self._keyframes_only = keyframes_only
        self._drop_frames = drop_frames
        self._size = frame_size(size)
        if format not in PIXEL_FORMATS:
            raise ValueError(f"format must be 'bgr', 'rgb' or 'gray', not {format!r}")
        self._max_frame_bytes = max_frame_bytes
        self._format = format
        self._rotate = bool(rotate)
        if fps is not None and (isinstance(fps, bool) or not 0 < float(fps) < 1e9):
            raise ValueError(f"fps must be a number of frames a second above 0, not {fps!r}")
        # The interval between kept frames, in nanoseconds, or None for every frame.
        self._sampling = None if fps is None else max(1, round(Gst.SECOND / float(fps)))
        self._logger = _logger
        self._buffer_pad_probe = _KeyframeFilter()

    @abstractmethod
    def build(self) -> Pipeline:
        """Builds a new pipeline, asked to go to PLAYING."""

    # ----- the steps every factory shares -----

    def _new_pipeline(self, launch: Optional[LaunchTemplate] = None) -> Pipeline:
        """A Pipeline, empty or made from a launch string with the URL in place, named after
        the URL (its secrets shown as ***), with the factory's watcher on its bus and the
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
        own_decoders = appsink is not None
        if appsink is None:
            # Not started on its own: it starts with the pipeline (see decoding.set_up).
            appsink = pipeline.new_element("appsink", properties=_APPSINK_PROPERTIES, auto_play=False)
        else:
            for name, value in _APPSINK_PROPERTIES.items():
                appsink.set_property(name, value)
        if self._format != "bgr":
            appsink.set_property(
                "caps", Gst.Caps.from_string(f"video/x-raw,format={PIXEL_FORMATS[self._format]}")
            )
        appsink.set_property("drop", bool(self._drop_frames))
        sink_pad = appsink.get_static_pad("sink")
        if self._drop_frames:
            pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.BUFFER, engine.frame_numbering())
        # Frames too large for memory are refused before the first is made, whatever made them
        # (a launch string's own decoder, too).
        limit = FrameLimit(pipeline, self._max_frame_bytes)
        pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.EVENT_DOWNSTREAM, refuse_large_caps, limit)
        if own_decoders and self._sampling:
            # A launch string's frames are sampled where they arrive (the decoder set-up samples
            # before conversion), counted on after a seek (the rate is not known here).
            frames = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_FLUSH
            pipeline.add_pad_probe(sink_pad, frames, engine.frame_sampling(self._sampling, 0))
        pipeline.appsink = appsink
        return appsink

    def _start(self, pipeline: Pipeline) -> Pipeline:
        """Asks the pipeline to play; success or failure shows on its bus."""
        _Started.note()
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline

    # ----- decoding -----

    def _set_up_decoder(self, source: Gst.Element, pad: Gst.Pad, pipeline: Pipeline) -> None:
        """Decodes what arrives at `pad` into BGR frames at `pipeline.appsink` (decoding.py)."""
        decoding.set_up(self, source, pad, pipeline)

    def _set_up_rtp_decoder(self, source: Gst.Element, pipeline: Pipeline) -> None:
        """Decodes the video of a source whose pads appear as RTP streams (rtspsrc): see rtp.py."""
        from vantle.pipeline_factories import rtp

        rtp.set_up(self, source, pipeline)


runs_live = decoding.runs_live
