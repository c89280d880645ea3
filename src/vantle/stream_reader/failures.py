"""What went wrong with a stream, in words and as a kind a program can test (see
StreamSetupError): GStreamer's error message read together with its details, and, where
GStreamer says no more than that a connection failed, a look at the connection of our own.

souphttpsrc and rtspsrc report a refused connection, an unknown host and a failed TLS
handshake alike ("Internal data stream error.", "Failed to connect."). The reader then resolves
the host, connects and, for https and rtsps, shakes hands with the server itself, once, within
a fraction of a second, and names the first step that fails.
"""

from __future__ import annotations

import re
import socket
import threading
from typing import Any, Mapping, Optional, Tuple
from urllib.parse import urlsplit

from gi.repository import GLib, Gst

from vantle._urls import redact_text, redact_url, source_properties
from vantle.errors import StreamSetupError
from vantle.pipeline_factories.limits import FAILURE_DETAILS

# The longest look at a connection: GStreamer has already failed it, so a repeat fails fast.
DIAGNOSIS_SECONDS = 0.6

_DEFAULT_PORTS = {"http": 80, "https": 443, "rtsp": 554, "rtsps": 322}
_TLS_SCHEMES = ("https", "rtsps")

_STATUS_KINDS = {
    401: "unauthorized",
    403: "unauthorized",
    407: "unauthorized",
    404: "not-found",
    410: "not-found",
}

# Connection-level sources: their bare "it failed" errors are looked into.
_NETWORK_SOURCES = ("souphttpsrc", "rtspsrc")


def failure(
    kind: str,
    url: object,
    detail: str = "",
    status: Optional[int] = None,
    protocol: str = "",
    gst_message: Optional[str] = None,
    gst_debug: Optional[str] = None,
) -> StreamSetupError:
    """The StreamSetupError of a `kind` of failure, its text saying it in words:
    "Not found (HTTP status 404): http://host/clip.mp4"."""
    shown = redact_url(url) if isinstance(url, str) else None
    words = {
        "refused": "Connection refused",
        "unknown-host": "Unknown host",
        "tls": "TLS failure",
        "not-found": "Not found",
        "unauthorized": "Unauthorized",
        "http-status": "HTTP error status",
        "rtsp-status": "RTSP error status",
        "no-video": "No video stream in the source",
        "no-decoder": "No decoder for the video",
        "network": "Network failure",
        "disconnected": "Live stream ended",
        "timeout": "Timeout",
        "too-large": "Frame too large",
        "stream": "Stream failed",
    }.get(kind, kind)
    notes = [f"{protocol} status {status}" if status is not None else "", redact_text(detail, url)]
    note = "; ".join(n for n in notes if n)
    text = f"{words} ({note})" if note else words
    if shown:
        text += f": {shown}"
    return StreamSetupError(
        text,
        kind=kind,
        status=status,
        gst_message=redact_text(gst_message, url),
        gst_debug=redact_text(gst_debug, url),
        url=shown,
    )


