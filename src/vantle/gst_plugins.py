"""The package's own GStreamer plugin: loaded from the package's `gst-plugins` folder into
GStreamer's registry, so that its elements are found by name like any other (no environment
variable needed).

The plugin holds one element, `vantleconvert`: a colour converter from the usual decoder outputs
to packed BGR (or RGB or grey, when downstream caps ask for them), much cheaper than videoconvert
for that job, which can also resize the picture before converting it (its `width` and `height`
properties) and rotate or flip it in the same pass (`rotation`, "auto" following the stream's
orientation tag).
"""

from __future__ import annotations

import threading
from pathlib import Path

from gi.repository import GLib, Gst

from vantle.logger import logger

CONVERTER_FACTORY = "vantleconvert"

# The raw formats the converter takes (BGR passes through untouched), as its sink pad template
# lists them: read from the registered element (an empty set without the plugin), so that the
# list lives in one place. Loaded on first use, like the plugin itself.
CONVERTER_INPUT_FORMATS: frozenset[str]
_input_formats: frozenset[str] | None = None

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
            return _found()
        path = PLUGIN_DIR / PLUGIN_FILE
        if not path.is_file():
            logger.warning(
                "GStreamer plugin %s is missing; colour conversion falls back to videoconvert", path
            )
            return _missing()
        try:
            plugin = Gst.Plugin.load_file(str(path))
        except GLib.Error as error:
            logger.warning(
                "GStreamer plugin %s failed to load (%s); colour conversion falls back to videoconvert",
                path,
                error.message,
            )
            return _missing()
        if Gst.ElementFactory.find(CONVERTER_FACTORY) is None:
            # Loading adds the plugin to the default registry; make sure of it.
            Gst.Registry.get().add_plugin(plugin)
        if Gst.ElementFactory.find(CONVERTER_FACTORY) is None:
            logger.warning("GStreamer plugin %s has no %s element", path, CONVERTER_FACTORY)
            return _missing()
        return _found()


def _found() -> bool:
    global _input_formats
    if _input_formats is None:
        factory = Gst.ElementFactory.find(CONVERTER_FACTORY)
        formats: set[str] = set()
        for template in factory.get_static_pad_templates():
            if template.direction == Gst.PadDirection.SINK:
                caps = template.get_caps()
                for index in range(caps.get_size()):
                    value = caps.get_structure(index).get_value("format")
                    formats.update([value] if isinstance(value, str) else value)
        _input_formats = frozenset(formats)
    return True


def _missing() -> bool:
    global _input_formats
    _input_formats = frozenset()
    return False


def __getattr__(name: str) -> object:
    if name == "CONVERTER_INPUT_FORMATS":
        if _input_formats is None:
            register()
        return _input_formats
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
