"""The contenders of the benchmark suite, each run by bench/run_all.py in a process of its own.

    python bench/contenders.py KIND [--url URL] [--frames N] ...

prints one JSON object on its last line of output. Every timed window starts just before the
stream is opened (imports are done by then) and ends when the contender has what it was asked
for; CPU time is the whole process's (time.process_time: every thread, GStreamer's and
FFmpeg's included), wall time is time.perf_counter.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple


def process_state() -> Dict[str, int]:
    """Resident memory (bytes), threads and open file descriptors of this process."""
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "Threads"):
                fields[key] = int(value.split()[0])
    return {
        "rss": fields["VmRSS"] * 1024,
        "threads": fields["Threads"],
        "fds": len(os.listdir("/proc/self/fd")),
    }


class Window:
    """CPU and wall time since construction."""

    def __init__(self) -> None:
        self.cpu = time.process_time()
        self.wall = time.perf_counter()

    def elapsed(self) -> Dict[str, float]:
        return {"cpu": time.process_time() - self.cpu, "wall": time.perf_counter() - self.wall}


def finish(window: Window, frames: int, **extra: Any) -> Dict[str, Any]:
    result = {"frames": frames, **window.elapsed(), **extra}
    result["max_rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result.update(process_state())
    return result


class Unsupported(Exception):
    """The contender cannot run with this version of vantle; reported, not counted as a failure."""


# ----- reading every frame (or every keyframe) -----

# The picture size of the `size` comparison, (width, height).
SMALL = (640, 360)


def vantle_frames(url: str, keyframes_only: bool = False, size: Optional[Tuple[int, int]] = None, **_: Any):
    """Every frame (or keyframe) through the reader; with `size`, scaled by the reader (its `size`
    option, where the reader has it)."""
    from vantle import open_stream
    from vantle.errors import InvalidRuntimeOptionError

    frames, first = 0, None
    window = Window()
    options = {"size": size} if size else {}
    try:
        stream = open_stream(url, keyframes_only=keyframes_only, **options)
    except (InvalidRuntimeOptionError, TypeError) as error:
        if not size:
            raise
        raise Unsupported(f"open_stream has no size option: {error}") from None
    with stream:
        for frame in stream:
            if size and frame.shape[:2] != (size[1], size[0]):
                raise SystemExit(f"size={size} gave frames of shape {frame.shape}")
            frames += 1
            if first is None:
                first = window.elapsed()
    return finish(window, frames, first=first)


def _pull_until_end(appsink: Any, window: Window, convert: Any) -> Tuple[int, Optional[float]]:
    """Pulls samples until none comes within 10 s (the end), converting each with `convert`
    when given; the number of frames and the time of the first."""
    from gi.repository import Gst

    frames, first = 0, None
    while True:
        sample = appsink.try_pull_sample(10 * Gst.SECOND)
        if sample is None:
            return frames, first
        if convert is not None:
            convert(sample)
        frames += 1
        if first is None:
            first = window.elapsed()


def vantle_pipeline_frames(url: str, convert: bool = False, props: str = "", **_: Any) -> Dict[str, Any]:
    """The pipeline the reader uses, built by the same factory and pulled from its appsink in a
    bare loop, with or without sample_to_ndarray: what the reader adds on top, by difference.

    `props` (JSON, {name: value as gst-launch writes it}) are set on the decoder as it joins the
    pipeline, over what the factory set: the decoder-settings sweep."""
    from gi.repository import Gst

    from vantle.pipeline_factories.http import HTTPPipelineFactory
    from vantle.utils.gstreamer import sample_to_ndarray

    settings = json.loads(props) if props else {}
    decoders: List[str] = []

    def on_element(_bin: Any, _sub_bin: Any, element: Any) -> None:
        factory = element.get_factory()
        if factory is not None and factory.list_is_type(Gst.ELEMENT_FACTORY_TYPE_DECODER):
            for name, value in settings.items():
                Gst.util_set_object_arg(element, name, value)
            decoders.append(factory.get_name())

    window = Window()
    pipeline = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *args: True, keyframes_only=False).build()
    # The decoder joins once the stream's first bytes are parsed, long after build() returns.
    pipeline.connect("deep-element-added", on_element)
    appsink = pipeline.appsink
    appsink.set_property("drop", False)
    frames, first = _pull_until_end(appsink, window, sample_to_ndarray if convert else None)
    result = finish(window, frames, first=first, decoders=decoders)
    pipeline.set_state(Gst.State.NULL)
    pipeline.release_resources()
    if settings and not decoders:
        raise SystemExit(f"no decoder was seen joining the pipeline: {settings} not applied")
    return result


def opencv_frames(url: str, resize: Optional[Tuple[int, int]] = None, **_: Any) -> Dict[str, Any]:
    """OpenCV's frames; with `resize`, each shrunk to that size with area filtering, as a model's
    input is made."""
    import cv2

    frames, first = 0, None
    window = Window()
    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    if not capture.isOpened():
        raise SystemExit(f"OpenCV could not open {url}")
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        if resize:
            cv2.resize(frame, resize, interpolation=cv2.INTER_AREA)
        frames += 1
        if first is None:
            first = window.elapsed()
    result = finish(window, frames, first=first)
    capture.release()
    return result


def _pyav_open(url: str, keyframes_only: bool = False, frame_threads: bool = False):
    import av

    container = av.open(url)
    stream = container.streams.video[0]
    if frame_threads:
        # Frame and slice threads (PyAV's default is slice threads only).
        stream.thread_type = "AUTO"
    if keyframes_only:
        stream.codec_context.skip_frame = "NONKEY"
    return container, stream


def pyav_frames(
    url: str, keyframes_only: bool = False, frame_threads: bool = False, convert: bool = True, **_: Any
) -> Dict[str, Any]:
    """PyAV's frames as BGR arrays or, with convert=False, only decoded (the decoder alone)."""
    frames, first = 0, None
    window = Window()
    container, stream = _pyav_open(url, keyframes_only, frame_threads)
    for frame in container.decode(stream):
        if convert:
            frame.to_ndarray(format="bgr24")
        frames += 1
        if first is None:
            first = window.elapsed()
    result = finish(window, frames, first=first)
    container.close()
    return result


