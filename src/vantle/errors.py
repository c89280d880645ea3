"""Exceptions raised by vantle. All derive from VantleError."""


class VantleError(Exception):
    """Base class of the package's own exceptions."""


class NotLinkedError(VantleError):
    """Raised when two GStreamer elements could not be linked."""


class StreamSetupError(VantleError):
    """Raised when a stream cannot be started, fails, or times out."""


class InvalidCustomPipelineError(VantleError):
    """Raised when a user's launch string breaks the rules of custom pipelines."""


class InvalidRuntimeOptionError(VantleError):
    """Raised when an option given to a stream reader is unknown or of the wrong type."""
