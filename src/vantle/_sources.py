"""The sources of a call that reads many streams: a list of URLs, or a dict of key to URL or to
that stream's own options."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Sequence, Tuple, Union

from vantle._urls import redact_url

# What the sources of open_streams and vantle.ray.read_frames may be.
Sources = Union[Sequence[str], Mapping[str, Union[str, Mapping[str, Any]]]]


def parse_sources(
    sources: Sources, common: Mapping[str, Any], caller: str, unique: bool = True
) -> List[Tuple[str, str, Dict[str, Any]]]:
    """(key, URL, reader options) of every source, its own options over the `common` ones. A
    list's keys are its URLs, any password shown as ***; `unique` refuses a list that names a
    URL twice (the keys would not tell the streams apart).

    :raises TypeError: `sources` is not a list of URLs or a dict of key to URL or to options
    :raises ValueError: `sources` is empty, or names a stream twice when `unique`
    """
    if isinstance(sources, (str, bytes)):
        raise TypeError("sources must be a list of URLs or a dict of key to URL, not a single URL")
    streams: List[Tuple[str, str, Dict[str, Any]]] = []
    if isinstance(sources, Mapping):
        for key, value in sources.items():
            if not isinstance(key, str):
                raise TypeError(f"The keys of sources must be str, not {type(key).__name__} ({key!r})")
            if isinstance(value, Mapping):
                own = dict(value)
                url = own.pop("url", None)
                if not isinstance(url, str):
                    raise TypeError(f"sources[{key!r}] must give the stream's URL as a str under 'url'")
                streams.append((key, url, {**common, **own}))
            elif isinstance(value, str):
                streams.append((key, value, dict(common)))
            else:
                what = type(value).__name__
                raise TypeError(f"sources[{key!r}] must be a URL or a dict of options with 'url', not {what}")
    else:
        try:
            urls = list(sources)
        except TypeError:
            raise TypeError(
                f"sources must be a list of URLs or a dict of key to URL, not {type(sources).__name__}"
            ) from None
        for url in urls:
            if not isinstance(url, str):
                raise TypeError(f"sources must be URLs (str), got {type(url).__name__}")
            streams.append((redact_url(url), url, dict(common)))
        keys = [key for key, _, _ in streams]
        twice = sorted({key for key in keys if keys.count(key) > 1}) if unique else []
        if twice:
            raise ValueError(
                f"sources names {twice[0]!r} more than once: give a dict with a key for each stream"
            )
    if not streams:
        raise ValueError(f"sources is empty: {caller} needs at least one URL")
    return streams