# ----- the reader's own cost per frame -----

# Tiny frames made in the process: what a frame costs beyond this is the code around the pull.
# The reader's "{url}" fills a string property (progressreport's, silent).
_TINY_LAUNCH = (
    "videotestsrc num-buffers={frames} pattern=black ! video/x-raw,format=BGR,width=64,height=48,"
    "framerate=1000/1 ! progressreport silent=true update-freq=3600 format={url} ! identity name=buffer_src "
    "! appsink name=main_sink"
)


def overhead_reader(frames: int, **_: Any) -> Dict[str, Any]:
    from vantle import open_stream

    count, first = 0, None
    launch = _TINY_LAUNCH.replace("{frames}", str(frames))
    window = Window()
    with open_stream("black", pipeline=launch) as stream:
        for _frame in stream:
            count += 1
            if first is None:
                first = window.elapsed()
    return finish(window, count, first=first)


def overhead_pull(frames: int, **_: Any) -> Dict[str, Any]:
    """The same pipeline and appsink settings as the reader's, pulled in a bare loop."""
    from gi.repository import Gst

    from vantle.utils.gstreamer import sample_to_ndarray

    window = Window()
    pipeline = Gst.parse_launch(
        _TINY_LAUNCH.replace("{frames}", str(frames)).replace("{url}", "black")
        + " sync=false max-buffers=4 drop=false"
    )
    appsink = pipeline.get_by_name("main_sink")
    pipeline.set_state(Gst.State.PLAYING)
    count, first = _pull_until_end(appsink, window, sample_to_ndarray)
    result = finish(window, count, first=first)
    pipeline.set_state(Gst.State.NULL)
    return result


# ----- time to the first frame -----


