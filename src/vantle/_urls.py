"""Stream URLs as the package shows and reads them: passwords hidden in every text built from
a URL, and the local path that a file URL names."""

from __future__ import annotations

import re
from typing import Optional, TypeVar
from urllib.parse import unquote, urlsplit

HIDDEN = "***"

# `scheme://user:password@` at the start of a URL or anywhere in a text; the password runs to
# the last '@' before the host, so that a decoded '@' in it is hidden too.
_CREDENTIALS = re.compile(r"(?P<head>[A-Za-z][A-Za-z0-9+.-]*://[^\s/?#@:]*:)(?P<password>[^\s/?#]*)@")

T = TypeVar("T")


def password_of(url: str) -> Optional[str]:
    """The password in the user information of `url`, or None."""
    if "://" not in url:
        return None
    netloc = re.split(r"[/?#]", url.split("://", 1)[1], maxsplit=1)[0]
    userinfo, at, _ = netloc.rpartition("@")
    if not at or ":" not in userinfo:
        return None
    return userinfo.split(":", 1)[1]


def redact_url(url: T) -> T:
    """`url` with the password of its user information shown as ***, or the whole user
    information when it has no password (a token given as the user name); anything that is
    not a `str` (None, say) comes back unchanged."""
    if not isinstance(url, str) or "://" not in url:
        return url
    head, _, rest = url.partition("://")
    netloc_end = re.search(r"[/?#]|$", rest).start()  # type: ignore[union-attr]
    userinfo, at, hostport = rest[:netloc_end].rpartition("@")
    if not at or not userinfo:
        return url  # type: ignore[return-value]
    user, colon, password = userinfo.partition(":")
    if colon and not password:
        return url  # type: ignore[return-value]
    hidden = f"{user}:{HIDDEN}" if colon else HIDDEN
    return f"{head}://{hidden}@{hostport}{rest[netloc_end:]}"  # type: ignore[return-value]


def redact_text(text: T, url: object = None) -> T:
    """`text` (a message, a launch string, GStreamer's debug text) with the password of `url`
    and of any URL written in it shown as ***."""
    if not isinstance(text, str):
        return text
    password = password_of(url) if isinstance(url, str) else None
    if password:
        text = text.replace(url, redact_url(url))  # type: ignore[arg-type]
        # The password may also stand on its own, or decoded (p%40ss written p@ss), where the
        # pattern below would take its '@' for the end of the user information: replaced first.
        for form in sorted({password, unquote(password)}, key=len, reverse=True):
            if len(form) >= 4:
                text = text.replace(form, HIDDEN)
    return _CREDENTIALS.sub(lambda m: m.group("head") + (HIDDEN if m.group("password") else "") + "@", text)  # type: ignore[return-value]


def checked_url(url: T) -> T:
    """`url` as it came, once it is known that GStreamer can carry it: a C string ends at its
    first NUL (the rest of the URL would be lost without a word), and a lone surrogate has no
    UTF-8 form. Anything that is not a `str` comes back unchanged.

    :raises ValueError: The URL holds a NUL or a lone surrogate
    """
    if not isinstance(url, str):
        return url
    if "\x00" in url:
        shown = redact_url(url)
        raise ValueError(f"The URL contains a NUL character, which GStreamer cannot carry: {shown!r}")
    try:
        url.encode("utf-8")
    except UnicodeEncodeError as error:
        shown = redact_url(url)
        raise ValueError(
            f"The URL contains a lone surrogate ({error.object[error.start]!r}), which is no character "
            f"GStreamer can carry: {shown!r}"
        ) from None
    return url


def local_path(url: str) -> str:
    """The local file that `url` names: a path as it stands, or the path of a file URL
    (file:///data/clip.mp4, file://localhost/data/clip.mp4).

    :raises ValueError: A file URL names another host
    """
    if not url.lower().startswith("file:"):
        return url
    parts = urlsplit(url)
    if parts.netloc not in ("", "localhost"):
        raise ValueError(f"A file URL must name a local file, not one on {parts.netloc!r}: {redact_url(url)}")
    return unquote(parts.path)


def scheme_of(url: str) -> str:
    """The lower-case scheme of `url`, or "" for a local path."""
    match = re.match(r"([A-Za-z][A-Za-z0-9+.-]*):", url)
    if match is None or len(match.group(1)) == 1:  # a drive letter is not a scheme
        return ""
    return match.group(1).lower()
