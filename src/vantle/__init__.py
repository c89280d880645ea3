"""vantle: video streams read through GStreamer, frames handed over as numpy BGR arrays.

from vantle import open_stream

with open_stream("http://camera.local/video.mjpg") as stream:
    for frame in stream:
        ...
"""

import warnings

import gi

# Pin the typelib versions before anything imports gi.repository, so that no import
# of the package warns about an unversioned namespace.
gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstSdp", "1.0")
gi.require_version("GstVideo", "1.0")

# The bindings' importer predates exec_module() and says so with an ImportWarning on
# the first import of each namespace; importing them here, once, keeps that out of
# every module of the package. GStreamer itself is initialised, and its plug-ins loaded, only
# when the first stream or pipeline needs them; the RTSP and SDP bindings only for RTSP.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import GLib, GObject, Gst, GstApp

del GLib, GObject, Gst, GstApp

# Importing the submodule binds the name `logger` on the package to the module; the
# from-import then rebinds it to the logger object itself. The module offers
# `warning` as well, so either binding serves `from vantle import logger`.
from vantle.logger import logger  # noqa: E402

__all__ = ["Frame", "logger", "open_stream", "open_streams", "StreamReader", "StreamSet", "StreamStats"]

# The names of the package that need GStreamer: imported on first use, not with the package.
_LAZY = {
    "Frame": "vantle.frame",
    "open_stream": "vantle.stream_reader.reader",
    "StreamReader": "vantle.stream_reader.reader",
    "StreamStats": "vantle.stream_reader.stats",
    "open_streams": "vantle.stream_reader.many",
    "StreamSet": "vantle.stream_reader.many",
}


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vantle' has no attribute '{name}'")
    import importlib

    return getattr(importlib.import_module(module), name)
