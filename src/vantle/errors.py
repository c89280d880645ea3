"""Exceptions raised by vantle.

Every failure of a stream is a :class:`StreamError` (and, by its earlier name, a
:class:`StreamSetupError`), with a ``kind`` that says what happened. Each family of kinds is also
the standard exception that a user of the standard library, httpx or PyAV would catch:

- "timeout": :class:`StreamTimeoutError`, a ``TimeoutError``
- "refused", "unknown-host", "tls", "network", "disconnected": :class:`StreamConnectionError`,
  a ``ConnectionError``
- "not-found": :class:`StreamNotFoundError`, a ``FileNotFoundError``
- "unauthorized": :class:`StreamUnauthorizedError`, a ``PermissionError``
- "closed": :class:`StreamClosedError`, a ``ValueError`` (as a read of a closed file)
- "forked": :class:`StreamForkedError`, a ``RuntimeError``
- "unsupported-source": :class:`UnsupportedSourceError`, a ``ValueError``
- "not-seekable": :class:`NotSeekableError`, a ``ValueError``
- "too-large": :class:`FrameTooLargeError`
- "no-video", "no-decoder": :class:`MediaError`
- "http-status", "rtsp-status", "stream": :class:`StreamSetupError` itself

``StreamSetupError(message, kind=...)`` makes an instance of the class of its kind, so that every
stream failure is of its family's class however it is made; the classes are also raised
directly. Options of the wrong type or value raise :class:`InvalidRuntimeOptionError`, which is
both a ``ValueError`` and a ``TypeError``; a launch string that breaks the rules of custom
pipelines :class:`InvalidCustomPipelineError`. Two classes of the GStreamer utilities module
derive from Exception alone: SampleConversionError and UnknownPropertyError
(vantle.utils.gstreamer). Errors of GStreamer and of the bindings themselves propagate as they
are.
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Type

__all__ = [
    "VantleError",
    "NotLinkedError",
    "StreamError",
    "StreamSetupError",
    "StreamTimeoutError",
    "StreamConnectionError",
    "StreamNotFoundError",
    "StreamUnauthorizedError",
    "StreamClosedError",
    "StreamForkedError",
    "UnsupportedSourceError",
    "NotSeekableError",
    "FrameTooLargeError",
    "MediaError",
    "InvalidCustomPipelineError",
    "InvalidRuntimeOptionError",
]


class VantleError(Exception):
    """Base class of the package's own exceptions."""


class NotLinkedError(VantleError):
    """Raised when two GStreamer elements could not be linked."""


class StreamError(VantleError):
    """A stream failed: it could not be started, broke, timed out, or was closed.

    Its text says what happened, with the stream's URL (its secrets shown as ***). Plain
    attributes tell a program the same:

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
      - "not-seekable": a position was asked of a source that cannot seek
      - "stream": any other failure; GStreamer's own texts say more

    - `status`: the HTTP or RTSP status code, or None.
    - `gst_message`, `gst_debug`: GStreamer's error message and debug text, or None when the
      failure was not GStreamer's (a time-out, say).
    - `url`: the stream's URL, with its secrets shown as ***, or None.

    The classes' one positional argument stays the message, so that the exception is made and
    copied (pickled) as any other.
    """

    kind: str = "stream"
    status: Optional[int] = None
    gst_message: Optional[str] = None
    gst_debug: Optional[str] = None
    url: Optional[str] = None

    def __new__(cls, message: str = "", *args: Any, kind: Optional[str] = None, **kwargs: Any) -> StreamError:
        if cls is StreamSetupError or cls is StreamError:
            cls = _KIND_CLASSES.get(kind if kind is not None else cls.kind, StreamSetupError)
        return super().__new__(cls, message)  # type: ignore[call-arg]

    def __init__(
        self,
        message: str,
        *,
        kind: Optional[str] = None,
        status: Optional[int] = None,
        gst_message: Optional[str] = None,
        gst_debug: Optional[str] = None,
        url: Optional[str] = None,
    ):
        super().__init__(message)
        self.kind = kind if kind is not None else type(self).kind
        self.status = status
        self.gst_message = gst_message
        self.gst_debug = gst_debug
        self.url = url

    def __str__(self) -> str:
        # The message as given (a KeyError or an OSError would show it otherwise).
        return str(self.args[0]) if self.args else ""

    def copy(self) -> StreamError:
        """A new exception with the text and attributes of this one, without its traceback: for
        another thread to raise, or to keep without what the traceback holds."""
        return type(self)(
            str(self),
            kind=self.kind,
            status=self.status,
            gst_message=self.gst_message,
            gst_debug=self.gst_debug,
            url=self.url,
        )


