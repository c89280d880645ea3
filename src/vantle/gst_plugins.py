"""The package's own GStreamer plugin: loaded from the package's `gst-plugins` folder into
GStreamer's registry, so that its elements are found by name like any other (no environment
variable needed).

The plugin holds one element, `vantleconvert`: a colour converter from the usual decoder outputs
to packed BGR, much cheaper than videoconvert for that job, which can also resize the picture
before converting it (its `width` and `height` properties).
"""

from __future__ import annotations

import threading
from pathlib import Path

from gi.repository import GLib, Gst

from vantle.logger import logger

# The element's factory name and the formats of its sink pad (BGR passes through untouched): 8-bit
# planar and semi-planar YUV 4:2:0, 4:2:2 and 4:4:4, packed 4:2:2, 10- to 16-bit YUV, grey and RGB.
CONVERTER_FACTORY = "vantleconvert"
CONVERTER_INPUT_FORMATS = frozenset(
    {
        "BGR",
        "I420",
        "YV12",
        "NV12",
        "NV21",
        "Y42B",
        "NV16",
        "Y444",
        "NV24",
        "YUY2",
        "UYVY",
        "GRAY8",
        "I420_10LE",
        "I420_12LE",
        "I422_10LE",
        "I422_12LE",
        "Y444_10LE",
        "Y444_12LE",
        "P010_10LE",
        "P012_LE",
        "P016_LE",
        "GRAY16_LE",
        "BGRx",
        "BGRA",
        "RGBx",
        "RGBA",
        "RGB",
    }
)

PLUGIN_DIR = Path(__file__).resolve().parent / "gst-plugins"
PLUGIN_FILE = "libgstvantle.so"

_lock = threading.Lock()


def register() -> bool:
    """Loads the plugin into GStreamer's registry (once; later calls only check) and returns
    whether the `vantleconvert` element is available. Never raises: a missing or unloadable
    plugin is logged as a warning and gives False, and callers fall back to videoconvert."""
    with _lock:
        if not Gst.is_initialized():
            Gst.init(None)
        if Gst.ElementFactory.find(CONVERTER_FACTORY) is not None:
            return True
        path = PLUGIN_DIR / PLUGIN_FILE
        if not path.is_file():
            logger.warning(
                "GStreamer plugin %s is missing; colour conversion falls back to videoconvert", path
            )
            return False
        try:
            plugin = Gst.Plugin.load_file(str(path))
        except GLib.Error as error:
            logger.warning(
                "GStreamer plugin %s failed to load (%s); colour conversion falls back to videoconvert",
                path,
                error.message,
            )
            return False
        if Gst.ElementFactory.find(CONVERTER_FACTORY) is None:
            # Loading adds the plugin to the default registry; make sure of it.
            Gst.Registry.get().add_plugin(plugin)
        if Gst.ElementFactory.find(CONVERTER_FACTORY) is None:
            logger.warning("GStreamer plugin %s has no %s element", path, CONVERTER_FACTORY)
            return False
        return True
