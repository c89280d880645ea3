"""vantle: video streams read through GStreamer, frames handed over as numpy BGR arrays.

from vantle import open_stream

with open_stream("http://camera.local/video.mjpg") as stream:
    for frame in stream:
        ...
"""

import warnings

# PyGObject and GStreamer's introspection data come from the distribution, not from the
# package index, so a missing piece is named here with what to install instead of surfacing
# as a bare "No module named 'gi'" or "Namespace Gst not available".
_SYSTEM_PACKAGES = (
    "python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gstreamer1.0-plugins-base "
    "gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav"
)


def _bindings_missing(what: str, error: BaseException) -> str:
    return (
        f"vantle cannot {what} ({error}). It uses the system's GStreamer and its Python bindings: "
        f"on Debian or Ubuntu, apt-get install {_SYSTEM_PACKAGES}. A virtual environment sees them "
        "only if it was made from the system's python3 with --system-site-packages "
        "(/usr/bin/python3 -m venv --system-site-packages .venv)."
    )


try:
    import gi
except ImportError as error:
    # An interpreter without PyGObject, or one that finds another interpreter's build of it.
    cls = ModuleNotFoundError if isinstance(error, ModuleNotFoundError) else ImportError
    raise cls(_bindings_missing("import PyGObject, the gi module", error), name="gi") from error

try:
    # Pin the typelib versions before anything imports gi.repository, so that no import
    # of the package warns about an unversioned namespace.
    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    gi.require_version("GstRtsp", "1.0")
    gi.require_version("GstSdp", "1.0")
    gi.require_version("GstVideo", "1.0")

    # The bindings' importer predates exec_module() and says so with an ImportWarning on
    # the first import of each namespace; importing them here, once, keeps that out of
    # every module of the package. GStreamer itself is initialised, and its plug-ins loaded,
    # only when the first stream or pipeline needs them; the RTSP and SDP bindings only for RTSP.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ImportWarning)
        from gi.repository import GLib, GObject, Gst, GstApp
except (ImportError, ValueError) as error:
    raise ImportError(_bindings_missing("load GStreamer's introspection data", error)) from error

del GLib, GObject, Gst, GstApp, _bindings_missing

# Importing the submodule binds the name `logger` on the package to the module; the
# from-import then rebinds it to the logger object itself. The module offers
# `warning` as well, so either binding serves `from vantle import logger`.
from vantle.logger import logger  # noqa: E402

__all__ = [
    "Frame",
    "logger",
    "open_stream",
    "open_streams",
    "probe",
    "read_frames_at",
    "StreamInfo",
    "StreamReader",
    "StreamSet",
    "StreamStats",
]

# The names of the package that need GStreamer: imported on first use, not with the package.
_LAZY = {
    "Frame": "vantle.frame",
    "open_stream": "vantle.stream_reader.reader",
    "StreamReader": "vantle.stream_reader.reader",
    "StreamStats": "vantle.stream_reader.stats",
    "StreamInfo": "vantle.stream_reader.info",
    "probe": "vantle.stream_reader.info",
    "read_frames_at": "vantle.stream_reader.frames_at",
    "open_streams": "vantle.stream_reader.many",
    "StreamSet": "vantle.stream_reader.many",
}


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vantle' has no attribute '{name}'")
    import importlib

    return getattr(importlib.import_module(module), name)
