"""Pipeline construction and its element graph, on real elements: new_element, filter_caps and the
appsink slot."""

import pytest

import vantle.utils.gstreamer as gstreamer
from vantle.errors import NotLinkedError, StreamSetupError
from vantle.utils.gstreamer import GLib, Gst, Pipeline

pytestmark = pytest.mark.timeout(60)

PLAYING, NULL = Gst.State.PLAYING, Gst.State.NULL
NO_APPSINK = "The appsink has not been set for this pipeline yet"
NO_CAPS = "Could not link capsfilter using any of the provided caps: "


@pytest.fixture
def make():
    """Makes Pipelines (or takes finished ones) and brings every one back to NULL afterwards."""
    made = []

    def make_pipeline(name_or_pipeline="core"):
        pipeline = Pipeline(name_or_pipeline) if isinstance(name_or_pipeline, str) else name_or_pipeline
        made.append(pipeline)
        return pipeline

    yield make_pipeline
    for pipeline in made:
        pipeline.set_state(NULL)


def names(pipeline):
    return sorted(e.get_factory().get_name() for e in pipeline.iterate_elements())


def state(element):
    return element.get_state(0)[1]


def peer_of(element, pad="src"):
    peer = element.get_static_pad(pad).get_peer()
    return peer and peer.get_parent()


class RecordingGst:
    """Gst, except that parse_launch keeps its results and made elements record their calls."""

    def __init__(self):
        self.parsed, self.calls = [], []

    def __getattr__(self, name):
        return getattr(Gst, name)

    def parse_launch(self, launch):
        self.parsed.append(Gst.parse_launch(launch))
        return self.parsed[-1]

    @property
    def ElementFactory(self):
        return self

    def make(self, factory_name):
        element = Gst.ElementFactory.make(factory_name)
        for method in ("set_property", "set_state", "link"):
            self.record(element, method)
        return element

    def record(self, element, method):
        original = getattr(element, method)

        def recorded(*args):
            self.calls.append((method, *args))
            return original(*args)

        setattr(element, method, recorded)


@pytest.fixture
def recording(monkeypatch):
    fake = RecordingGst()
    monkeypatch.setattr(gstreamer, "Gst", fake)
    return fake


def test_empty_pipeline(make):
    pipeline, other = make("core"), make("other")
    assert type(pipeline) is Pipeline and isinstance(pipeline, Gst.Pipeline)
    assert pipeline.get_name() == "core" and names(pipeline) == []
    assert vars(pipeline) == {"destructors": [], "_appsink": None}
    assert pipeline.destructors is not other.destructors
    with pytest.raises(StreamSetupError) as error:
        _ = pipeline.appsink
    assert type(error.value) is StreamSetupError and error.value.args == (NO_APPSINK,)


def test_from_launch_string_keeps_the_parsed_object(make, recording):
    pipeline = make(Pipeline.from_launch_string("videotestsrc name=src ! fakesink name=sink", "launched"))
    assert recording.parsed == [pipeline] and recording.parsed[0] is pipeline
    assert type(pipeline) is Pipeline and vars(pipeline) == {"destructors": [], "_appsink": None}
    assert peer_of(pipeline.get_by_name("src")) is pipeline.get_by_name("sink")
    with pytest.raises(GLib.Error) as error:
        Pipeline.from_launch_string("no_such_element_here", "bad")
    assert type(error.value) is GLib.Error and error.value.message == 'no element "no_such_element_here"'


def test_from_launch_string_of_one_element_gives_a_pipeline_holding_it(make, recording):
    # The parser gives back a lone element, not a pipeline: it goes into a new one, which has
    # a bus and can be searched and started like any other.
    pipeline = make(Pipeline.from_launch_string("fakesink name=main_sink", "lone"))
    (element,) = recording.parsed
    assert type(pipeline) is Pipeline and pipeline.get_name() == "lone"
    assert type(element) is not Pipeline and element.get_parent() is pipeline
    assert pipeline.get_by_name("main_sink") is element and pipeline.get_bus() is not None
    assert vars(pipeline) == {"destructors": [], "_appsink": None}


def test_new_element_adds_plays_and_does_not_link(make):
    pipeline = make()
    element = pipeline.new_element("identity")
    assert element.get_parent() is pipeline and names(pipeline) == ["identity"]
    assert state(element) == PLAYING and peer_of(element) is None and peer_of(element, "sink") is None


@pytest.mark.parametrize(
    "auto_play, expected", [(False, NULL), (0, NULL), ("", NULL), (1, PLAYING), ("y", PLAYING)]
)
def test_auto_play_is_a_truth_test(make, recording, auto_play, expected):
    element = make().new_element("identity", auto_play=auto_play)
    assert state(element) == expected
    assert [call[0] for call in recording.calls] == ([] if expected == NULL else ["set_state"])


