"""A user's launch string with "{url}" placeholders, made into a pipeline without the URL ever
being read by GStreamer's parser.

Pasted into the text, a URL could end its value and add, remove or reconfigure elements,
whatever quoting the template uses: launch syntax gives quotes, backslashes, spaces and '!'
meanings that no escaping of ours can follow in every place. So the URL never enters the text.
The template is parsed with a stand-in in place of each placeholder, a word of letters and
digits that no launch syntax can split or read as anything but a value; the stand-in shows
which element property received it, and the URL is then set on that property, in place of the
stand-in (the whole value, or part of a string value such as `location=http://{url}`). A
placeholder whose stand-in lands anywhere else (an element or bin name, caps, a value that is
not a string, an element's place) or nowhere is refused.

Some elements keep only a URL of their own scheme (rtspsrc drops anything but rtsp://...): a
stand-in they dropped is tried again behind the URL's scheme, and taken if the template then
parses into the very same elements and links (the scheme must not make a URI element of
anything).
"""

from __future__ import annotations

import re
import string
from typing import Any, Dict, List, Optional, Tuple

from gi.repository import GLib, GObject, Gst

from vantle._urls import checked_url, redact_text, scheme_of
from vantle.errors import InvalidCustomPipelineError, template_error
from vantle.utils.gstreamer import Pipeline

_PLACEHOLDER = "{url}"
_STRING = GObject.TYPE_STRING
_READABLE = GObject.ParamFlags.READABLE
_SETTABLE = GObject.ParamFlags.WRITABLE
_CONSTRUCT_ONLY = GObject.ParamFlags.CONSTRUCT_ONLY
_SCHEME = re.compile(r"[a-z][a-z0-9+.-]*\Z")

# (element, property name) pairs, and the property's value with its stand-ins.
_Target = Tuple[Gst.Element, str, str]


