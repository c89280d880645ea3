"""The credentials of an HTTP source, which it takes as properties of its own (user-id, user-pw)
so that its location, which GStreamer logs, has none, lent to the adaptive demuxer of an HLS or
DASH stream: such a demuxer fetches the fragments itself, from URIs that it resolves against
the source's URI (its answer to a URI query), and sends credentials only from them."""

from __future__ import annotations

from gi.repository import Gst

from vantle._urls import source_properties, uri_with_credentials
from vantle.utils import engine
from vantle.utils.gstreamer import Pipeline

_ANSWERED_QUERIES = Gst.PadProbeType.QUERY_UPSTREAM | Gst.PadProbeType.PULL


def lend_credentials(pipeline: Pipeline, source: Gst.Element, url: object) -> None:
    """Once an adaptive demuxer joins `pipeline`, `source` (made with source_properties(url))
    answers URI queries with `url`'s credentials in the URI. Only then: every other element
    that asks (typefind does) would write them to the log."""
    location = source_properties(url)["location"]
    if not isinstance(url, str) or location == url:
        return
    answer = engine.uri_answer(location, uri_with_credentials(url))
    pipeline.connect_signal_handler(pipeline, "deep-element-added", _on_element_added, source, answer)


def _on_element_added(
    pipeline: Pipeline, sub_bin: Gst.Bin, element: Gst.Element, source: Gst.Element, answer: engine.Probe
) -> None:
    factory = element.get_factory()
    klass = factory.get_metadata("klass") if factory is not None else None
    if klass and "Adaptive" in klass:
        pipeline.add_pad_probe(source.get_static_pad("src"), _ANSWERED_QUERIES, answer)
