"""Exceptions raised by vantle.

The package's own failures derive from VantleError: NotLinkedError, StreamSetupError,
InvalidCustomPipelineError and InvalidRuntimeOptionError. Two classes of the GStreamer
utilities module derive from Exception alone: SampleConversionError and UnknownPropertyError
(vantle.utils.gstreamer). Wrong arguments raise the built-in TypeError and ValueError, and
errors of GStreamer and of the bindings themselves propagate as they are.
"""

from __future__ import annotations

from typing import Optional


class VantleError(Exception):
    """Base class of the package's own exceptions."""


class NotLinkedError(VantleError):
    """Raised when two GStreamer elements could not be linked."""


class StreamSetupError(VantleError):
    """Raised when a stream cannot be started, fails, or times out.

    Its text says what happened, with the stream's URL (a password in it shown as ***).
    Plain attributes tell a program the same:

    - `kind`, a short string:

      - "unsupported-source": the URL is of no kind the reader knows (raised at once)
      - "refused": the server refused the connection
      - "unknown-host": the host name does not resolve
      - "tls": the TLS handshake failed, or the server's certificate was not accepted
      - "not-found": HTTP or RTSP status 404 (or 410), or no such local file
      - "unauthorized": HTTP or RTSP status 401, 403 or 407, or a local file that may not be read
      - "http-status": any other HTTP error status
      - "rtsp-status": any other RTSP error status
      - "no-video": the source holds no video (audio only, an HTML page, data of no known type)
      - "no-decoder": no installed decoder takes the video's format
      - "network": the connection failed or broke for another reason
      - "disconnected": a live source (a camera: RTSP, multipart MJPEG, an HTTP response
        without a length) ended after it had started, and no reconnection was left
      - "timeout": the stream did not start, or no frame came, within the reader's time-outs
      - "too-large": a frame would take more memory than the reader's max_frame_bytes (a
        server that sends a part without end, a picture of absurd size)
      - "closed": the reader was closed (read() after close(), or close() from another thread
        while this one waited)
      - "forked": the reader was opened in another process and inherited through fork()
      - "stream": any other failure; GStreamer's own texts say more

    - `status`: the HTTP or RTSP status code, or None.
    - `gst_message`, `gst_debug`: GStreamer's error message and debug text, or None when the
      failure was not GStreamer's (a time-out, say).
    - `url`: the stream's URL, with its password shown as ***, or None.

    The classes' one positional argument stays the message, so that the exception is made and
    copied (pickled) as any other.
    """

    kind: str = "stream"
    status: Optional[int] = None
    gst_message: Optional[str] = None
    gst_debug: Optional[str] = None
    url: Optional[str] = None

    def __init__(
        self,
        message: str,
        *,
        kind: str = "stream",
        status: Optional[int] = None,
        gst_message: Optional[str] = None,
        gst_debug: Optional[str] = None,
        url: Optional[str] = None,
    ):
        super().__init__(message)
        self.kind = kind
        self.status = status
        self.gst_message = gst_message
        self.gst_debug = gst_debug
        self.url = url


class InvalidCustomPipelineError(VantleError):
    """Raised when a user's launch string breaks the rules of custom pipelines: braces other
    than those of "{url}" not doubled, a launch string that does not parse (GStreamer's own
    text in `gst_message`; the exception is chained from GStreamer's error), a "{url}" that is
    not (part of) the value of an element's string property, no element named main_sink, or a
    main_sink that is not an appsink."""

    gst_message: Optional[str] = None

    def __init__(self, message: str, *, gst_message: Optional[str] = None):
        super().__init__(message)
        self.gst_message = gst_message


class InvalidRuntimeOptionError(VantleError):
    """Raised when an option given to a stream reader is unknown or of the wrong type."""
