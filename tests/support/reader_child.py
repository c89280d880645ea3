"""Reader scenarios run in a process of their own, each printing JSON lines of what happened:
`interrupt WAIT` (WAIT: open, frame, backoff, loop (of open_streams) or wait_until_playing; prints
"waiting" once in the wait; after SIGINT, when the interruption came and
whether everything was released), `fork` (a forked child's calls; the parent's frames after) and
`memory [k=v ...]` (how a stream with a part without end ended; the peak memory)."""

from __future__ import annotations

import gc
import json
import logging
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from support.http_server import TestServer  # noqa: E402
from support.leaks import Resources  # noqa: E402
from support.media import Catalogue  # noqa: E402
from vantle import StreamReader, open_stream, open_streams  # noqa: E402
from vantle.errors import StreamSetupError  # noqa: E402
from vantle.utils.gstreamer import Gst, Pipeline  # noqa: E402

# Python raises KeyboardInterrupt on SIGINT only if SIGINT was not ignored when it started, and a
# process started in the background by a shell (as CI may start the tests) inherits it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)


def waiting(*_: object) -> None:
    print("waiting", flush=True)


def wait_in(wait: str, server: TestServer, media: Catalogue) -> None:
    ts = server.serve_file(media["h264_ts"].path)
    if wait == "open":
        waiting()
        open_stream(server.url(ts, fault="hang", seconds=30), timeout=20)
    elif wait == "frame":
        half = media["h264_ts"].size // 2
        with open_stream(server.url(ts, fault="stall", after=half, seconds=30), frame_timeout=20) as stream:
            waiting()  # the first half comes at once, then the wait
            for _ in stream:
                pass
    elif wait == "backoff":
        logging.getLogger("vantle").addHandler(type("Ready", (logging.Handler,), {"emit": waiting})())
        camera = server.url("/live.mjpg", fps=30, frames=3)
        with StreamReader(camera, reconnect=2, reconnect_backoff=20) as stream:
            for _ in stream:
                pass
    elif wait == "loop":
        # Many streams in one loop: two live cameras and one that fails at once.
        cameras = [server.url("/live.mjpg", fps=15), server.url("/live.mjpg", fps=15, n=2)]
        with open_streams([*cameras, server.url("/status/404")]) as streams:
            for frame in streams:
                if frame.index == 3 and frame.source == cameras[0]:
                    waiting()
    else:
        pipeline = Pipeline.from_launch_string("appsrc ! appsink", "never-plays")
        pipeline.set_state(Gst.State.PLAYING)
        waiting()
        try:
            pipeline.wait_until_playing(20)
        finally:
            pipeline.set_state(Gst.State.NULL)


def interrupt(server: TestServer, wait: str) -> dict:
    media = Catalogue(on_missing=lambda reason: sys.exit(f"skip: {reason}"))
    server.jpeg_frames = media.jpeg_frames("live_jpeg")
    with open_stream(server.url(server.serve_file(media["h264_mp4"].path))) as warm:
        warm.read()
    resources = Resources.take()
    result: dict = {"interrupted": False}
    try:
        wait_in(wait, server, media)  # a function: what it holds goes with it
    except KeyboardInterrupt:
        result = {"interrupted": True, "at": time.monotonic()}
    try:
        resources.assert_released()
        result["released"] = True
    except AssertionError as error:
        result["released"] = str(error)
    return result


def fork(server: TestServer) -> dict:
    server.jpeg_frames = Catalogue(on_missing=lambda r: sys.exit(f"skip: {r}")).jpeg_frames("live_jpeg")
    reader = open_stream(server.url("/live.mjpg", fps=30), frame_timeout=2)
    reader.read()
    pid = os.fork()
    if pid == 0:
        calls = {}
        for name, call in [
            ("read", reader.read),
            ("open", reader.open),
            ("iterate", lambda: next(iter(reader))),
            ("close", reader.close),
            ("close again", reader.close),
            # GStreamer's threads stayed in the parent: a stream of its own is refused at once.
            ("new stream", lambda: open_stream(server.url("/live.mjpg", fps=30), timeout=2)),
        ]:
            started = time.monotonic()
            try:
                call()
                calls[name] = ["returned", time.monotonic() - started]
            except StreamSetupError as error:
                calls[name] = [error.kind, time.monotonic() - started]
                if name == "new stream":
                    calls[name].append("'spawn'" in str(error))
        print(json.dumps(calls), flush=True)
        del reader, call  # collected: its finaliser must leave GStreamer alone too
        gc.collect()
        os._exit(0)
    started, frames = time.monotonic(), 0
    for _ in reader:
        frames += 1
        if time.monotonic() - started > 3:
            break
    status = os.waitpid(pid, 0)[1]
    reader.close()
    return {"frames": frames, "seconds": time.monotonic() - started, "status": status}


def memory(server: TestServer, *args: str) -> dict:
    query = dict(arg.split("=", 1) for arg in args)
    options = {"max_frame_bytes": int(query.pop("max_frame_bytes"))} if "max_frame_bytes" in query else {}
    try:
        with open_stream(server.url("/endless.mjpg", **query), timeout=20, **options) as stream:
            for _ in stream:
                pass
        result: dict = {"kind": None}
    except StreamSetupError as error:
        result = {"kind": error.kind, "text": str(error)}
    # This process's own peak (getrusage's would count its parent's from before exec).
    with open("/proc/self/status") as status:
        result["peak_mb"] = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024
    return result


if __name__ == "__main__":
    server = TestServer(max_stall=30)
    try:
        scenario = {"interrupt": interrupt, "fork": fork, "memory": memory}[sys.argv[1]]
        print(json.dumps(scenario(server, *sys.argv[2:])), flush=True)
    finally:
        server.close()