def from_error(
    record: Mapping[str, Any], url: object, frames: int, diagnose: bool = True
) -> StreamSetupError:
    """The StreamSetupError of an ERROR message of the stream at `url`, which has delivered
    `frames` frames so far. `record` is what the message said, as the per-frame engine reads it:
    the error's domain (a quark's name), code, message and debug text, the factory name of the
    element that posted it ("source"), the name of its details structure ("details") with the
    "kind" of our own failures, and the status code the details give ("status", "status_field").
    Without `diagnose`, a failed connection is not looked into (that takes a fraction of a
    second): the error is kind "network" and has `undiagnosed` set, for the caller to look
    into it later (see diagnose)."""
    message, debug, source = record["message"], record["debug"] or "", record["source"]

    def make(
        kind: str, detail: str = "", status: Optional[int] = None, protocol: str = ""
    ) -> StreamSetupError:
        return failure(kind, url, detail, status, protocol, message, debug)

    def matches(quark: int, code: Any) -> bool:
        return record["domain"] == GLib.quark_to_string(quark) and record["code"] == int(code)

    if record["details"] == FAILURE_DETAILS:
        kind = record["kind"] or "stream"
        return make(kind, message if kind in ("no-decoder", "too-large") else "")

    protocol, status = _status(record, debug, source)
    if status is not None and status >= 400:
        kind = _STATUS_KINDS.get(status, f"{protocol.lower()}-status")
        return make(kind, message if kind.endswith("-status") else "", status, protocol)

    if matches(Gst.resource_error_quark(), Gst.ResourceError.NOT_FOUND):
        return make("not-found")
    if matches(Gst.resource_error_quark(), Gst.ResourceError.NOT_AUTHORIZED):
        return make("unauthorized")
    if source == "filesrc" and "Permission denied" in debug:
        return make("unauthorized")
    if matches(Gst.stream_error_quark(), Gst.StreamError.TYPE_NOT_FOUND) or (
        matches(Gst.stream_error_quark(), Gst.StreamError.DEMUX) and "no known streams" in debug
    ):
        return make("no-video", message)
    if matches(Gst.stream_error_quark(), Gst.StreamError.CODEC_NOT_FOUND):
        return make("no-decoder", message)
    if source in _NETWORK_SOURCES:
        if frames == 0 and isinstance(url, str):
            if not diagnose:
                error = make("network", _with_reason(message, debug))
                error.undiagnosed = True  # type: ignore[attr-defined]
                return error
            kind, detail = diagnose_connection(url)
            return make(kind, detail)
        return make("network", _with_reason(message, debug))
    return make("stream", _with_reason(message, debug))


def _with_reason(message: str, debug: Optional[str]) -> str:
    """GStreamer's message with the reason its debug text ends with: the text after the
    element's path ("...GstSoupHTTPSrc:souphttpsrc0:\nstreaming stopped, reason error (-5)")."""
    reason = (debug or "").rsplit(":\n", 1)[-1].strip() if debug and ":\n" in debug else ""
    return f"{message} {reason}" if reason else message


def _status(record: Mapping[str, Any], debug: str, source: str) -> Tuple[str, Optional[int]]:
    """The protocol and status code an error of `source` reports, from its details (souphttpsrc:
    http-status-code, rtspsrc: rtsp-status-code) or its debug text ("Not Found (404)")."""
    protocol = "RTSP" if source == "rtspsrc" else "HTTP"
    if record["status"]:
        return ("HTTP" if record["status_field"].startswith("http") else "RTSP"), record["status"]
    if source in _NETWORK_SOURCES:
        match = re.search(r"\((\d{3})\)", debug)
        if match:
            return protocol, int(match.group(1))
    return protocol, None


def diagnose_connection(url: str, seconds: float = DIAGNOSIS_SECONDS) -> Tuple[str, str]:
    """What stops a connection to the server of `url`: ("unknown-host", ...), ("refused", ...),
    ("tls", reason) or ("network", ...) when none of them is seen within `seconds`."""
    result: list = []
    worker = threading.Thread(target=lambda: result.append(diagnose(url, seconds)), daemon=True)
    worker.start()
    worker.join(seconds + 0.1)
    return result[0] if result else ("network", "")


def diagnose(url: str, seconds: float = DIAGNOSIS_SECONDS) -> Tuple[str, str]:
    """diagnose_connection's look, made on the caller's thread (for about `seconds` at most)."""
    try:
        # The host as the sources read it: a raw '#' or '?' in a password does not end it.
        parts = urlsplit(source_properties(url)["location"])
        host, port = parts.hostname, parts.port or _DEFAULT_PORTS.get(parts.scheme.lower())
    except ValueError:
        return "network", ""
    if not host or not port:
        return "network", ""
    try:
        address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][4]
    except (socket.gaierror, UnicodeError):
        return "unknown-host", host
    try:
        connection = socket.create_connection(address[:2], timeout=seconds)
    except ConnectionRefusedError:
        return "refused", ""
    except OSError as error:
        return "network", error.strerror or str(error)
    with connection:
        if parts.scheme.lower() not in _TLS_SCHEMES:
            return "network", ""
        import ssl  # only for a failed TLS stream: 5 ms of every process's start otherwise

        try:
            with ssl.create_default_context().wrap_socket(connection, server_hostname=host):
                return "network", ""
        except ssl.SSLCertVerificationError as error:
            return "tls", error.verify_message or error.reason or "certificate not accepted"
        except ssl.SSLError as error:
            return "tls", error.reason or str(error)
        except OSError as error:
            return "network", error.strerror or str(error)
