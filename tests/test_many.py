"""open_streams: many streams in one loop, served in turn, failing alone, released whatever ends
the loop; and the example that shards live cameras over Ray actors."""

from __future__ import annotations

import importlib.util
import logging
import sys
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import pytest
from support.leaks import Resources

from vantle import open_streams, probe
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError

pytestmark = [pytest.mark.network, pytest.mark.timeout(120)]

EXAMPLE = Path(__file__).parent.parent / "examples" / "camera_shards.py"


@pytest.fixture
def camera(media, http_server):
    """camera(**query): URL of a live MJPEG camera at 15 pictures a second (query: frames=N)."""
    if not http_server.jpeg_frames:
        http_server.jpeg_frames = media.jpeg_frames("live_jpeg")
    yield lambda **query: http_server.url("/live.mjpg", fps=15, **query)
    http_server.wait_until(lambda: http_server.live_streams == 0, timeout=5.0)


@pytest.fixture(scope="module", autouse=True)
def warm_up(media, media_url):
    # The first streams of a process (of a kind) make what lives for the process: counts start after.
    with open_streams([str(media["h264_mp4"].path), media_url("h264_mp4")]) as streams:
        for _ in streams:
            pass


def test_failures_stay_with_their_stream_and_every_stream_gets_its_turn(
    media, media_url, http_server, camera, caplog
):
    stall_after = media["h264_ts"].size // 2
    secret_404 = http_server.url("/status/404").replace("://", "://admin:s3cret@")
    sources = {
        "long": media_url("h264_keyint30"),
        "short": str(media["h264_mp4"].path),
        "camera": camera(frames=45),
        "404": secret_404,
        "stall": {
            "url": media_url("h264_ts", fault="stall", after=stall_after, seconds=30),
            "frame_timeout": 1.0,
        },
        # Drops after 5 pictures; its own budget has it read once more.
        "drops": {"url": camera(frames=5), "reconnect": 1, "reconnect_backoff": 0.1},
    }
    frames = {key: [] for key in sources}
    order, camera_times = [], []
    with caplog.at_level(logging.WARNING, logger="vantle"), open_streams(sources, timeout=10) as streams:
        for frame in streams:
            frames[frame.source].append(frame.index)
            order.append(frame.source)
            if frame.source == "camera":
                camera_times.append((time.monotonic(), len(frames["long"])))
            elif frame.source in ("long", "short"):
                time.sleep(0.005)  # a consumer slower than decoding: both files always have a frame ready
        errors, stats = streams.errors, streams.stats

    # Every frame of the streams that did not fail, each stream's frames in order.
    assert frames["long"] == list(range(media["h264_keyint30"].frames))
    assert frames["short"] == list(range(media["h264_mp4"].frames))
    assert frames["camera"] == list(range(45))
    assert frames["drops"] == list(range(10)) and stats["drops"].reconnects == 1
    assert frames["404"] == [] and 0 < len(frames["stall"]) < media["h264_ts"].frames
    assert {key: error.kind for key, error in errors.items()} == {
        "404": "not-found",
        "stall": "timeout",
        "drops": "disconnected",
        "camera": "disconnected",  # a live stream's end is a failure
    }
    assert {key: s.frames for key, s in stats.items()} == {key: len(seen) for key, seen in frames.items()}

    # In turn: while both files had frames ready, neither ran ahead of the other.
    both = order[: len(order) - order[::-1].index("short")]
    lead = max(abs(both[:n].count("long") - both[:n].count("short")) for n in range(len(both) + 1))
    assert lead <= 10, "".join(source[0] for source in order)
    # And the camera's pictures came at its pace while the long file was read at full speed.
    while_reading = [t for t, read in camera_times if 0 < read < len(frames["long"])]
    assert len(while_reading) >= 3
    assert max(b - a for a, b in zip(while_reading, while_reading[1:])) < 0.5

    # Each failure logged once, when its stream was given up; no password anywhere.
    given_up = [r.getMessage() for r in caplog.records if "go on without it" in r.getMessage()]
    assert sorted(m.split()[1] for m in given_up) == sorted(errors)
    assert "admin:***@" in str(errors["404"])
    assert "s3cret" not in caplog.text + "".join(map(str, errors.values()))


