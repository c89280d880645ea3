"""Property-based checks with arbitrary inputs: check_varnow against a plain-Python reference,
the argument binding of every public callable against a plain def, custom launch strings, and
sample_to_ndarray over arbitrary caps, video metas and buffer sizes, and the secrets of arbitrary
URLs."""

import collections
import inspect
import re
import types
from urllib.parse import unquote

import gi
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_function_type import ROWS, plain_def, resolve

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import GLib, GObject, Gst, GstVideo  # noqa: E402

from vantle._urls import redact_text, redact_url, source_properties  # noqa: E402
from vantle.errors import InvalidCustomPipelineError, InvalidRuntimeOptionError  # noqa: E402
from vantle.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from vantle.stream_reader.varnow import check_varnow  # noqa: E402
from vantle.utils.gstreamer import SampleConversionError, sample_to_ndarray  # noqa: E402

pytestmark = [
    pytest.mark.timeout(60),
    # Arbitrary launch strings may set an element's name twice; GLib warns about it.
    pytest.mark.filterwarnings("ignore:g_object_new_is_valid_property"),
]
FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(call, args=(), kwargs=None):
    """("returned", result) or (exception type, text); args and kwargs passed on as they are."""
    try:
        return "returned", call(*args, **(kwargs or {}))
    except Exception as error:  # the outcome compared includes the error
        return type(error), str(error)


# ----- check_varnow -----


def reference_check_varnow(supplied, supported):
    for key, val in supplied.items():
        if key not in supported:
            raise InvalidRuntimeOptionError(f"Unknown option '{key}'")
        if not isinstance(val, supported[key]):
            raise InvalidRuntimeOptionError(
                f"Option '{key}' should be of type '{supported[key]}', got '{type(val)}"
            )


KEYS = st.one_of(
    st.sampled_from(["rate", "timeout", "keyframes_only"]), st.text(max_size=5), st.integers(-3, 3)
)
VALUES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=3))
TYPES = [int, bool, float, str, bytes, type(None), object]
EXPECTED_TYPES = st.one_of(
    st.sampled_from(TYPES),
    st.tuples(st.sampled_from(TYPES), st.sampled_from(TYPES)),
    st.sampled_from([5, "int", (int, "x")]),  # not usable by isinstance: its TypeError propagates
)
# A mapping that is not a dict: only items(), `in` and subscripting are used.
MAPPINGS = st.sampled_from([dict, collections.OrderedDict, lambda pairs: types.MappingProxyType(dict(pairs))])


@given(
    supplied=st.lists(st.tuples(KEYS, VALUES), max_size=5),
    supported=st.lists(st.tuples(KEYS, EXPECTED_TYPES), max_size=5),
    kinds=st.tuples(MAPPINGS, MAPPINGS),
)
@FUZZ
def test_check_varnow_matches_the_reference(supplied, supported, kinds):
    supplied, supported = kinds[0](supplied), kinds[1](supported)
    expected = outcome(reference_check_varnow, (supplied, supported))
    assert outcome(check_varnow, (supplied, supported)) == expected
    assert expected[0] in ("returned", InvalidRuntimeOptionError, TypeError)


# ----- argument binding -----


class Poisoned(Exception):
    pass


class Poison:
    """An argument that fails whatever a body does with it (attribute, truth, iteration,
    arithmetic, conversion), so that a call which binds ends in the body at once, doing nothing."""

    def __getattribute__(self, name):
        raise Poisoned(name)

    def __setattr__(self, name, value):
        raise Poisoned(name)

    def __repr__(self):
        return "<poison>"

    def _poisoned(self, *args):
        raise Poisoned("operation")

    __bool__ = __iter__ = __len__ = __index__ = __int__ = __float__ = _poisoned
    __eq__ = __lt__ = __le__ = __gt__ = __ge__ = __add__ = __radd__ = __sub__ = __rsub__ = _poisoned
    __hash__ = None


