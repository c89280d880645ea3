"""Element and pad helpers on real registry elements and negotiated pads."""

import gi
import pytest

gi.require_version("Gst", "1.0")
from gi.repository import GObject, Gst  # noqa: E402

from vantle.errors import StreamSetupError  # noqa: E402
from vantle.utils.gstreamer import (  # noqa: E402
    UnknownPropertyError,
    find_element,
    find_element_factory,
    is_rtp_audio_pad,
    is_video_pad,
    pad_to_string,
    try_set_property,
)

pytestmark = pytest.mark.timeout(60)

DECODER = Gst.ELEMENT_FACTORY_TYPE_DECODER
H264 = "video/x-h264,stream-format=byte-stream,alignment=au"


def registry_accepting(caps, type_):
    """Factories of the kind that can take `caps` on a sink pad, read from the registry directly."""
    factories = Gst.Registry.get().get_feature_list(Gst.ElementFactory)
    return [f for f in factories if f.list_is_type(type_) and f.can_sink_any_caps(caps)]


def readable_properties(element):
    values = {}
    for spec in element.list_properties():
        if spec.flags & GObject.ParamFlags.READABLE:
            value = element.get_property(spec.name)
            values[spec.name] = value.to_string() if isinstance(value, Gst.Structure) else value
    return values


@pytest.fixture
def negotiated():
    """The sink pad of a fakesink after a pipeline of `launch` has prerolled."""
    pipelines = []

    def make(launch):
        pipeline = Gst.parse_launch(f"{launch} ! fakesink name=sink")
        pipelines.append(pipeline)
        pipeline.set_state(Gst.State.PAUSED)
        assert pipeline.get_state(10 * Gst.SECOND)[0] == Gst.StateChangeReturn.SUCCESS
        return pipeline.get_by_name("sink").get_static_pad("sink")

    yield make
    for pipeline in pipelines:
        pipeline.set_state(Gst.State.NULL)


class TestTrySetProperty:
    def test_unknown_property_leaves_element_untouched(self):
        element = Gst.ElementFactory.make("fakesink")
        before = readable_properties(element)
        with pytest.raises(UnknownPropertyError) as raised:
            try_set_property(element, "no-such-property", 5)
        assert raised.value.args == (f"Element {element} has no property named 'no-such-property'",)
        assert raised.value.property_name == "no-such-property"
        assert readable_properties(element) == before

    def test_known_property_is_set(self):
        element = Gst.ElementFactory.make("fakesink")
        assert element.get_property("sync") is False
        assert try_set_property(element, "sync", True) is None
        assert element.get_property("sync") is True

    def test_name_must_be_a_str(self):
        element = Gst.ElementFactory.make("fakesink")
        with pytest.raises(TypeError) as raised:
            try_set_property(element, b"sync", True)
        assert raised.value.args == ("Argument 'name' has incorrect type (expected str, got bytes)",)

    def test_error_for_no_name(self):
        element = Gst.ElementFactory.make("fakesink")
        error = UnknownPropertyError(element, None)
        assert error.args == (f"Element {element} has no property named 'None'",)
        assert str(error).endswith(" has no property named 'None'")
        assert error.property_name is None


