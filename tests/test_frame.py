"""Frames with their time: fields against PyAV's reading of the same files, and what a Frame is."""

from __future__ import annotations

import operator
import pickle
import time

import numpy as np
import pytest

from vantle import Frame, open_stream

av = pytest.importorskip("av")

pytestmark = [pytest.mark.network, pytest.mark.timeout(120)]

# A launch string decoded by decodebin: the keyframe flag must come out right without the factory.
LAUNCH = "souphttpsrc location={url} ! decodebin ! videoconvert ! appsink name=main_sink"


def pyav_frames(path):
    """(seconds, keyframe) of every decoded frame, as PyAV reads the file."""
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        return [(float(f.pts * stream.time_base), bool(f.key_frame)) for f in container.decode(stream)]


@pytest.mark.parametrize(
    "name, how",
    [
        ("h264_keyint30", "http"),
        ("h264_keyint30", "keyframes_only"),
        ("h264_keyint30", "launch"),
        ("h264_mkv", "http"),
        ("h264_ts", "http"),  # its timeline starts at the first clock reference, PyAV's at the raw PTS
        ("vp8_webm", "http"),
        ("mjpeg_mkv", "http"),
        ("mpeg2_ps", "http"),  # most pictures without a time of their own
    ],
)
def test_frame_fields_match_pyav(media, media_url, name, how):
    expected = pyav_frames(media[name].path)
    if how == "keyframes_only":
        expected = [(pts, key) for pts, key in expected if key]
    url = media_url(name)
    options = {"keyframes_only": True} if how == "keyframes_only" else {}
    started = time.time()
    with open_stream(url, pipeline=LAUNCH if how == "launch" else None, **options) as stream:
        frames = list(stream.frames())
        assert stream.read_frame() is None and stream.read_frame() is None
    assert [f.index for f in frames] == list(range(len(expected)))
    assert [f.keyframe for f in frames] == [key for _, key in expected]
    ours = np.array([f.pts for f in frames])
    theirs = np.array([pts for pts, _ in expected])
    if name == "h264_ts":
        ours, theirs = ours - ours[0], theirs - theirs[0]
    np.testing.assert_allclose(ours, theirs, atol=1e-3)
    received = [f.received for f in frames]
    assert started <= received[0] and received == sorted(received) and received[-1] <= time.time()
    assert {f.source for f in frames} == {url}
    assert all(isinstance(f.image, np.ndarray) and not f.image.flags.writeable for f in frames)


def test_frames_and_plain_iteration_give_the_same_pictures(media_url):
    url = media_url("h264_mp4")
    with open_stream(url) as stream:
        arrays = list(stream)
    with open_stream(url) as stream:
        frames = [stream.read_frame()]
        frames += list(stream.frames())
        assert stream.read() is None
    assert len(frames) == len(arrays)
    assert all(np.array_equal(f.image, a) for f, a in zip(frames, arrays))


def test_a_frame_is_immutable_data(media_url):
    # Credentials in the URL never reach a frame; a stream without times gives None.
    url = media_url("mjpeg_multipart")
    with open_stream(url.replace("http://", "http://viewer:s3cret@")) as stream:
        frame = stream.read_frame()
    assert frame.source == url.replace("http://", "http://viewer:***@")
    assert (frame.pts, frame.index, frame.keyframe) == (None, 0, True)
    with pytest.raises(AttributeError):
        frame.pts = 1.0
    with pytest.raises(AttributeError):
        del frame.image
    with pytest.raises(AttributeError):
        frame.extra = 1
    text = repr(frame)
    assert "uint8 240x320x3" in text and "s3cret" not in text and len(text) < 300
    copy = pickle.loads(pickle.dumps(frame))
    fields = operator.attrgetter("pts", "index", "keyframe", "received", "source")
    assert isinstance(copy, Frame) and fields(copy) == fields(frame)
    assert np.array_equal(copy.image, frame.image) and not copy.image.flags.writeable