def vantle_first(url: str, warm: int = 0, **_: Any) -> Dict[str, Any]:
    from vantle import open_stream

    if warm:
        with open_stream(url) as stream:
            stream.read()
    window = Window()
    stream = open_stream(url)
    frame = stream.read()
    result = finish(window, int(frame is not None))
    stream.close()
    return result


def opencv_first(url: str, warm: int = 0, **_: Any) -> Dict[str, Any]:
    import cv2

    if warm:
        capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
        capture.read()
        capture.release()
    window = Window()
    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    ok, _frame = capture.read()
    result = finish(window, int(ok))
    capture.release()
    return result


def pyav_first(url: str, warm: int = 0, **_: Any) -> Dict[str, Any]:
    if warm:
        container, stream = _pyav_open(url)
        next(iter(container.decode(stream))).to_ndarray(format="bgr24")
        container.close()
    window = Window()
    container, _stream = _pyav_open(url)
    result = finish(window, _pyav_first_array(container))
    container.close()
    return result


def _pyav_first_array(container: Any) -> int:
    """Decodes the first frame of the container's video into a BGR array: 1, or 0 if there is none."""
    for frame in container.decode(container.streams.video[0]):
        frame.to_ndarray(format="bgr24")
        return 1
    return 0


# ----- from process start to the first frame -----
#
# Run with nothing imported beforehand: the clock starts when run_all.py spawns the process
# (--spawned, its time.monotonic(), which every process of the machine shares), so that the
# interpreter's start-up and every import count.


def _startup(spawned: float, frames: int) -> Dict[str, Any]:
    startup = time.monotonic() - spawned
    return {"frames": frames, "wall": startup, "cpu": time.process_time(), **process_state()}


def vantle_startup(url: str, spawned: float, **_: Any) -> Dict[str, Any]:
    from vantle import open_stream

    stream = open_stream(url)
    frame = stream.read()
    result = _startup(spawned, int(frame is not None))
    stream.close()
    return result


def opencv_startup(url: str, spawned: float, **_: Any) -> Dict[str, Any]:
    import cv2

    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    ok, _frame = capture.read()
    result = _startup(spawned, int(ok))
    capture.release()
    return result


def pyav_startup(url: str, spawned: float, **_: Any) -> Dict[str, Any]:
    import av

    container = av.open(url)
    result = _startup(spawned, _pyav_first_array(container))
    container.close()
    return result


# ----- memory -----


def vantle_memory(url: str, frames: int, every: int, keep: int = 0, **_: Any) -> Dict[str, Any]:
    """Reads `frames` frames of an endless stream, noting RSS, threads and descriptors; the last
    `keep` frames are kept, as a caller that holds on to recent frames does."""
    import collections

    from vantle import open_stream

    samples: List[Dict[str, int]] = []
    kept: collections.deque = collections.deque(maxlen=max(keep, 1))
    count = frame_bytes = 0
    window = Window()
    with open_stream(url) as stream:
        for frame in stream:
            if keep:
                kept.append(frame)
            frame_bytes = frame.nbytes
            count += 1
            if count % every == 0:
                samples.append({"frame": count, **process_state()})
            if count >= frames:
                break
    return finish(window, count, samples=samples, frame_bytes=frame_bytes, keep=keep)


def vantle_cycles(url: str, cycles: int, every: int, **_: Any) -> Dict[str, Any]:
    """Opens a stream, reads one frame and closes it, `cycles` times, noting RSS, threads and
    descriptors after a collection every `every` cycles."""
    from vantle import open_stream

    samples: List[Dict[str, int]] = []
    window = Window()
    got = 0
    for cycle in range(1, cycles + 1):
        with open_stream(url) as stream:
            got += stream.read() is not None
        if cycle % every == 0 or cycle == 1:
            gc.collect()
            samples.append({"cycle": cycle, **process_state()})
    return finish(window, got, samples=samples)