@pytest.mark.parametrize(
    "properties, expected",
    [
        (None, []),
        ({}, []),
        (
            {"silent": False, "sleep-time": 5},
            [("set_property", "silent", False), ("set_property", "sleep-time", 5)],
        ),
        (
            {"sleep-time": 5, "silent": False},
            [("set_property", "sleep-time", 5), ("set_property", "silent", False)],
        ),
    ],
)
def test_properties_are_set_in_order_before_playing_and_linking(make, recording, properties, expected):
    pipeline = make()
    upstream = pipeline.new_element("identity", auto_play=False)
    recording.calls.clear()
    element = pipeline.new_element("identity", upstream, properties)
    assert recording.calls == [*expected, ("set_state", PLAYING), ("link", element)]
    assert peer_of(upstream) is element


def test_a_refused_property_stops_the_rest(make):
    with pytest.raises(TypeError) as expected:
        Gst.ElementFactory.make("videotestsrc").set_property("no-such", 1)
    pipeline = make()
    with pytest.raises(TypeError) as got:
        pipeline.new_element("videotestsrc", properties={"num-buffers": 7, "no-such": 1, "is-live": True})
    assert str(got.value) == str(expected.value)
    (source,) = pipeline.iterate_elements()
    assert source.get_property("num-buffers") == 7 and source.get_property("is-live") is False
    assert state(source) == NULL


def test_failed_link_leaves_the_element_in_the_pipeline(make):
    pipeline = make()
    source = pipeline.new_element("videotestsrc", auto_play=False)
    sink = pipeline.new_element("fakesink", source, auto_play=False)
    with pytest.raises(NotLinkedError) as error:
        pipeline.new_element("capsfilter", source)
    assert type(error.value) is NotLinkedError and error.value.args == ("Failed to link capsfilter",)
    (stray,) = [e for e in pipeline.iterate_elements() if e.get_factory().get_name() == "capsfilter"]
    assert state(stray) == PLAYING and peer_of(stray, "sink") is None and peer_of(source) is sink


def test_filter_caps_tries_options_in_order(make):
    pipeline = make()
    source = pipeline.new_element("videotestsrc", auto_play=False)
    options = ["audio/x-raw", "video/x-raw,format=I420", "video/x-raw"]
    capsfilter, chosen = pipeline.filter_caps(source, options, False)
    assert chosen is options[1] and peer_of(source) is capsfilter
    assert capsfilter.get_property("caps").is_equal(Gst.Caps.from_string(options[1]))
    filters = [e for e in pipeline.iterate_elements() if e.get_factory().get_name() == "capsfilter"]
    assert len(filters) == 2 and {state(f) for f in filters} == {NULL}
    (failed,) = [f for f in filters if f is not capsfilter]
    assert peer_of(failed, "sink") is None
    assert failed.get_property("caps").is_equal(Gst.Caps.from_string(options[0]))
    other_source = pipeline.new_element("videotestsrc", auto_play=False)
    assert state(pipeline.filter_caps(other_source, ["video/x-raw"])[0]) == PLAYING


@pytest.mark.parametrize("options", [[], ["audio/x-raw", "audio/x-raw,rate=8000"]])
def test_filter_caps_without_a_linking_option(make, options):
    pipeline = make()
    source = pipeline.new_element("videotestsrc", auto_play=False)
    with pytest.raises(NotLinkedError) as error:
        pipeline.filter_caps(source, options)
    assert type(error.value) is NotLinkedError and error.value.args == (NO_CAPS + str(options),)
    assert names(pipeline) == sorted(["videotestsrc"] + ["capsfilter"] * len(options))


def test_filter_caps_without_link_to_takes_the_first_option(make):
    pipeline = make()
    options = ["audio/x-raw", "video/x-raw"]
    capsfilter, chosen = pipeline.filter_caps(None, options)
    assert chosen is options[0] and names(pipeline) == ["capsfilter"] and state(capsfilter) == PLAYING


def test_filter_caps_stops_at_the_option_that_links(make):
    pipeline = make()
    source = pipeline.new_element("videotestsrc", auto_play=False)
    options = iter(["audio/x-raw", "video/x-raw", "video/x-raw,format=I420"])
    assert pipeline.filter_caps(source, options, False)[1] == "video/x-raw"
    assert next(options) == "video/x-raw,format=I420"


def test_appsink_slot(make):
    pipeline = make()
    appsink = Gst.ElementFactory.make("appsink")
    pipeline.appsink = appsink
    assert pipeline.appsink is appsink and pipeline._appsink is appsink
    pipeline.appsink = "anything"
    assert pipeline.appsink == "anything"
    pipeline.appsink = None
    with pytest.raises(StreamSetupError, match=f"^{NO_APPSINK}$"):
        _ = pipeline.appsink