# The factories' methods, with a plain def of the signature they show.
FACTORY_METHODS = [
    (f"vantle.pipeline_factories.{module}", f"{cls}PipelineFactory.{name}")
    for module, cls in (("http", "HTTP"), ("custom", "Custom"))
    for name in ("__init__", "build")
]
SIGNED = ROWS + [(m, p, str(inspect.signature(resolve(m, p)))) for m, p in FACTORY_METHODS]
CALLABLES = [
    (resolve(module, path), plain_def(module, path, signature), bound)
    for module, path, signature in SIGNED
    for bound in ((False, True) if "(self" in signature else (False,))
]


# CPython 3.13 ends a def's unexpected-keyword error with a suggestion of a close parameter name;
# the package's functions word that error as 3.8 to 3.12 do.
SUGGESTION = re.compile(r"\. Did you mean '\w+'\?$")


def binding_error_prefix(plain):
    """What a binding error of `plain` starts with: its name (3.8, 3.9) or qualified name, and "()"."""
    try:
        plain(*[None] * 9, **{"no such parameter": None})
    except TypeError as error:
        return str(error).split("(")[0] + "()"
    raise AssertionError("plain def accepted every argument")


@given(
    index=st.integers(0, len(CALLABLES) - 1),
    positional=st.integers(0, 7),
    names=st.lists(
        st.one_of(
            st.sampled_from(["self", "name", "url", "args", "kwargs", "callback", "pipeline_str", "bogus"]),
            st.sampled_from([1, ("t",)]),
        ),
        max_size=5,
        unique=True,
    ),
)
@FUZZ
def test_binding_matches_a_plain_def(index, positional, names):
    ours, plain, bound = CALLABLES[index]
    args, kwargs = [Poison() for _ in range(positional)], {name: Poison() for name in names}
    if bound:
        instance = Poison()
        ours, plain = types.MethodType(ours, instance), types.MethodType(plain, instance)
    try:
        plain(*args, **kwargs)
    except TypeError as error:
        # A call that a plain def refuses while binding: ours refuses it alike, before its body.
        assert outcome(ours, args, kwargs) == (TypeError, SUGGESTION.sub("", str(error)))
        return
    # A call that binds: ours binds it too, and its body then fails on the first use of an argument
    # (or, with a str or dict parameter, the exact-type check refuses the poison) -- never a
    # binding error.
    got = outcome(ours, args, kwargs)
    assert got[0] in ("returned", Poisoned, TypeError), got
    if got[0] is TypeError:
        assert not got[1].startswith((binding_error_prefix(plain), "keywords must be strings")), got
        assert inspect.signature(plain).bind(*args, **kwargs)


# ----- custom launch strings -----

SOURCES = st.sampled_from(
    ["filesrc location={url}", 'filesrc location="{url}"', "videotestsrc num-buffers=1 ! identity name={url}"]
)
MIDDLES = st.lists(st.sampled_from(["queue", "identity", "videoconvert"]), max_size=2)
PROBE_POINTS = st.sampled_from(
    ["identity name=buffer_src", "capsfilter name=buffer_src", "tee name=buffer_src", ""]
)
SINKS = st.sampled_from(["appsink name=main_sink", "fakesink name=main_sink", "appsink", "fakesink"])
# What a user's template may hold besides elements: stray format fields and braces, quotes.
NOISE = st.one_of(
    st.sampled_from(["{other}", "{}", "{", "}", "{{x}}", "{url!r}", "{url}", '"', "'", "name=", "(", "!"]),
    st.text(max_size=4),
)
URLS = st.one_of(
    st.sampled_from(
        ["http://127.0.0.1:9/v.mp4?a=1&b=2", "/nonexistent file ! fakesink name=x", 'q"\\', "é\n"]
    ),
    st.text(max_size=12),
)


@st.composite
def launch_strings(draw):
    parts = [draw(SOURCES), *draw(MIDDLES), draw(PROBE_POINTS), draw(SINKS)]
    for _ in range(max(0, draw(st.integers(0, 4)) - 2)):
        parts.insert(draw(st.integers(0, len(parts))), draw(NOISE))
    separator = st.sampled_from([" ! "] * 6 + [" ", "!"])
    launch = ""
    for part in filter(None, parts):
        launch += (draw(separator) if launch else "") + part
    return launch