def test_bad_sources_and_options_are_refused_before_anything_starts(media_url, http_server, resources):
    url = media_url("h264_mp4")
    requests = http_server.count(urlsplit(url).path)
    for sources, options, error in [
        (url, {}, TypeError),  # one URL, not a list of them
        ([], {}, ValueError),
        ([url, url], {}, ValueError),  # the same key twice
        ({1: url}, {}, TypeError),
        ({"a": {"reconnect": 1}}, {}, TypeError),  # no url
        ({"a": url, "b": {"url": url, "keyframe_only": True}}, {}, InvalidRuntimeOptionError),
        ({"a": url, "b": {"url": url, "reconnect": -1}}, {}, InvalidRuntimeOptionError),
        ([url], {"timeout": float("nan")}, InvalidRuntimeOptionError),
        ([url, "ftp://host/clip.mp4"], {}, StreamSetupError),
    ]:
        with pytest.raises(error):
            open_streams(sources, **options)
    assert http_server.count(urlsplit(url).path) == requests
    resources.assert_released()

    # A list's keys are its URLs, passwords hidden; a key's own options win over the common ones.
    secret = url.replace("://", "://user:pw@")
    with open_streams([secret], frame_timeout=5) as streams:
        assert {frame.source for frame in streams} == {url.replace("://", "://user:***@")}
    with open_streams({"k": {"url": url, "keyframes_only": True}}, keyframes_only=False) as streams:
        assert all(frame.keyframe for frame in streams) and streams.stats["k"].frames == 2


def test_resources_come_back_after_many_open_close_cycles(media):
    path = str(media["h264_mp4"].path)
    sources = {f"s{n}": path for n in range(4)}
    resources = None
    for cycle in range(100):
        try:
            with open_streams(sources) as streams:
                for seen, frame in enumerate(streams):
                    del frame  # a frame kept would keep its buffer pool (and the pool's descriptors)
                    if cycle % 10 and seen == 5:
                        if cycle % 2:
                            raise RuntimeError("the consumer failed")  # leaves through the exception
                        break
        except RuntimeError:
            pass
        if cycle % 10 == 0:  # read to the end
            assert sum(s.frames for s in streams.stats.values()) == 4 * media["h264_mp4"].frames
        probe(path)
        if cycle == 2:  # after a cycle of each ending, so that what the process sets up once is counted
            resources = Resources.settled()
    resources.assert_released()


def test_close_from_another_thread_ends_the_loop_and_releases_everything(camera, http_server):
    # (Ctrl-C in the loop: tests/test_reliability.py, with the reader's other waits.)
    urls = [camera(), camera(n=2), http_server.url("/status/404")]
    resources = Resources.take()
    streams = open_streams(urls)
    closed = []

    def close():
        closed.append(time.monotonic())
        streams.close()

    threading.Timer(0.5, close).start()
    count = sum(1 for _ in streams)  # ends when closed
    ended = time.monotonic()
    assert count > 0 and ended - closed[0] < 0.2 + 0.3
    with pytest.raises(StreamSetupError) as raised:
        streams.read_frame()
    assert raised.value.kind == "closed"
    resources.assert_released()


@pytest.mark.ray
@pytest.mark.timeout(300)
@pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.*")
def test_camera_shards_on_ray_actors_send_results_and_go_on_without_a_failed_camera(
    camera, http_server, ray_cluster, monkeypatch
):
    ray = pytest.importorskip("ray")
    spec = importlib.util.spec_from_file_location("camera_shards", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, "camera_shards", example)
    spec.loader.exec_module(example)
    ray.cloudpickle.register_pickle_by_value(example)  # workers cannot import the example by name

    cameras = {
        "hall": camera(),
        "lost": http_server.url("/status/404"),  # in the first share, with "hall"
        "door": camera(n=2),
        "drops": camera(frames=5),  # in the second share, with "door"
    }
    results, failed = example.run(cameras, actors=2, seconds=4.0)

    assert failed == {"lost": "not-found", "drops": "disconnected"}
    by_camera = {key: [r for r in results if r["source"] == key] for key in cameras}
    assert [r["index"] for r in by_camera["drops"]] == list(range(5))
    assert by_camera["lost"] == []
    for key in ("hall", "door"):
        # Every picture until the stop, long after the share's other camera failed.
        assert len(by_camera[key]) >= 15, (key, len(by_camera[key]))
        assert by_camera[key][-1]["received"] - by_camera["drops"][-1]["received"] > 1.0
    # Results, not frames: a few numbers for each.
    assert all(set(r) == {"source", "index", "pts", "received", "brightness"} for r in results)
    assert all(isinstance(r["brightness"], float) and 0 < r["brightness"] < 255 for r in results)
