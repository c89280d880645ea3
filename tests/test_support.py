"""The test infrastructure itself: served bytes, fault modes, live stream, catalogue media."""

from __future__ import annotations

import http.client
import socket
import time
from urllib.parse import urlsplit

import pytest
from support.http_server import TestServer, refused_port
from support.leaks import Resources
from support.media import CATALOGUE, decode_frames, picture_difference, split_multipart

pytestmark = [pytest.mark.network, pytest.mark.timeout(60)]

DATA = bytes(range(256)) * 40  # 10240 bytes, every offset recognisable


@pytest.fixture(scope="module")
def server(media, tmp_path_factory):
    """A server of our own, so that connections other tests leave open do not disturb the counts."""
    path = tmp_path_factory.mktemp("blob") / "blob.mp4"
    path.write_bytes(DATA)
    with TestServer(jpeg_frames=media.jpeg_frames()) as server:
        server.serve_file(path)
        yield server


@pytest.fixture
def blob(server):
    assert server.wait_idle()
    return "/files/blob.mp4"


def raw_get(url: str, extra: str = "", wait: float = 5.0, keep_alive: bool = False):
    """GET over a plain socket: (status line, headers, body bytes, closed by the server?).

    Reads until the server closes, for at most `wait` seconds."""
    u = urlsplit(url)
    with socket.create_connection((u.hostname, u.port), timeout=wait) as s:
        target = u.path + ("?" + u.query if u.query else "")
        extra += "" if keep_alive else "Connection: close\r\n"
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: {u.netloc}\r\n{extra}\r\n".encode())
        data, closed, deadline = b"", False, time.monotonic() + wait
        try:
            while time.monotonic() < deadline:
                s.settimeout(max(0.01, deadline - time.monotonic()))
                chunk = s.recv(65536)
                if not chunk:
                    closed = True
                    break
                data += chunk
        except socket.timeout:
            pass
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return lines[0], headers, body, closed


class TestFiles:
    @pytest.mark.parametrize(
        "range_header, first, last",
        [("bytes=10-99", 10, 99), ("bytes=10000-", 10000, 10239), ("bytes=-50", 10190, 10239),
         ("bytes=10200-99999", 10200, 10239), ("bytes=0-0", 0, 0)],
    )  # fmt: skip
    def test_range_gives_those_bytes(self, server, blob, range_header, first, last):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
        try:
            conn.request("GET", blob, headers={"Range": range_header})
            r = conn.getresponse()
            assert (r.status, r.getheader("Content-Range")) == (206, f"bytes {first}-{last}/10240")
            assert r.read() == DATA[first : last + 1]
            # the connection stays usable: a second, whole request on it
            conn.request("GET", blob)
            r = conn.getresponse()
            assert (r.status, r.getheader("Content-Type"), r.getheader("Content-Length")) == (
                200, "video/mp4", "10240")  # fmt: skip
            assert r.read() == DATA
        finally:
            conn.close()

    @pytest.mark.parametrize("range_header", ["bytes=10240-", "bytes=20000-20010", "bytes=-0"])
    def test_unsatisfiable_range_is_416(self, server, blob, range_header):
        status, headers, body, _ = raw_get(server.url(blob), f"Range: {range_header}\r\n")
        assert status.split()[1] == "416"
        assert headers["content-range"] == "bytes */10240" and body == b""

    def test_head_has_length_and_no_body(self, server, blob):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
        conn.request("HEAD", blob)
        r = conn.getresponse()
        assert (r.status, r.getheader("Content-Length"), r.read()) == (200, "10240", b"")
        conn.close()


