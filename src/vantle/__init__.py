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
# every module of the package.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import GLib, GObject, Gst, GstApp, GstRtsp, GstSdp, GstVideo

del GLib, GObject, Gst, GstApp, GstRtsp, GstSdp, GstVideo

from vantle.frame import Frame  # noqa: E402

# Importing the submodule binds the name `logger` on the package to the module; the
# from-import then rebinds it to the logger object itself. The module offers
# `warning` as well, so either binding serves `from vantle import logger`.
from vantle.logger import logger  # noqa: E402

__all__ = ["Frame", "logger", "open_stream", "open_streams", "StreamReader", "StreamSet", "StreamStats"]

_READER_NAMES = ("open_stream", "StreamReader", "StreamStats")
_MANY_NAMES = ("open_streams", "StreamSet")


def __getattr__(name: str):
    # The readers pull in GStreamer; they are imported on first use, not with the package.
    if name in _READER_NAMES:
        from vantle.stream_reader import reader

        return getattr(reader, name)
    if name in _MANY_NAMES:
        from vantle.stream_reader import many

        return getattr(many, name)
    raise AttributeError(f"module 'vantle' has no attribute '{name}'")
