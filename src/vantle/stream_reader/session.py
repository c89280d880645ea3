"""One pipeline of a reader: the factory that builds it (picked from the URL in one table), the
build without a watch on its bus, and bringing it down.

The reader alone holds its pipeline: GStreamer's threads and GLib hold nothing that leads back
to the reader, so a reader that is dropped without close() is collected, and its finaliser
brings the pipeline down.
"""

from __future__ import annotations

import importlib
import os
import threading
import warnings
from typing import Any, Dict, Optional, Tuple

from gi.repository import GLib, Gst

from vantle._urls import redact_url, scheme_of
from vantle.errors import UnsupportedSourceError
from vantle.pipeline_factories import decoding
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.pipeline_factories.starting import stop_starting
from vantle.stream_reader.options import ReaderOptions
from vantle.utils.gstreamer import Pipeline

# The factory of each URL scheme ("" stands for a local path), as (module, class): a factory's
# module is imported when a URL needs it, so that reading a file never loads the RTSP bindings.
FACTORIES: Dict[str, Any] = {
    "rtsp": ("vantle.pipeline_factories.rtsp", "RTSPPipelineFactory"),
    "rtsps": ("vantle.pipeline_factories.rtsp", "RTSPPipelineFactory"),
    "http": ("vantle.pipeline_factories.http", "HTTPPipelineFactory"),
    "https": ("vantle.pipeline_factories.http", "HTTPPipelineFactory"),
    "file": ("vantle.pipeline_factories.file", "FilePipelineFactory"),
    "": ("vantle.pipeline_factories.file", "FilePipelineFactory"),
}
CUSTOM_FACTORY = ("vantle.pipeline_factories.custom", "CustomPipelineFactory")

# Options that only some factories take, by the scheme of their URL.
_FACTORY_OPTIONS = {"rtsp": ("rtsp_transport", "latency"), "rtsps": ("rtsp_transport", "latency")}

SUPPORTED_SOURCES = (
    "rtsp:// or rtsps:// URLs, http:// or https:// URLs (HLS playlists too), local paths or file:// URLs, "
    'or a GStreamer launch string with "{url}" given as pipeline='
)

# The time given to a pipeline to reach NULL when a reader lets it go (most reach it at once,
# in set_state), on a thread of its own.
NULL_SECONDS = 5.0

# How long the one who lets a pipeline go waits for it to be down: a slice, after which it goes
# down without holding anyone up.
STOP_WAIT = 0.05


def factory_class(entry: Any) -> type:
    """The class of a FACTORIES entry (a class, or (module, class name) imported now)."""
    if isinstance(entry, type):
        return entry
    module_name, name = entry
    with warnings.catch_warnings():
        # The bindings' importer says so with an ImportWarning on a namespace's first import.
        warnings.simplefilter("ignore", ImportWarning)
        return getattr(importlib.import_module(module_name), name)


def source_kind(url: object, launch: Optional[str]) -> str:
    """The FACTORIES key of `url` ("custom" with a launch string).

    :raises TypeError: The URL is not a str (without a launch string)
    :raises UnsupportedSourceError: The URL is of no supported kind
    """
    if launch is not None:
        return "custom"
    if not isinstance(url, str):
        raise TypeError(f"The stream URL must be a str, not {type(url).__name__}")
    scheme = "" if os.path.exists(url) else scheme_of(url)
    if scheme not in FACTORIES:
        shown = redact_url(url)
        raise UnsupportedSourceError(
            f"Unsupported source {shown!r}: the reader takes {SUPPORTED_SOURCES}",
            kind="unsupported-source",
            url=shown,
        )
    return scheme


