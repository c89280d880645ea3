"""The package logger: a standard `logging.Logger` named "vantle"."""

import logging

logger = logging.getLogger("vantle")


def warning(msg: str, *args: object, **kwargs: object) -> None:
    """Logs `msg` at warning level through the package logger."""
    logger.warning(msg, *args, **kwargs)  # type: ignore[arg-type]