def documented(error, parsed=None):
    """Whether an exception of the constructor (parsed None) or of build is a documented one;
    `parsed` is what Gst.parse_launch makes of the filled-in string."""
    if parsed is None:
        # A template that cannot carry the URL; a URL that GStreamer cannot carry.
        return isinstance(error, InvalidCustomPipelineError) or (
            isinstance(error, ValueError) and str(error).startswith("The URL contains")
        )
    return isinstance(error, InvalidCustomPipelineError) and str(error).startswith(
        (
            "No element with name 'main_sink'",
            "The element named 'main_sink' must be an appsink",
            "Element named 'buffer_src' does not",
        )
    )


@given(pipeline_str=launch_strings(), url=URLS, keyframes_only=st.booleans())
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_custom_factory_with_arbitrary_launch_strings(pipeline_str, url, keyframes_only):
    try:
        factory = CustomPipelineFactory(
            pipeline_str, url=url, pipeline_watcher=lambda *args: True, keyframes_only=keyframes_only
        )
    except Exception as error:
        assert documented(error), repr(error)
        return
    try:
        parsed = Gst.parse_launch(factory._pipeline_str)
    except GLib.Error as error:
        parsed = error
    try:
        pipeline = factory.build()
    except Exception as error:
        assert documented(error, parsed), repr(error)
        return
    try:
        assert pipeline.appsink is pipeline.get_by_name("main_sink")
        # The bus watch, the appsink's frame numbering (it may drop frames: the default) and
        # frame-size check, and the keyframe probe when asked for.
        assert len(pipeline.destructors) == (
            4 if keyframes_only and pipeline.get_by_name("buffer_src") else 3
        )
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()
    assert pipeline.destructors == []


# ----- secrets in URLs -----

# Anything but a '/' (the end of the user information), white space and the quotes that end a
# URL in a text.
PASSWORDS = st.text(
    st.characters(blacklist_categories=("Cs", "Z", "Cc"), blacklist_characters="/\"'<>`"), max_size=12
)
# A URL's path and query, and how they are shown.
TAILS = {
    "": "",
    "/x": "/x",
    "/x?a=1&token=t0k": "/x?a=1&token=***",
    "/?SIG=s#access_token=a": "/?SIG=***#access_token=***",
}


@given(
    user=st.text("abXY09-._~%", max_size=6),
    password=st.one_of(st.none(), PASSWORDS),
    scheme=st.sampled_from(["http", "rtsp", "icy"]),
    tail=st.sampled_from(sorted(TAILS)),
)
@FUZZ
def test_secrets_of_any_url_are_hidden_and_its_credentials_taken_apart(user, password, scheme, tail):
    userinfo = user if password is None else f"{user}:{password}"
    url = f"{scheme}://{userinfo}@127.0.0.1:554{tail}"
    hidden = f"{user}:***" if password else ("***" if user else userinfo)
    shown = f"{scheme}://{hidden}@127.0.0.1:554{TAILS[tail]}"
    assert (redact_url(url), redact_text(f"at {url} and\t{url}")) == (shown, f"at {shown} and\t{shown}")
    credentials = {"user-id": unquote(user), "user-pw": unquote(password or "")} if user or password else {}
    location = f"{scheme}://127.0.0.1:554{tail}" if credentials else url
    assert source_properties(url) == {"location": location, **credentials}


# ----- sample_to_ndarray -----

INT32 = st.integers(-(2**31), 2**31 - 1)
DIMENSION = st.one_of(st.integers(1, 12), st.integers(1, 12), st.integers(-2, 0), INT32)
TOO_SMALL = (TypeError, "buffer is too small for requested array")
# A negative dimension: numpy's own error, whichever of its checks comes first for the buffer.
NUMPY_SHAPE_ERRORS = {(ValueError, "negative dimensions are not allowed"), TOO_SMALL}


def typed(type_, value):
    v = GObject.Value()
    v.init(type_)
    {GObject.TYPE_INT: v.set_int, GObject.TYPE_STRING: v.set_string, GObject.TYPE_INT64: v.set_int64}[type_](
        value
    )
    return v


@st.composite
def fields(draw):
    """A caps field: mostly an int, else absent or of a type that get_int refuses."""
    kind = draw(st.integers(0, 9))
    if kind < 7:
        return GObject.TYPE_INT, draw(DIMENSION)
    return [None, (GObject.TYPE_STRING, "4"), (GObject.TYPE_INT64, 4)][kind - 7]