class LaunchTemplate:
    """A launch string with "{url}" placeholders and the URL that fills them.

    :param pipeline_str: The launch string; braces other than those of "{url}" are doubled
    :param url: The URL (None is filled in as the text None)
    :raises InvalidCustomPipelineError: The string has other replacement fields or single
        braces, does not parse, or has a placeholder that is not (part of) the value of an
        element's string property
    :raises ValueError: The URL holds a NUL or a lone surrogate
    """

    def __init__(self, pipeline_str: str, url: object):
        checked_url(url)
        self.template = pipeline_str
        self.url = "None" if url is None else str(url)
        self._redaction_url = url
        try:
            # Filled in for messages only; the parser never sees it.
            self.text: str = pipeline_str.format(url=url)
        except (KeyError, IndexError, ValueError) as error:
            reason = f"no value for {{{error.args[0]}}}" if isinstance(error, KeyError) else str(error)
            raise template_error(
                f"Invalid pipeline format: '{redact_text(pipeline_str)}'. Only '{{url}}' is filled in, and "
                f"every other brace must be doubled ('{{{{', '}}}}'): {reason}",
                error,
            ) from error
        text, stand_ins = self._stand_in_text("")
        pipeline = self._parse_stand_ins(text, stand_ins, "vantle-launch-check")
        try:
            self._targets(pipeline, stand_ins)
        except _Lost as lost:
            scheme = scheme_of(self.url)
            if not _SCHEME.match(scheme):
                raise
            shape = _shape(pipeline)
            text, stand_ins = self._stand_in_text(f"{scheme}://")
            try:
                pipeline = self._parse_stand_ins(text, stand_ins, "vantle-launch-check")
            except InvalidCustomPipelineError:
                raise lost from None
            if _shape(pipeline) != shape:
                raise lost from None
            self._targets(pipeline, stand_ins)
        self._stand_ins = text, stand_ins
        # Made whole once now, so that a template that cannot carry the URL is refused before
        # anything starts; every build parses it again.
        self.parse("vantle-launch-check")

    def parse(self, name: str) -> Pipeline:
        """A new Pipeline named `name`, parsed from the template with the URL in place. Nothing
        is started.

        :raises InvalidCustomPipelineError: see the class
        """
        text, stand_ins = self._stand_ins
        pipeline = self._parse_stand_ins(text, stand_ins, name)
        for element, prop, value in self._targets(pipeline, stand_ins):
            wanted = value
            for stand_in in stand_ins:
                wanted = wanted.replace(stand_in, self.url)
            element.set_property(prop, wanted)
            if (element.get_property(prop) or "") != wanted:
                raise InvalidCustomPipelineError(
                    f"Element '{element.get_name()}' did not take the URL as its property '{prop}' "
                    f"(it keeps {redact_text(_shown(element.get_property(prop), stand_ins), self.url)!r}): "
                    f"'{self._shown_text()}'"
                )
        return pipeline

    # ----- the stand-ins -----

    def _parse_stand_ins(self, text: str, stand_ins: List[str], name: str) -> Pipeline:
        try:
            return Pipeline.from_launch_string(text, name)
        except GLib.Error as error:
            raise self._parse_error(error, stand_ins) from error

    def _stand_in_text(self, prefix: str) -> Tuple[str, List[str]]:
        """The template with a stand-in for each placeholder (`prefix` and a word), and the
        stand-ins in order."""
        # A word that occurs neither in the template nor in the URL (which names the pipeline
        # and replaces the stand-ins one after the other), so that every stand-in is found only
        # where its placeholder was.
        base = "vantleurl"
        while base in self.template or base in self.url:
            base += "q"
        pieces: List[str] = []
        stand_ins: List[str] = []
        for literal, field, spec, conversion in string.Formatter().parse(self.template):
            pieces.append(literal)
            if field is None:
                continue
            if field != "url" or spec or conversion not in (None, "s"):
                written = field + (f"!{conversion}" if conversion else "") + (f":{spec}" if spec else "")
                raise InvalidCustomPipelineError(
                    f"Invalid pipeline format: '{redact_text(self.template)}'. The placeholder "
                    f"'{{{written}}}' must be written '{{url}}'"
                )
            # Letters and digits after the scheme: nothing a launch string can split. The
            # closing letter keeps "u1x" from being found inside "u10x".
            stand_ins.append(f"{prefix}{base}u{len(stand_ins)}x")
            pieces.append(stand_ins[-1])
        self._placeholders = len(stand_ins)
        return "".join(pieces), stand_ins

    def _targets(self, pipeline: Pipeline, stand_ins: List[str]) -> List[_Target]:
        """The element properties that received the stand-ins; refuses a placeholder that
        landed anywhere else."""
        found: Dict[str, List[Tuple[Gst.Element, GObject.ParamSpec, str]]] = {s: [] for s in stand_ins}
        elsewhere: Dict[str, str] = {}
        for element in [pipeline, *elements_of(pipeline)] if stand_ins else []:
            for pspec in element.list_properties():
                if not pspec.flags & _READABLE:
                    continue
                value = _text_of(element, pspec)
                if value is None:
                    continue
                for stand_in in stand_ins:
                    if stand_in not in value:
                        continue
                    if pspec.name == "name":
                        elsewhere[stand_in] = "the name of an element"
                    elif pspec.value_type != _STRING:
                        elsewhere.setdefault(
                            stand_in, f"the {pspec.name} of '{element.get_name()}', not a string"
                        )
                    elif not pspec.flags & _SETTABLE or pspec.flags & _CONSTRUCT_ONLY:
                        elsewhere.setdefault(
                            stand_in, f"'{pspec.name}' of '{element.get_name()}', set only once"
                        )
                    else:
                        found[stand_in].append((element, pspec, value))
        targets: Dict[Tuple[int, str], _Target] = {}
        for index, stand_in in enumerate(stand_ins):
            if stand_in in elsewhere and (elsewhere[stand_in].startswith("the name") or not found[stand_in]):
                raise self._misplaced(index, f"it lands in {elsewhere[stand_in]}")
            if not found[stand_in]:
                raise _Lost(self._misplaced(index, "it reaches no property of an element").args[0])
            # An element may repeat a property's value in others (udpsrc: uri, then address):
            # the URL goes only where it was put, the longest value of the element that holds it.
            per_element: Dict[int, Tuple[Gst.Element, GObject.ParamSpec, str]] = {}
            for element, pspec, value in found[stand_in]:
                best = per_element.get(id(element))
                if best is None or len(value) > len(best[2]):
                    per_element[id(element)] = (element, pspec, value)
            for element, pspec, value in per_element.values():
                targets[(id(element), pspec.name)] = (element, pspec.name, value)
        return list(targets.values())

    # ----- messages -----

    def _shown_text(self) -> str:
        """The filled-in launch string as messages show it: a password in the URL as ***."""
        return redact_text(self.text, self._redaction_url)

    def _misplaced(self, index: int, where: str) -> InvalidCustomPipelineError:
        ordinal = "" if self._placeholders == 1 else f" number {index + 1}"
        return InvalidCustomPipelineError(
            f"The '{{url}}' placeholder{ordinal} must be (part of) the value of an element's string "
            f"property, but {where}: '{redact_text(self.template)}'"
        )

    def _parse_error(self, error: GLib.Error, stand_ins: List[str]) -> InvalidCustomPipelineError:
        gst_text = _shown(error.message, stand_ins)
        hint = ""
        if gst_text != error.message:
            hint = " (a '{url}' placeholder must be (part of) the value of an element's string property)"
        return InvalidCustomPipelineError(
            f"The pipeline does not parse: {redact_text(gst_text)}{hint}: '{redact_text(self.template)}'",
            gst_message=redact_text(gst_text),
        )