def make_factory(url: Any, launch: Optional[str], kind: str, options: ReaderOptions) -> Any:
    """The factory of a reader's pipelines, with the reader's options as its arguments."""
    common = {
        "url": url,
        "pipeline_watcher": unused_watch,
        "keyframes_only": options.keyframes_only,
        "drop_frames": options.drop_frames,
        "max_frame_bytes": options.max_frame_bytes,
        "format": options.format,
        "fps": options.fps,
    }
    if kind == "custom":
        # A launch string turns its pictures as it pleases: `rotate` is the decoder set-up's.
        return factory_class(CUSTOM_FACTORY)(launch, **common)
    common["rotate"] = options.rotate
    own = {name: getattr(options, name) for name in _FACTORY_OPTIONS.get(kind, ())}
    if kind in ("rtsp", "rtsps"):
        own["tcp_timeout"] = max(options.timeout, options.frame_timeout)
        # A camera cannot wait: frames beyond the few the appsink holds would pile up in the
        # jitter buffer, without bound, behind a consumer slower than the camera. They are let
        # go instead, the oldest first, and counted as dropped.
        common["drop_frames"] = True
    return factory_class(FACTORIES[kind])(**common, size=options.size, **own)


def unused_watch(bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
    """The watcher the reader gives its factories. It is never called: see build."""
    return True


def build(factory: Any, launch: Optional[str], max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES) -> Pipeline:
    """Builds the pipeline with no watch left on its bus.

    The reader takes the messages off the bus itself (the per-frame engine does, on every
    step). A factory registers its watcher in the thread-default main context; a main loop of
    the application iterating that context would take the messages first. So the watch is
    registered in a context of its own, which nothing ever iterates, and removed as soon as
    the pipeline is built. Nothing that GLib or GStreamer holds refers to the reader.
    """
    context = GLib.MainContext.new()
    context.push_thread_default()
    try:
        pipeline = factory.build()
    finally:
        context.pop_thread_default()
    pipeline.get_bus().remove_watch()
    if launch is not None:
        # A launch string has its own decoders: watched from here on (keyframes, picture sizes).
        decoding.watch_decoders(pipeline, max_frame_bytes)
    return pipeline


class Session:
    """One pipeline of a reader, until it is brought down (once, whichever threads ask: a
    second waits for the first). Holds nothing of GStreamer afterwards, so that an exception
    whose traceback holds the session keeps no pipeline (nor its sockets) alive."""

    def __init__(self, pipeline: Pipeline):
        self.pipeline: Optional[Pipeline] = pipeline
        self._lock = threading.Lock()

    def is_live(self, http: Optional[Tuple[str, Optional[int]]]) -> bool:
        """A live source: one that GStreamer runs live (RTSP), or an HTTP response whose media
        says it is a stream rather than a file: multipart (a camera's MJPEG). A response
        without a length is a file all the same (proxies, compressing and dynamic servers send
        files so), whose end is the end. `http` is (content type, length) of the response, if
        the source is HTTP."""
        pipeline = self.pipeline
        if pipeline is None:
            return False
        if decoding.runs_live(pipeline):
            return True
        return bool(http) and http[0].startswith("multipart/")

    def stop(self, wait: float = STOP_WAIT) -> None:
        """Brings the pipeline to NULL and releases what it registered, on a thread of
        GStreamer's: waits `wait` seconds at most for it. Most pipelines are down at once; one
        whose source waits for a server (rtspsrc for a TCP time-out, say) goes on going down
        without holding its caller, or a loop over many streams, up."""
        with self._lock:
            pipeline, self.pipeline = self.pipeline, None
        if pipeline is None:
            return
        # From now on the decoder set-up starts nothing (waiting for an element being started).
        stop_starting(pipeline)
        done = threading.Event()
        pipeline.call_async(_stop_pipeline, done)
        done.wait(wait)

    def stop_later(self) -> None:
        """Has GStreamer bring the pipeline down on a thread of its own, and returns at once."""
        self.stop(wait=0.0)


def _stop_pipeline(pipeline: Pipeline, done: threading.Event) -> None:
    try:
        stop_starting(pipeline)
        # Going down to NULL is done in set_state itself; the wait is for a pipeline that said
        # otherwise.
        if pipeline.set_state(Gst.State.NULL) != Gst.StateChangeReturn.SUCCESS:
            pipeline.wait_until_null(NULL_SECONDS)
    finally:
        try:
            pipeline.release_resources()
        finally:
            done.set()
