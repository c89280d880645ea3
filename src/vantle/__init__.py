"""vantle: video streams read through GStreamer, frames handed over as numpy BGR arrays."""

import gi

# Pin the typelib versions before anything imports gi.repository, so that no import
# of the package warns about an unversioned namespace.
gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstVideo", "1.0")

# Importing the submodule binds the name `logger` on the package to the module; the
# from-import then rebinds it to the logger object itself. The module offers
# `warning` as well, so either binding serves `from vantle import logger`.
from vantle.logger import logger  # noqa: E402

__all__ = ["logger"]
