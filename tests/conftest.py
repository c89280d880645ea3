from __future__ import annotations

import logging
import os

import pytest
from support.http_server import TestServer, refused_port
from support.leaks import Resources
from support.media import Catalogue


@pytest.fixture(scope="session")
def media() -> Catalogue:
    """The media catalogue: media["h264_mp4"] is a MediaFile (generated on first use, skipped
    when the machine lacks its encoder); media.expected(name, index) its expected BGR picture."""
    return Catalogue(on_missing=pytest.skip)


@pytest.fixture(scope="session")
def http_server():
    server = TestServer()
    yield server
    server.close()


@pytest.fixture(scope="session")
def media_url(media, http_server):
    """media_url(name, **query): URL of a catalogue entry on the server (query: fault modes)."""

    def url(name: str, **query: object) -> str:
        entry = media[name]
        file_name = f"{entry.name}.{entry.suffix}"
        if file_name not in http_server.files:
            http_server.serve_file(entry.path, name=file_name, content_type=entry.content_type)
        return http_server.url(f"/files/{file_name}", **query)

    return url


@pytest.fixture
def live_mjpeg_url(media, http_server):
    """A live multipart MJPEG stream (15 pictures a second) of the "live_jpeg" entry."""
    if not http_server.jpeg_frames:
        http_server.jpeg_frames = media.jpeg_frames("live_jpeg")
    yield http_server.url("/live.mjpg", fps=15)
    http_server.wait_until(lambda: http_server.live_streams == 0, timeout=5.0)


@pytest.fixture
def context():
    """A private GLib main context, thread-default during the test: bus watches registered
    meanwhile attach to it, and the test iterates it to dispatch them."""
    from vantle.utils.gstreamer import GLib

    ctx = GLib.MainContext.new()
    ctx.push_thread_default()
    yield ctx
    ctx.pop_thread_default()


@pytest.fixture
def refused_url() -> str:
    """An http URL on a port where nothing listens."""
    return f"http://127.0.0.1:{refused_port()}/files/video.mp4"


@pytest.fixture
def resources() -> Resources:
    """Threads and descriptors at the start of the test: resources.assert_released() at the end."""
    return Resources.take()


@pytest.fixture(scope="session")
def ray_cluster():
    """A local Ray cluster of two CPUs, started once for the session (skipped without Ray)."""
    ray = pytest.importorskip("ray")
    pytest.importorskip("ray.data")
    if os.environ.get("VANTLE_SANITIZERS"):
        # Ray's own native processes would start with the preloaded sanitizer runtime; what the
        # read tasks run of ours is the reader, instrumented in the other tests.
        pytest.skip("Ray's processes are not run under the sanitizers")
    ray.init(
        num_cpus=2,
        include_dashboard=False,
        object_store_memory=256 * 1024 * 1024,
        logging_level=logging.WARNING,
        log_to_driver=False,
    )
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield
    ray.shutdown()