class StreamSetupError(StreamError):
    """The class of every stream failure (see StreamError, its base, for the attributes).

    ``StreamSetupError(message, kind=...)`` gives an instance of the class of `kind` (a
    StreamTimeoutError for "timeout", and so on), each a StreamSetupError.
    """


class StreamTimeoutError(StreamSetupError, TimeoutError):
    """No first frame within `timeout`, or no frame within `frame_timeout` (kind "timeout")."""

    kind = "timeout"


class StreamConnectionError(StreamSetupError, ConnectionError):
    """The connection could not be made or broke (kinds "refused", "unknown-host", "tls",
    "network"), or a live source ended after it started (kind "disconnected")."""

    kind = "network"


class StreamNotFoundError(StreamSetupError, FileNotFoundError):
    """HTTP or RTSP status 404 or 410, or no such local file (kind "not-found")."""

    kind = "not-found"


class StreamUnauthorizedError(StreamSetupError, PermissionError):
    """HTTP or RTSP status 401, 403 or 407, or a local file that may not be read (kind
    "unauthorized")."""

    kind = "unauthorized"


class StreamClosedError(StreamSetupError, ValueError):
    """The reader or set of streams is closed (kind "closed"); like a read of a closed file,
    also a ValueError."""

    kind = "closed"


class StreamForkedError(StreamSetupError, RuntimeError):
    """The reader was opened in another process and inherited through fork() (kind "forked")."""

    kind = "forked"


class UnsupportedSourceError(StreamSetupError, ValueError):
    """A URL of no supported kind (kind "unsupported-source"), refused before anything starts."""

    kind = "unsupported-source"


class NotSeekableError(StreamSetupError, ValueError):
    """A position was asked of a source that cannot seek (kind "not-seekable")."""

    kind = "not-seekable"


class FrameTooLargeError(StreamSetupError):
    """A frame would take more memory than max_frame_bytes (kind "too-large")."""

    kind = "too-large"


class MediaError(StreamSetupError):
    """The source has no video, or no decoder takes it (kinds "no-video", "no-decoder")."""

    kind = "no-video"


_KIND_CLASSES: Dict[str, Type[StreamSetupError]] = {
    "timeout": StreamTimeoutError,
    "refused": StreamConnectionError,
    "unknown-host": StreamConnectionError,
    "tls": StreamConnectionError,
    "network": StreamConnectionError,
    "disconnected": StreamConnectionError,
    "not-found": StreamNotFoundError,
    "unauthorized": StreamUnauthorizedError,
    "closed": StreamClosedError,
    "forked": StreamForkedError,
    "unsupported-source": UnsupportedSourceError,
    "not-seekable": NotSeekableError,
    "too-large": FrameTooLargeError,
    "no-video": MediaError,
    "no-decoder": MediaError,
}


class InvalidCustomPipelineError(VantleError):
    """Raised when a user's launch string breaks the rules of custom pipelines: braces other
    than those of "{url}" not doubled (the error is then also the KeyError, IndexError or
    ValueError that str.format raises for them), a launch string that does not parse
    (GStreamer's own text in `gst_message`; the exception is chained from GStreamer's error), a
    "{url}" that is not (part of) the value of an element's string property, no element named
    main_sink, or a main_sink that is not an appsink."""

    gst_message: Optional[str] = None

    def __init__(self, message: str, *, gst_message: Optional[str] = None):
        super().__init__(message)
        self.gst_message = gst_message

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class _TemplateKeyError(InvalidCustomPipelineError, KeyError):
    """A replacement field other than {url}: also str.format's KeyError."""


class _TemplateIndexError(InvalidCustomPipelineError, IndexError):
    """A positional replacement field ({} or {0}): also str.format's IndexError."""


class _TemplateValueError(InvalidCustomPipelineError, ValueError):
    """A single brace: also str.format's ValueError."""


def template_error(message: str, format_error: Exception) -> InvalidCustomPipelineError:
    """The error of a launch template that str.format refuses with `format_error`: an
    InvalidCustomPipelineError that is also of `format_error`'s class."""
    for base, cls in ((KeyError, _TemplateKeyError), (IndexError, _TemplateIndexError)):
        if isinstance(format_error, base):
            return cls(message)
    return _TemplateValueError(message)


class InvalidRuntimeOptionError(VantleError, ValueError, TypeError):
    """Raised when an option given to a stream reader is unknown, of the wrong type, out of
    range, or does not go with the others. It is both a ValueError and a TypeError, so that
    either ``except`` clause a caller writes for bad arguments catches it."""