def _bare_pipeline(url: str):
    """The reader's elements in a plain launch string: the baseline of the memory runs."""
    from gi.repository import Gst

    from vantle import gst_plugins

    gst_plugins.register()
    pipeline = Gst.parse_launch(
        f"souphttpsrc location={url} ! decodebin ! queue max-size-buffers=2 max-size-bytes=0 "
        "max-size-time=0 ! vantleconvert ! video/x-raw,format=BGR ! "
        "appsink name=sink sync=false max-buffers=4 drop=false enable-last-sample=false"
    )
    pipeline.set_state(Gst.State.PLAYING)
    return Gst, pipeline, pipeline.get_by_name("sink")


def bare_memory(url: str, frames: int, every: int, **_: Any) -> Dict[str, Any]:
    from vantle.utils.gstreamer import sample_to_ndarray

    samples: List[Dict[str, int]] = []
    count = 0
    window = Window()
    Gst, pipeline, sink = _bare_pipeline(url)
    while count < frames:
        sample = sink.try_pull_sample(10 * Gst.SECOND)
        if sample is None:
            break
        sample_to_ndarray(sample)
        count += 1
        if count % every == 0:
            samples.append({"frame": count, **process_state()})
    pipeline.set_state(Gst.State.NULL)
    return finish(window, count, samples=samples)


def bare_cycles(url: str, cycles: int, every: int, **_: Any) -> Dict[str, Any]:
    from vantle.utils.gstreamer import sample_to_ndarray

    samples: List[Dict[str, int]] = []
    window = Window()
    got = 0
    for cycle in range(1, cycles + 1):
        Gst, pipeline, sink = _bare_pipeline(url)
        sample = sink.try_pull_sample(10 * Gst.SECOND)
        if sample is not None:
            sample_to_ndarray(sample)
            got += 1
        pipeline.set_state(Gst.State.NULL)
        del pipeline, sink, sample
        if cycle % every == 0 or cycle == 1:
            gc.collect()
            samples.append({"cycle": cycle, **process_state()})
    return finish(window, got, samples=samples)


# ----- frame conversion -----


def frame_copy(rounds: int, **_: Any) -> Dict[str, Any]:
    """sample_to_ndarray and sample_as_ndarray against one numpy copy, through bench_frames'
    interleaved loop."""
    import bench_frames

    bench_frames.Gst.init(None)
    sizes = {}
    for width, height in [(1920, 1080), (640, 480)]:
        sample = bench_frames.pull_sample(width, height)
        gc.collect()
        gc.disable()
        try:
            times = bench_frames.measure(sample, rounds)
        finally:
            gc.enable()
        sizes[f"{width}x{height}"] = {name: statistics.median(values) / 1e6 for name, values in times.items()}
    return {"sizes": sizes, **process_state()}