class _Lost(InvalidCustomPipelineError):
    """A placeholder whose stand-in reached no property at all (an element dropped it)."""


def _shape(pipeline: Pipeline) -> Tuple[List[Tuple[str, Optional[str]]], List[Tuple[int, str, int, str]]]:
    """The elements of a parsed pipeline (factory, and name unless GStreamer chose it) and its
    links, in an order that two parses of one description share."""
    elements = elements_of(pipeline)
    index = {element.get_name(): at for at, element in enumerate(elements)}
    described = []
    links = []
    for at, element in enumerate(elements):
        factory = element.get_factory()
        kind = factory.get_name() if factory is not None else type(element).__name__
        name = element.get_name()
        # GStreamer names an element after its factory and a number, with a dash between them
        # when the factory's name ends in a digit (avdec_h264-0): such a name is not the user's.
        described.append((kind, None if re.fullmatch(re.escape(kind) + r"-?\d+", name) else name))
        for pad in items_of(element.iterate_src_pads()):
            peer = pad.get_peer()
            owner = peer.get_parent_element() if peer is not None else None
            if owner is not None:
                links.append((at, pad.get_name(), index.get(owner.get_name(), -1), peer.get_name()))
    return described, sorted(links)


def _shown(text: Optional[str], stand_ins: List[str]) -> Optional[str]:
    """`text` with every stand-in shown as the placeholder it stands for."""
    if text is None:
        return None
    for stand_in in stand_ins:
        text = text.replace(stand_in, _PLACEHOLDER)
    return text


def _text_of(element: Gst.Element, pspec: GObject.ParamSpec) -> Optional[str]:
    """A readable property's value as text where a stand-in could be in it (strings, caps,
    structures); None for every other kind of value."""
    value_type = pspec.value_type
    if value_type == _STRING:
        return element.get_property(pspec.name)
    if value_type.is_a(Gst.Caps.__gtype__) or value_type.is_a(Gst.Structure.__gtype__):
        value = element.get_property(pspec.name)
        return value.to_string() if value is not None else None
    return None


def elements_of(bin_: Gst.Bin) -> List[Gst.Element]:
    """Every element in a bin and in its bins, read again whenever a bin changes meanwhile."""
    return items_of(bin_.iterate_recurse())


def items_of(iterator: Gst.Iterator) -> List[Any]:
    """Every item of a GStreamer iterator (elements of a bin, pads of an element), read again
    whenever what it goes over changes meanwhile: another thread may add elements or pads at
    any time, which the bindings' own iteration reports as an error."""
    found: List[Any] = []
    while True:
        result, item = iterator.next()
        if result == Gst.IteratorResult.OK:
            found.append(item)
        elif result == Gst.IteratorResult.RESYNC:
            iterator.resync()
            found.clear()
        else:
            return found