class TestFaults:
    @pytest.mark.parametrize("code", [404, 500, 503])
    def test_status(self, server, code):
        status, _, _, _ = raw_get(server.url(f"/status/{code}"))
        assert status.split()[1] == str(code)

    def test_unknown_file_is_404(self, server):
        assert raw_get(server.url("/files/missing.mp4"))[0].split()[1] == "404"

    def test_close_after_n_bytes(self, server, blob):
        status, headers, body, closed = raw_get(server.url(blob, fault="close", after=1234), keep_alive=True)
        assert status.split()[1] == "200" and headers["content-length"] == "10240"
        assert body == DATA[:1234] and closed

    @pytest.mark.parametrize("length, declared", [("full", "10240"), ("truncated", "3000")])
    def test_truncated_file(self, server, blob, length, declared):
        _, headers, body, closed = raw_get(
            server.url(blob, fault="truncate", bytes=3000, length=length), keep_alive=True
        )
        assert headers["content-length"] == declared and body == DATA[:3000] and closed

    def test_garbage_under_a_video_type(self, server):
        _, headers, body, _ = raw_get(server.url("/garbage", bytes=5000, type="video/mp4"))
        assert headers["content-type"] == "video/mp4" and len(body) == 5000 and len(set(body)) > 200

    @pytest.mark.parametrize("query", [{"fault": "stall", "after": 0}, {"fault": "stall", "after": 700},
                                       {"fault": "hang"}])  # fmt: skip
    def test_stall_sends_nothing_more_and_ends_when_the_client_leaves(self, server, blob, query):
        assert server.wait_idle()
        status, _, body, closed = raw_get(server.url(blob, seconds=20, **query), wait=0.5)
        assert not closed and body == DATA[: query.get("after", 0)]
        assert status.startswith("HTTP/1.1 200") if query["fault"] == "stall" else status == ""
        # the client has gone: the handler notices well before its 20 s
        assert server.wait_idle(timeout=5)

    def test_trickle(self, server, blob):
        url = server.url(blob, fault="trickle", chunk=100, interval=0.1)
        _, _, body, closed = raw_get(url, wait=0.45)
        assert not closed and 200 <= len(body) <= 600 and body == DATA[: len(body)]

    def test_refused_port(self):
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", refused_port()), timeout=5).close()


class TestLiveMjpeg:
    def test_parts_are_the_pictures_and_the_stream_ends_with_the_client(self, server):
        assert server.wait_idle()
        live_mjpeg_url = server.url("/live.mjpg", fps=15)
        frames_before = server.live_frames_sent
        _, headers, body, closed = raw_get(live_mjpeg_url, wait=0.5)
        assert headers["content-type"] == "multipart/x-mixed-replace; boundary=vantlelive" and not closed
        parts = split_multipart(body, "vantlelive")
        assert 3 <= len(parts) <= 15  # 15 a second for half a second, the first one at once
        # in order from the first picture (the last part may have been cut by our leaving)
        assert parts[:-1] == server.jpeg_frames[: len(parts) - 1]
        assert server.wait_until(lambda: server.live_streams == 0 and server.open_connections == 0)
        assert server.live_frames_sent - frames_before in range(len(parts), len(parts) + 3)

    def test_frame_limit_ends_with_the_closing_boundary(self, server):
        _, _, body, closed = raw_get(server.url("/live.mjpg", frames=4, fps=50))
        assert closed and body.endswith(b"--vantlelive--\r\n")
        assert len(split_multipart(body, "vantlelive")) == 4


def test_close_ends_stalled_and_live_responses(media):
    server = TestServer(jpeg_frames=[b"\xff\xd8 not really a picture \xff\xd9"])
    clients = []
    try:
        server.serve_file(media["h264_mp4"].path, name="a.mp4")
        for target in ["/files/a.mp4?fault=stall&seconds=30", "/live.mjpg?fps=2", "/files/a.mp4"]:
            clients.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            clients[-1].sendall(f"GET {target} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            assert clients[-1].recv(100).startswith(b"HTTP/1.1 200")
        assert server.wait_until(lambda: server.live_streams == 1 and server.open_connections == 3)
    finally:
        server.close()  # raises if a connection thread is still there
        for c in clients:
            c.close()
    assert server.open_connections == 0 and server.live_streams == 0


def test_resources_notice_a_leaked_descriptor(tmp_path):
    snapshot = Resources.take()
    with open(tmp_path / "x", "w"):
        with pytest.raises(AssertionError, match="new descriptors"):
            snapshot.assert_released(timeout=0.1)
    snapshot.assert_released(timeout=1)


def test_keyframe_every_30_frames(media):
    entry = media["h264_keyint30"]
    assert entry.keyframe_indices() == [0, 30, 60, 90, 120]
    assert entry.frames == 150


@pytest.mark.parametrize("name", sorted(n for n in CATALOGUE if n != "live_jpeg"))
def test_catalogue_entry_decodes_over_http_to_its_picture(media, media_url, name):
    entry = media[name]
    frames = decode_frames(f"souphttpsrc location={media_url(name)}")
    assert len(frames) == entry.frames
    assert frames[0].shape == (entry.height, entry.width, 3)
    for i in (0, entry.frames - 1):
        assert picture_difference(frames[i], media.expected(name, i)) < 8


def test_live_stream_decodes_to_its_picture(media, live_mjpeg_url):
    frames = decode_frames(f"souphttpsrc location={live_mjpeg_url}&frames=5", timeout=20)
    assert len(frames) == 5
    assert picture_difference(frames[-1], media.expected("live_jpeg")) < 8