def convert_element(url: str, frames: int, passes: int, **_: Any) -> Dict[str, Any]:
    """The converters of bench_convert on the stream's own decoded frames: `frames` frames are
    decoded once and kept, then pushed `passes` times through appsrc ! CONVERTER ! fakesink.
    The converters take turns, and the CPU time of the same pushes without a converter is
    reported too, for subtraction."""
    import bench_convert
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst

    from vantle import gst_plugins

    Gst.init(None)
    if not gst_plugins.register():
        raise SystemExit("the vantle GStreamer plugin is not available")

    decoder = Gst.parse_launch(f"souphttpsrc location={url} ! decodebin ! appsink name=sink sync=false")
    sink = decoder.get_by_name("sink")
    decoder.set_state(Gst.State.PLAYING)
    samples = []
    while len(samples) < frames:
        sample = sink.try_pull_sample(30 * Gst.SECOND)
        if sample is None:
            break
        samples.append(sample)
    decoder.set_state(Gst.State.NULL)
    if not samples:
        raise SystemExit("no decoded frames")
    caps = samples[0].get_caps()
    buffers = [s.get_buffer() for s in samples]

    def push(converter: str) -> Dict[str, float]:
        pipeline = Gst.parse_launch(
            f"appsrc name=src format=time block=true max-buffers=4 ! {converter} fakesink sync=false"
        )
        src = pipeline.get_by_name("src")
        src.set_property("caps", caps)
        pipeline.set_state(Gst.State.PLAYING)
        window = Window()
        for _ in range(passes):
            for buffer in buffers:
                src.emit("push-buffer", buffer)
        src.emit("end-of-stream")
        message = pipeline.get_bus().timed_pop_filtered(
            60 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
        elapsed = window.elapsed()
        pipeline.set_state(Gst.State.NULL)
        if message is None or message.type != Gst.MessageType.EOS:
            raise SystemExit(f"converter run failed: {converter}")
        return elapsed

    results: Dict[str, Any] = {name: push(fragment) for name, fragment in bench_convert.CONVERTERS.items()}
    structure = caps.get_structure(0)
    return {
        "converters": results,
        "frames": len(buffers) * passes,
        "format": structure.get_string("format"),
        "size": f"{structure.get_value('width')}x{structure.get_value('height')}",
    }


# ----- many recorded videos: one process against a local Ray cluster -----


def _copies(url: str, copies: int) -> List[str]:
    """`copies` URLs of the same clip (the query string makes each a video of its own)."""
    return [f"{url}?copy={n}" for n in range(copies)]


def _score(image: Any) -> float:
    """What both sides do with every frame: a stand-in for a model, small next to decoding."""
    return float(image[::16, ::16].mean())


def _score_batch(batch: Dict[str, Any]) -> Dict[str, Any]:
    import numpy as np

    return {"source": batch["source"], "score": np.array([_score(image) for image in batch["image"]])}


def videos_sequential(url: str, copies: int, **_: Any) -> Dict[str, Any]:
    from vantle import open_stream

    frames = 0
    window = Window()
    for video in _copies(url, copies):
        with open_stream(video) as stream:
            for image in stream:
                _score(image)
                frames += 1
    return finish(window, frames)


def videos_ray(url: str, copies: int, reservation: bool = True, **_: Any) -> Dict[str, Any]:
    """vantle.ray.read_frames over the videos, map_batches scoring each frame (fused into the read
    tasks). The cluster is started, and its two workers have read a video each, before the window:
    the figure is that of a running cluster. CPU time is the driver's alone (the work is done in
    Ray's worker processes). Without `reservation`, Ray Data does not set aside resources per
    operator (DataContext.op_resource_reservation_enabled)."""
    import logging

    import ray

    import vantle.ray

    ray.init(
        num_cpus=2,
        include_dashboard=False,
        object_store_memory=2 * 1024**3,
        logging_level=logging.WARNING,
        log_to_driver=False,
    )
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    context.op_resource_reservation_enabled = reservation
    videos = _copies(url, copies)
    try:
        vantle.ray.read_frames(videos[:2]).map_batches(_score_batch).materialize()
        frames = 0
        window = Window()
        dataset = vantle.ray.read_frames(videos).map_batches(_score_batch)
        for batch in dataset.iter_batches(batch_size=None):
            frames += len(batch["score"])
        return finish(window, frames)
    finally:
        ray.shutdown()


# ----- many live streams: one open_streams loop against a reader per thread -----

# The longest wait for every stream's first frame.
LIVE_START = 30.0


class _Deliveries:
    """The frames each stream delivered, as (index, time.time() once in the consumer's hand),
    and the window: from the moment every stream has delivered a frame, `seconds` long, with
    the process's CPU time at both ends."""

    def __init__(self, keys: List[str], seconds: float):
        import threading

        self.got: Dict[str, List[Tuple[int, float]]] = {key: [] for key in keys}
        self.seconds = seconds
        self.waiting = set(keys)
        self.lock = threading.Lock()
        self.started = threading.Event()  # every stream has delivered
        self.opening = time.time()  # made just before the streams are opened
        self.begin = self.end = 0.0
        self.cpu = 0.0

    def note(self, key: str, index: int, now: float) -> None:
        self.got[key].append((index, now))
        if self.waiting:
            with self.lock:
                self.waiting.discard(key)
                if not self.waiting and not self.started.is_set():
                    self.begin, self.cpu = now, time.process_time()
                    self.end = now + self.seconds
                    self.started.set()

    def close_window(self) -> None:
        self.cpu = time.process_time() - self.cpu


def _live_sources(url: str, copies: int, run: str) -> Dict[str, str]:
    """Key -> URL of the live streams of bench/live_streams.py: `copies` of each kind."""
    return {f"{kind}/{n}": f"{url}/{kind}/{n}?run={run}" for kind in ("mjpeg", "h264") for n in range(copies)}


def _percentiles(values: List[float]) -> Dict[str, float]:
    ordered = sorted(values)
    if not ordered:
        return {}

    def at(share: float) -> float:
        return ordered[min(len(ordered) - 1, int(share * len(ordered)))]

    return {"p50": at(0.5), "p99": at(0.99), "max": ordered[-1], "count": len(ordered)}


def _live_result(url: str, run: str, seen: _Deliveries) -> Dict[str, Any]:
    """The frames delivered in the window against those the server sent, and each frame's
    latency: from the server's send of part i of a connection to frame i in the consumer's hand."""
    import urllib.request

    from live_streams import GRACE

    with urllib.request.urlopen(f"{url}/log?run={run}", timeout=30) as response:
        log = json.load(response)
    begin, end = seen.begin, seen.end
    latency: Dict[str, List[float]] = {"all": [], "mjpeg": [], "h264": []}
    streams = {}
    for key, got in seen.got.items():
        connections = log.get(f"/{key}", [])
        sent = connections[0] if connections else []
        indices = {index for index, _ in got}
        due = [i for i, t in enumerate(sent) if t <= end - GRACE]
        missing = sum(1 for i in due if i not in indices)
        in_window = [(index, t) for index, t in got if begin <= t <= end]
        for index, t in in_window:
            if index < len(sent) and len(connections) == 1:
                ms = 1000 * (t - sent[index])
                latency["all"].append(ms)
                latency[key.split("/")[0]].append(ms)
        streams[key] = {
            "sent": sum(1 for t in sent if begin <= t <= end),
            "delivered": len(in_window),
            "missing": missing,
            "connections": len(connections),
            # Indices the server never sent: frames not matched to their parts.
            "unmatched": sum(1 for index in indices if index >= len(sent)),
        }
    return {
        "frames": sum(s["delivered"] for s in streams.values()),
        "wall": end - begin,
        "cpu": seen.cpu,
        "start": begin - seen.opening,
        "streams": streams,
        "latency_ms": {kind: _percentiles(values) for kind, values in latency.items()},
    }


def live_loop(url: str, copies: int, seconds: float, **_: Any) -> Dict[str, Any]:
    """Every live stream in one open_streams loop (default options: every frame delivered)."""
    import uuid

    from vantle import open_streams

    run = uuid.uuid4().hex
    sources = _live_sources(url, copies, run)
    seen = _Deliveries(list(sources), seconds)
    with open_streams(sources) as streams:
        for frame in streams:
            now = time.time()
            seen.note(frame.source, frame.index, now)
            if seen.end and now >= seen.end:
                seen.close_window()
                break
            if not seen.end and now - seen.opening > LIVE_START:
                raise SystemExit(f"not every stream delivered within {LIVE_START} s: {sorted(seen.waiting)}")
        errors = streams.errors
    if errors or not seen.end or time.time() < seen.end:
        raise SystemExit(f"the loop ended before its window did; errors: {errors}")
    return _live_result(url, run, seen)


def live_threads(url: str, copies: int, seconds: float, **_: Any) -> Dict[str, Any]:
    """Every live stream read by an open_stream reader in a thread of its own."""
    import threading
    import uuid

    from vantle import open_stream

    run = uuid.uuid4().hex
    sources = _live_sources(url, copies, run)
    seen = _Deliveries(list(sources), seconds)
    stop = threading.Event()
    failures: List[str] = []

    def read(key: str, source: str) -> None:
        try:
            with open_stream(source) as reader:
                for frame in reader.frames():
                    seen.note(key, frame.index, time.time())
                    if stop.is_set():
                        return
        except Exception as error:  # noqa: BLE001 - reported by the main thread
            failures.append(f"{key}: {error!r}")
        if not stop.is_set():
            failures.append(f"{key}: the stream ended before the window did")

    threads = [threading.Thread(target=read, args=item, daemon=True) for item in sources.items()]
    for thread in threads:
        thread.start()
    if not seen.started.wait(LIVE_START):
        stop.set()
        raise SystemExit(f"not every stream delivered within {LIVE_START} s: {sorted(seen.waiting)}")
    time.sleep(max(0.0, seen.end - time.time()))
    seen.close_window()
    stop.set()
    for thread in threads:
        thread.join(30)
    if failures:
        raise SystemExit("; ".join(failures))
    return _live_result(url, run, seen)


KINDS: Dict[str, Callable[..., Dict[str, Any]]] = {
    "vantle": vantle_frames,
    "vantle-keyframes": lambda **kw: vantle_frames(keyframes_only=True, **kw),
    "vantle-pipeline": vantle_pipeline_frames,
    "vantle-pipeline-arrays": lambda **kw: vantle_pipeline_frames(convert=True, **kw),
    "opencv": opencv_frames,
    "pyav": pyav_frames,
    "pyav-threads": lambda **kw: pyav_frames(frame_threads=True, **kw),
    "pyav-keyframes": lambda **kw: pyav_frames(keyframes_only=True, **kw),
    "pyav-decode": lambda **kw: pyav_frames(frame_threads=True, convert=False, **kw),
    "vantle-size": lambda **kw: vantle_frames(size=SMALL, **kw),
    "opencv-resize": lambda **kw: opencv_frames(resize=SMALL, **kw),
    "vantle-startup": vantle_startup,
    "opencv-startup": opencv_startup,
    "pyav-startup": pyav_startup,
    "vantle-first": vantle_first,
    "opencv-first": opencv_first,
    "pyav-first": pyav_first,
    "overhead-reader": overhead_reader,
    "overhead-pull": overhead_pull,
    "vantle-memory": vantle_memory,
    "vantle-cycles": vantle_cycles,
    "bare-memory": bare_memory,
    "bare-cycles": bare_cycles,
    "frame-copy": frame_copy,
    "convert-element": convert_element,
    "videos-sequential": videos_sequential,
    "videos-ray": videos_ray,
    "videos-ray-no-reservation": lambda **kw: videos_ray(reservation=False, **kw),
    "live-loop": live_loop,
    "live-threads": live_threads,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=sorted(KINDS))
    parser.add_argument("--url")
    parser.add_argument("--frames", type=int, default=0)
    parser.add_argument("--every", type=int, default=250)
    parser.add_argument("--cycles", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--warm", type=int, default=0, help="open once before the timed open")
    parser.add_argument("--keep", type=int, default=0, help="frames the memory run holds on to")
    parser.add_argument("--props", default="", help="decoder properties, JSON (decoder-settings sweep)")
    parser.add_argument("--spawned", type=float, help="time.monotonic() when the process was spawned")
    parser.add_argument("--copies", type=int, default=1, help="how many videos (copies of the clip)")
    parser.add_argument("--seconds", type=float, default=0, help="how long live streams are read")
    args = parser.parse_args()
    options = {k: v for k, v in vars(args).items() if k != "kind"}
    # Imports the contender needs are made before its window opens, except where the window
    # opens at the spawn.
    if args.kind.endswith("-startup"):
        pass
    elif args.kind.startswith(("vantle", "overhead", "bare", "videos", "live")):
        import vantle.stream_reader  # noqa: F401
    elif args.kind.startswith("opencv"):
        import cv2  # noqa: F401
    elif args.kind.startswith("pyav"):
        import av  # noqa: F401
    try:
        result = KINDS[args.kind](**options)
    except Unsupported as reason:
        result = {"frames": 0, "unsupported": str(reason)}
    sys.stdout.write(json.dumps(result) + "\n")


if __name__ == "__main__":
    main()
