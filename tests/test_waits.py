"""Pipeline.wait_until_playing, wait_until_null and post_error on real pipelines."""

import logging
import sys
import threading
import time

import gi
import pytest

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

from vantle.errors import StreamSetupError  # noqa: E402
from vantle.utils import gstreamer  # noqa: E402
from vantle.utils.gstreamer import Pipeline  # noqa: E402

pytestmark = pytest.mark.timeout(60)

STREAM_FAILED = Gst.error_get_message(Gst.stream_error_quark(), int(Gst.StreamError.FAILED))
START_TIMEOUT = "Timeout while waiting for stream to start"
NULL_TIMEOUT = "Timeout while waiting for stream to reach null state"


def current_state(pipeline):
    return pipeline.get_state(0)[1]


@pytest.fixture
def pipelines():
    made = []

    def make(launch):
        pipeline = Pipeline.from_launch_string(launch, f"waits{len(made)}")
        made.append(pipeline)
        return pipeline

    yield make
    for pipeline in made:
        pipeline.set_state(Gst.State.NULL)


@pytest.fixture
def stalled(pipelines):
    """A pipeline asked to play that never can: its sink waits for data that never comes."""
    pipeline = pipelines("appsrc ! appsink")
    pipeline.set_state(Gst.State.PLAYING)
    return pipeline


class TestWaitUntilPlaying:
    def test_reaches_playing(self, pipelines):
        pipeline = pipelines("videotestsrc ! video/x-raw,width=32,height=24 ! fakesink")
        pipeline.set_state(Gst.State.PLAYING)
        assert pipeline.wait_until_playing(10) is None
        assert current_state(pipeline) == Gst.State.PLAYING

    @pytest.mark.parametrize("budget", [0, -1, 0.25])
    def test_already_playing_returns_at_once_for_any_budget(self, pipelines, budget):
        pipeline = pipelines("videotestsrc ! video/x-raw,width=32,height=24 ! fakesink")
        pipeline.set_state(Gst.State.PLAYING)
        pipeline.wait_until_playing(10)
        pipeline.post_error("left on the bus")  # never read: the wait does not touch the bus
        pipeline.wait_until_playing(budget)
        assert pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR) is not None

    def test_children_playing_do_not_end_the_wait(self, pipelines):
        pipeline = pipelines(
            "filesrc location=/nonexistent/vantle-no-such-file ! appsink name=sink async=false"
        )
        sink = pipeline.get_by_name("sink")
        sink.set_state(Gst.State.PLAYING)
        assert sink.get_state(0)[1] == Gst.State.PLAYING  # it has posted its change to PLAYING
        pipeline.set_state(Gst.State.PLAYING)

        with pytest.raises(StreamSetupError) as raised:
            pipeline.wait_until_playing(5)

        not_found = Gst.error_get_message(Gst.resource_error_quark(), int(Gst.ResourceError.NOT_FOUND))
        assert raised.value.args == (not_found,)
        assert current_state(pipeline) != Gst.State.PLAYING

    def test_error_posted_from_another_thread(self, stalled):
        poster = threading.Timer(0.2, stalled.post_error, ("decoder went away",))
        poster.start()
        started = time.monotonic()
        try:
            with pytest.raises(StreamSetupError) as raised:
                stalled.wait_until_playing(20)
        finally:
            poster.join()
        assert raised.value.args == (STREAM_FAILED,)
        assert STREAM_FAILED == "GStreamer encountered a general stream error."
        assert time.monotonic() - started < 10
        assert current_state(stalled) != Gst.State.NULL  # the error path leaves the state alone

    @pytest.mark.parametrize("budget", [0, -1, -0.5])
    def test_spent_budget_times_out_without_waiting(self, stalled, budget):
        started = time.monotonic()
        with pytest.raises(StreamSetupError) as raised:
            stalled.wait_until_playing(budget)
        assert raised.value.args == (START_TIMEOUT,)
        assert time.monotonic() - started < 1
        assert current_state(stalled) == Gst.State.NULL

    def test_fraction_of_a_second(self, stalled):
        started = time.monotonic()
        with pytest.raises(StreamSetupError) as raised:
            stalled.wait_until_playing(0.3)
        elapsed = time.monotonic() - started
        assert raised.value.args == (START_TIMEOUT,)
        assert 0.3 <= elapsed < 2 * 0.3 + 0.5
        assert current_state(stalled) == Gst.State.NULL


class TestWaitUntilNull:
    @pytest.mark.parametrize("budget", [5, 0.5])
    def test_after_set_state_null(self, pipelines, budget):
        pipeline = pipelines("videotestsrc ! video/x-raw,width=32,height=24 ! fakesink")
        pipeline.set_state(Gst.State.PLAYING)
        pipeline.wait_until_playing(10)
        pipeline.set_state(Gst.State.NULL)
        assert pipeline.wait_until_null(budget) is None
        assert current_state(pipeline) == Gst.State.NULL

    @pytest.mark.parametrize("budget", [0, -3])
    def test_spent_budget_raises_even_in_null(self, budget):
        pipeline = Pipeline("idle")
        assert current_state(pipeline) == Gst.State.NULL
        with pytest.raises(StreamSetupError) as raised:
            pipeline.wait_until_null(budget)
        assert raised.value.args == (NULL_TIMEOUT,)

    def test_times_out_while_not_null(self, stalled):
        started = time.monotonic()
        with pytest.raises(StreamSetupError) as raised:
            stalled.wait_until_null(0.2)
        assert raised.value.args == (NULL_TIMEOUT,)
        assert time.monotonic() - started < 2 * 0.2 + 0.5


def post_through_helper(pipeline, text):
    # post_error reports the frame above its direct caller: the caller of this helper.
    pipeline.post_error(text)


def pop_error(pipeline):
    message = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
    assert message is not None
    assert message.src == pipeline
    return message.parse_error()


class TestPostError:
    def test_posts_stream_error_with_location(self, caplog):
        pipeline = Pipeline("poster")
        with caplog.at_level(logging.WARNING, logger="vantle"):
            line = sys._getframe().f_lineno + 1
            assert post_through_helper(pipeline, "no frames for 5 s") is None

        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            ("vantle", logging.WARNING, "Posting error to bus: no frames for 5 s")
        ]
        error, debug = pop_error(pipeline)
        assert error.domain == GLib.quark_to_string(Gst.stream_error_quark())
        assert error.code == Gst.StreamError.FAILED
        assert error.message == STREAM_FAILED
        where = f"{__file__}({line}): test_posts_stream_error_with_location ()"
        assert debug == f"{where}: {pipeline.get_path_string()}:\nno frames for 5 s"

    def test_unknown_caller_when_inspect_raises_value_error(self, monkeypatch):
        def stack():
            raise ValueError("call stack is not deep enough")

        monkeypatch.setattr(gstreamer, "inspect", type("FailingInspect", (), {"stack": staticmethod(stack)}))
        pipeline = Pipeline("unknown-caller")
        pipeline.post_error("lost")
        error, debug = pop_error(pipeline)
        assert error.message == STREAM_FAILED
        assert debug == f"<unknown filename>(0): <unknown function> (): {pipeline.get_path_string()}:\nlost"

    def test_other_inspect_errors_propagate_and_nothing_is_posted(self, monkeypatch):
        monkeypatch.setattr(
            gstreamer, "inspect", type("ShortInspect", (), {"stack": staticmethod(lambda: [])})
        )
        pipeline = Pipeline("short-stack")
        with pytest.raises(IndexError) as raised:
            pipeline.post_error("lost")
        assert raised.value.args == ("list index out of range",)
        assert pipeline.get_bus().pop() is None