class TestFindElement:
    def test_highest_ranked_h264_decoder(self):
        caps = Gst.Caps.from_string(H264)
        accepting = registry_accepting(caps, DECODER)
        ranked = [f for f in accepting if f.get_rank() >= Gst.Rank.MARGINAL]
        if len(ranked) < 2:
            pytest.skip("needs two ranked H.264 decoders in the registry")
        assert any(f.get_rank() == Gst.Rank.NONE for f in accepting)  # decodebin takes ANY caps
        best = max(f.get_rank() for f in ranked)

        factory = find_element_factory(caps, DECODER)

        assert isinstance(factory, Gst.ElementFactory)
        assert factory.get_rank() == best
        assert factory.get_name() in {f.get_name() for f in ranked if f.get_rank() == best}

    def test_find_element_creates_a_new_element(self):
        caps = Gst.Caps.from_string(H264)
        first, second = find_element(caps, DECODER), find_element(caps, DECODER)
        assert isinstance(first, Gst.Element)
        assert first.get_factory().get_name() == find_element_factory(caps, DECODER).get_name()
        assert first is not second and first.get_name() != second.get_name()

    @pytest.mark.parametrize("text", ["application/x-teletext", "application/x-vantle-unknown"])
    def test_only_rank_none_factories_accept(self, text):
        caps = Gst.Caps.from_string(text)
        accepting = registry_accepting(caps, DECODER)
        assert accepting and all(f.get_rank() < Gst.Rank.MARGINAL for f in accepting)
        for finder in (find_element_factory, find_element):
            with pytest.raises(StreamSetupError) as raised:
                finder(caps, DECODER)
            assert raised.value.args == (f"Could not find compatible element for caps: {text}",)

    def test_no_caps_refused_before_the_registry(self):
        # An unusable type_ would fail inside GStreamer's registry call.
        for finder in (find_element_factory, find_element):
            with pytest.raises(ValueError) as raised:
                finder(None, object())
            assert raised.value.args == ("Caps must not be None when finding an element",)


class TestPads:
    def test_unlinked_pad_without_caps(self):
        pad = Gst.ElementFactory.make("fakesink").get_static_pad("sink")
        assert pad_to_string(pad) == (
            f"{pad}(current_caps=None, allowed_caps=None, "
            "direction=<enum GST_PAD_SINK of type Gst.PadDirection>, linked=False, active=False)"
        )
        for check, message in [
            (is_video_pad, "Pad has no caps"),
            (is_rtp_audio_pad, "Demuxer pad has no caps"),
        ]:
            with pytest.raises(RuntimeError) as raised:
                check(pad)
            assert raised.value.args == (message,)

    def test_negotiated_pad(self, negotiated):
        pad = negotiated(
            "videotestsrc num-buffers=1 ! video/x-raw,format=RGB,width=32,height=24,framerate=30/1"
        )
        current, allowed = pad.get_current_caps().to_string(), pad.get_allowed_caps().to_string()
        assert current.startswith("video/x-raw, format=(string)RGB, width=(int)32, height=(int)24")
        assert allowed.startswith("video/x-raw, format=(string)RGB")
        assert pad_to_string(pad) == (
            f"{pad}(current_caps={current}, allowed_caps={allowed}, "
            f"direction={Gst.PadDirection.SINK}, linked=True, active=True)"
        )

    @pytest.mark.parametrize(
        "launch,video,rtp_audio",
        [
            ("videotestsrc num-buffers=1 ! video/x-raw,width=32,height=24", True, None),
            ("audiotestsrc num-buffers=1", False, None),
            ("videotestsrc num-buffers=1 ! video/x-raw,width=32,height=24 ! rtpvrawpay", False, False),
            ("audiotestsrc num-buffers=1 ! rtpL16pay", False, True),
        ],
    )
    def test_classified_by_negotiated_caps(self, negotiated, launch, video, rtp_audio):
        pad = negotiated(launch)
        assert is_video_pad(pad) is video
        if rtp_audio is None:  # no media field: the membership test on None fails
            with pytest.raises(TypeError) as raised:
                is_rtp_audio_pad(pad)
            assert raised.value.args == ("argument of type 'NoneType' is not iterable",)
        else:
            assert is_rtp_audio_pad(pad) is rtp_audio

    def test_caps_without_structures(self):
        # No real pad can negotiate empty caps, so a stand-in reports them.
        empty = type("EmptyCapsPad", (), {"get_current_caps": lambda self: Gst.Caps.new_empty()})()
        with pytest.raises(RuntimeError) as raised:
            is_video_pad(empty)
        assert raised.value.args == ("Pad caps have no structures",)
        with pytest.raises(RuntimeError) as raised:
            is_rtp_audio_pad(empty)
        assert raised.value.args == ("Demuxer pad caps have no structures",)