@st.composite
def formats(draw):
    """Mostly "BGR", else another format, none, or any text (a C string: no NUL)."""
    kind = draw(st.integers(0, 9))
    if kind < 7:
        return "BGR"
    if kind == 7:
        return draw(st.sampled_from(["RGB", "bgr", "BGRx", "", "I420", None]))
    return draw(st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=4))


META = st.one_of(
    st.none(),
    st.tuples(
        st.one_of(st.integers(0, 64), st.integers(0, 2**64 - 1)),  # plane offset (gsize)
        st.one_of(st.integers(-40, 40), INT32),  # row stride (gint)
    ),
)


def make_sample(width, height, fmt, size, meta):
    structure = Gst.Structure.new_empty("video/x-raw")
    for name, field in (("width", width), ("height", height)):
        if field is not None:
            structure.set_value(name, typed(*field))
    if fmt is not None:
        structure.set_value("format", typed(GObject.TYPE_STRING, fmt))
    caps = Gst.Caps.new_empty()
    caps.append_structure(structure)
    data = bytes((i * 7 + 3) % 251 for i in range(size))
    buffer = Gst.Buffer.new_wrapped(data) if size else Gst.Buffer.new()
    if meta is not None:
        offsets, strides = [meta[0], 0, 0, 0], [meta[1], 0, 0, 0]
        GstVideo.buffer_add_video_meta_full(
            buffer, GstVideo.VideoFrameFlags.NONE, GstVideo.VideoFormat.BGR, 1, 1, 1, offsets, strides
        )
    return Gst.Sample.new(buffer, caps, None, None), data


def expected_frame(width, height, fmt, data, meta):
    """The documented result: an exception (type, text), a set of them, or the frame read from
    `data`, whose rows follow each other (padded to 4 bytes when the buffer holds that) unless a
    video meta gives the first row's offset and the row stride."""
    if width is None or width[0] != GObject.TYPE_INT:
        return SampleConversionError, "Sample caps structure does not have width"
    if height is None or height[0] != GObject.TYPE_INT:
        return SampleConversionError, "Sample caps structure does not have height"
    if fmt != "BGR":
        return SampleConversionError, f"Received a frame with an unsupported color format: {fmt}"
    w, h = width[1], height[1]
    if w < 0 or h < 0:
        return NUMPY_SHAPE_ERRORS
    if w == 0 or h == 0:
        return np.zeros((h, w, 3), np.uint8)
    row = w * 3
    if meta is not None:
        offset, stride = meta
        if h > 1 and abs(stride) < row:  # rows that overlap: the frame is not bounded by the buffer
            return TOO_SMALL
    else:
        offset, stride = 0, (row + 3) // 4 * 4
        if (h - 1) * stride + row > len(data):
            stride = row
    first, last = offset, offset + (h - 1) * stride
    if min(first, last) < 0 or max(first, last) + row > len(data):
        return TOO_SMALL
    raw = np.frombuffer(data, np.uint8)
    return np.stack([raw[offset + r * stride :][:row] for r in range(h)]).reshape(h, w, 3)


@given(width=fields(), height=fields(), fmt=formats(), size=st.integers(0, 200), meta=META)
@settings(max_examples=300, deadline=None)
def test_sample_to_ndarray_with_arbitrary_caps_and_buffers(width, height, fmt, size, meta):
    sample, data = make_sample(width, height, fmt, size, meta)
    expected = expected_frame(width, height, fmt, data, meta)
    memory = sample.get_buffer().peek_memory(0) if size else None
    lock_state = memory.mini_object.lockstate if size else None
    got = outcome(sample_to_ndarray, (sample,))
    if isinstance(expected, np.ndarray):
        assert got[0] == "returned", got
        frame = got[1]
        assert frame.dtype == np.uint8 and not frame.flags.writeable
        np.testing.assert_array_equal(frame, expected)
    elif isinstance(expected, set):
        assert got in expected
    else:
        assert got == expected
    # Whatever happened, the buffer is no longer mapped (a mapping adds to the lock state).
    if size:
        assert memory.mini_object.lockstate == lock_state
