"""vantle.ray on a local Ray cluster: the dataset against a local read of the same sources."""

from __future__ import annotations

import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

from vantle import open_stream
from vantle.errors import InvalidRuntimeOptionError, StreamSetupError

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

import vantle.ray  # noqa: E402

pytestmark = [
    pytest.mark.ray,
    pytest.mark.network,
    pytest.mark.timeout(300),
    # Ray Data reads its own deprecated settings when it copies its context.
    pytest.mark.filterwarnings("ignore::DeprecationWarning:ray.*"),
]


def local_read(url):
    with open_stream(url) as stream:
        return list(stream.frames())


def test_dataset_rows_match_a_local_read(media_url, ray_cluster):
    # Two sources whose pictures differ in size, one given by key.
    urls = {"mp4": media_url("h264_keyint30"), "webm": media_url("vp8_webm")}
    sources = {urls["mp4"]: urls["mp4"], "webm": urls["webm"]}
    with warnings.catch_warnings():
        # A task argument that read_datasource names itself goes to it by name (Ray deprecates
        # passing those in ray_remote_args).
        warnings.simplefilter("error", DeprecationWarning)
        webm = vantle.ray.read_frames({"webm": urls["webm"]}, ray_remote_args={"num_cpus": 1})
    dataset = vantle.ray.read_frames([urls["mp4"]]).union(webm)
    rows = dataset.take_all()
    assert list(rows[0]) == list(vantle.ray.COLUMNS)
    for source, url in sources.items():
        expected = local_read(url)
        got = sorted((row for row in rows if row["source"] == source), key=lambda row: row["index"])
        assert [row["index"] for row in got] == list(range(len(expected)))
        assert [row["keyframe"] for row in got] == [f.keyframe for f in expected]
        np.testing.assert_allclose([row["pts"] for row in got], [f.pts for f in expected])
        assert all(np.array_equal(row["image"], f.image) for row, f in zip(got, expected))
    assert len(rows) == sum(1 for row in rows if row["source"] in sources)

    # Batch inference over both sizes at once: batches that span the two get an array per picture.
    def model(batch):
        return {"source": batch["source"], "shape": np.array([str(image.shape) for image in batch["image"]])}

    shapes = vantle.ray.read_frames(list(urls.values())).map_batches(model, batch_size=50).take_all()
    assert sorted({(row["source"], row["shape"]) for row in shapes}) == [
        (urls["mp4"], "(240, 320, 3)"),
        (urls["webm"], "(242, 322, 3)"),
    ]
    assert len(shapes) == len(rows)


def test_frames_are_handed_on_while_the_source_is_read(media, media_url, ray_cluster):
    # A file trickled out over about 3 seconds: rows must reach the consumer while it arrives,
    # not all at once when the source ends.
    entry = media["h264_mkv"]
    url = media_url("h264_mkv", fault="trickle", chunk=max(entry.size // 30, 1), interval=0.1)
    context = ray.data.DataContext.get_current()
    saved, context.target_max_block_size = context.target_max_block_size, 1024 * 1024
    try:
        arrivals = [time.monotonic() for _ in vantle.ray.read_frames([url]).iter_rows()]
    finally:
        context.target_max_block_size = saved
    assert len(arrivals) == entry.frames
    assert arrivals[-1] - arrivals[0] > 1.5


def test_bad_calls_fail_before_anything_is_read(media_url, http_server, ray_cluster):
    url = media_url("h264_mp4")
    for sources, options, error in [
        (url, {}, TypeError),  # one URL, not a list of them
        ([], {}, ValueError),
        ([url, b"http://x"], {}, TypeError),
        ({1: url}, {}, TypeError),
        ([url], {"keyframe_only": True}, TypeError),  # every option is a parameter of its own
        ({"a": {"url": url, "keyframe_only": True}}, {}, InvalidRuntimeOptionError),
        ([url], {"timeout": "10"}, InvalidRuntimeOptionError),
        ({"a": url, "b": {"url": url, "reconnect": -1}}, {}, InvalidRuntimeOptionError),
    ]:
        with pytest.raises(error):
            vantle.ray.read_frames(sources, **options)
    # A source that fails fails the dataset, with the reader's error.
    with pytest.raises(StreamSetupError, match="(?i)not found"):
        vantle.ray.read_frames([url, http_server.url("/status/404")], timeout=5).take_all()
    # A stream's own options win over the common ones.
    own = {"k": {"url": url, "keyframes_only": True}}
    rows = vantle.ray.read_frames(own, keyframes_only=False).take_all()
    assert len(rows) == 2 and all(row["keyframe"] and row["source"] == "k" for row in rows)


def test_ray_is_imported_by_vantle_ray_alone():
    # The package and its reader never pull Ray in; without Ray, vantle.ray says what to install.
    script = """
import sys
import vantle
from vantle import Frame, open_stream
print("ray" in sys.modules)
sys.modules["ray"] = None
try:
    import vantle.ray
except ImportError as error:
    print(error)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    lines = done.stdout.splitlines()
    assert lines[0] == "False", done.stderr
    assert "pip install 'vantle[ray]'" in lines[1]
