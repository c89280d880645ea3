"""The contenders of bench/run_all.py, each run in a process of its own:

    python bench/contenders.py '{"kind": KIND, "lib": LIB, "url": URL, ...}'

runs KINDS[KIND] with the other keys as arguments and prints its figures as JSON. The timed window opens just before the first open,
the imports done (for `first --spawned`: when run_all.py spawned the process, so that the
interpreter's start-up and every import count), and closes when the contender has what it was
asked for. CPU time is the whole process's (time.process_time: every thread, GStreamer's and
FFmpeg's included); wall time is time.perf_counter.

LIB names who reads: vantle (open_stream), opencv (cv2.VideoCapture with FFmpeg), pyav
(av.open), pull (a launch string's appsink "main_sink" pulled in a bare loop with
sample_to_ndarray), factory (the reader's own pipeline, built by its HTTP factory, pulled so);
for many streams, loop (one open_streams loop) or any of the first three in a thread a stream.
"""

from __future__ import annotations

import collections
import gc
import json
import os
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

# The longest wait for the first frame of every stream of a run.
START = 60.0


def process_state() -> Dict[str, int]:
    """Resident memory (bytes), threads and open file descriptors of this process."""
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {
        "rss": int(fields["VmRSS"].split()[0]) * 1024,
        "threads": int(fields["Threads"]),
        "fds": len(os.listdir("/proc/self/fd")),
    }


class Window:
    """CPU and wall time since it was made."""

    def __init__(self) -> None:
        self.cpu, self.wall = time.process_time(), time.perf_counter()

    def elapsed(self) -> Dict[str, float]:
        return {"cpu": time.process_time() - self.cpu, "wall": time.perf_counter() - self.wall}


def finish(window: Window, frames: int, **extra: Any) -> Dict[str, Any]:
    return {"frames": frames, **window.elapsed(), **extra, **process_state()}


def _pulled(pipeline: Any, sink: Any, convert: bool = True) -> Iterator[Any]:
    """The samples of a pipeline's appsink (as arrays with `convert`) until none comes in 10 s."""
    from vantle.utils.gstreamer import Gst, sample_to_ndarray

    pipeline.set_state(Gst.State.PLAYING)
    try:
        while (sample := sink.try_pull_sample(10 * Gst.SECOND)) is not None:
            yield sample_to_ndarray(sample) if convert else sample
    finally:
        pipeline.set_state(Gst.State.NULL)


def arrays(lib: str, url: str, size: str = "", keyframes: int = 0, threads: int = 0, convert: int = 1,
           pipeline: str = "", props: str = "", **_: Any) -> Iterator[Any]:  # fmt: skip
    """The BGR arrays of one stream as LIB gives them. `size` (WxH): vantle's size option, or
    cv2.resize with area filtering after OpenCV's read(); `keyframes`: vantle's keyframes_only,
    PyAV's skip_frame="NONKEY"; `threads`: PyAV's thread_type="AUTO" (frame and slice threads);
    `convert=0`: PyAV's frames or the factory's samples as decoded; `pipeline`: the reader's
    launch string; `props` (JSON): the factory's decoder properties, set as it joins."""
    shape = tuple(int(n) for n in size.split("x")) if size else None
    if lib == "vantle":
        from vantle import open_stream

        options = {"size": shape, "pipeline": pipeline or None, "keyframes_only": bool(keyframes)}
        with open_stream(url, **{k: v for k, v in options.items() if v}) as stream:
            yield from stream
    elif lib == "opencv":
        import cv2

        capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
        if not capture.isOpened():
            raise SystemExit(f"OpenCV could not open {url}")
        try:
            while (image := capture.read()[1]) is not None:
                yield cv2.resize(image, shape, interpolation=cv2.INTER_AREA) if shape else image
        finally:
            capture.release()
    elif lib == "pyav":
        import av

        with av.open(url) as container:
            stream = container.streams.video[0]
            if threads:
                stream.thread_type = "AUTO"
            if keyframes:
                stream.codec_context.skip_frame = "NONKEY"
            for frame in container.decode(stream):
                yield frame.to_ndarray(format="bgr24") if convert else frame
    elif lib == "pull":
        from vantle.utils.gstreamer import Gst

        built = Gst.parse_launch(url)
        yield from _pulled(built, built.get_by_name("main_sink"), bool(convert))
    else:
        from vantle.pipeline_factories.http import HTTPPipelineFactory
        from vantle.utils.gstreamer import Gst

        settings = json.loads(props) if props else {}

        def on_element(_bin: Any, _sub_bin: Any, element: Any) -> None:
            factory = element.get_factory()
            if factory is not None and factory.list_is_type(Gst.ELEMENT_FACTORY_TYPE_DECODER):
                for name, value in settings.items():
                    Gst.util_set_object_arg(element, name, value)

        built = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *a: True, keyframes_only=False).build()
        built.connect("deep-element-added", on_element)  # the decoder joins once data is parsed
        built.appsink.set_property("drop", False)
        yield from _pulled(built, built.appsink, bool(convert))
        built.release_resources()


def read_all(url: str, lib: str, **options: Any) -> Dict[str, Any]:
    """Every frame of a stream; the time of the first is noted too."""
    count, first = 0, None
    window = Window()
    for _ in arrays(lib, url, **options):
        count += 1
        first = first or window.elapsed()
    return finish(window, count, first=first)


def first(url: str, lib: str, warm: int = 0, spawned: float = 0.0, **_: Any) -> Dict[str, Any]:
    """The first array of a stream; with `warm`, after one open, read and close in this process."""
    if warm:
        first(url, lib)
    window = Window()
    images = arrays(lib, url)
    got = int(next(images, None) is not None)
    if spawned:
        result = {"frames": got, "wall": time.monotonic() - spawned, "cpu": time.process_time()}
    else:
        result = finish(window, got)
    images.close()
    return result


# Tiny frames made in the process, so that what a frame costs is the code around the pull. The
# reader's {url} fills a string property (progressreport's, silent).
TINY = (
    "videotestsrc num-buffers={frames} pattern=black ! video/x-raw,format=BGR,width=64,height=48,"
    "framerate=1000/1 ! progressreport silent=true update-freq=3600 format={url} ! identity name=buffer_src "
    "! appsink name=main_sink"
)


def overhead(lib: str, frames: int, **_: Any) -> Dict[str, Any]:
    """Tiny frames through the reader, or through a bare pull loop with its appsink settings."""
    launch = TINY.replace("{frames}", str(frames))
    if lib == "vantle":
        return read_all("black", "vantle", pipeline=launch)
    return read_all(launch.replace("{url}", "black") + " sync=false max-buffers=4 drop=false", "pull")


def memory(url: str, lib: str, frames: int = 0, cycles: int = 0, every: int = 250, keep: int = 0,
           **_: Any) -> Dict[str, Any]:  # fmt: skip
    """Reads `frames` frames of an endless stream noting RSS, threads and descriptors every
    `every` frames, keeping the last `keep` frames as a caller that holds recent frames does;
    or opens, reads one frame and closes `cycles` times, noting them after a collection. LIB
    vantle, or bare: the reader's elements in a plain launch string, pulled in a bare loop."""

    def source() -> Iterator[Any]:
        if lib == "vantle":
            return arrays("vantle", url)
        return arrays("pull", f"souphttpsrc location={url} ! decodebin ! queue max-size-buffers=2 "
                      "max-size-bytes=0 max-size-time=0 ! vantleconvert ! video/x-raw,format=BGR ! appsink "
                      "name=main_sink sync=false max-buffers=4 drop=false enable-last-sample=false")  # fmt: skip

    from vantle import gst_plugins

    gst_plugins.register()
    samples: List[Dict[str, int]] = []
    kept: collections.deque = collections.deque(maxlen=max(keep, 1))
    count = frame_bytes = 0
    window = Window()
    for cycle in range(1, cycles + 1):
        images = source()
        count += next(images, None) is not None
        images.close()
        if cycle % every == 0 or cycle == 1:
            gc.collect()
            samples.append({"cycle": cycle, **process_state()})
    for image in source() if frames else ():
        if keep:
            kept.append(image)
        count, frame_bytes = count + 1, image.nbytes
        if count % every == 0:
            samples.append({"frame": count, **process_state()})
        if count >= frames:
            break
    return finish(window, count, samples=samples, frame_bytes=frame_bytes)


def frame_copy(rounds: int, **_: Any) -> Dict[str, Any]:
    """sample_to_ndarray and sample_as_ndarray against one numpy copy of the mapped bytes, in
    interleaved rounds (the order rotating), per-size medians in seconds. sample_as_ndarray's
    mapping is released when its array is dropped, within the timed call."""
    import numpy as np

    from vantle.utils.gstreamer import Gst, sample_as_ndarray, sample_to_ndarray

    def numpy_copy(sample: Any) -> Any:
        buffer = sample.get_buffer()
        _, info = buffer.map(Gst.MapFlags.READ)
        try:
            return np.frombuffer(info.data, np.uint8).copy()
        finally:
            buffer.unmap(info)

    ways = {"ours": sample_to_ndarray, "baseline": numpy_copy, "zero_copy": sample_as_ndarray}
    sizes = {}
    for width, height in [(1920, 1080), (640, 480)]:
        caps = f"video/x-raw,format=BGR,width={width},height={height}"
        images = arrays(
            "pull", f"videotestsrc num-buffers=1 pattern=smpte ! {caps} ! appsink name=main_sink", convert=0
        )
        sample = next(images)
        images.close()
        times: Dict[str, List[float]] = {name: [] for name in ways}
        gc.collect()
        gc.disable()
        for turn in range(rounds + 5):  # the first five warm up
            for name in list(ways)[turn % 3 :] + list(ways)[: turn % 3]:
                start = time.perf_counter()
                ways[name](sample)
                times[name].append(time.perf_counter() - start)
        gc.enable()
        sizes[f"{width}x{height}"] = {name: statistics.median(t[5:]) for name, t in times.items()}
    return {"frames": 1, "sizes": sizes}


def convert_element(url: str, frames: int, passes: int, **_: Any) -> Dict[str, Any]:
    """The stream's first `frames` decoded frames, kept, pushed `passes` times through
    appsrc ! CONVERTER ! fakesink for each converter in turn; "source only" has no converter."""
    from vantle import gst_plugins
    from vantle.utils.gstreamer import Gst

    gst_plugins.register()
    decoded = arrays(
        "pull", f"souphttpsrc location={url} ! decodebin ! appsink name=main_sink sync=false", convert=0
    )
    samples = [sample for _, sample in zip(range(frames), decoded)]
    decoded.close()
    caps = samples[0].get_caps()
    to_bgr = "! video/x-raw,format=BGR !"
    converters = {
        "source only": "",
        "videoconvert": f"videoconvert {to_bgr}",
        "vantleconvert n-threads=1": f"vantleconvert n-threads=1 {to_bgr}",
        "vantleconvert (default threads)": f"vantleconvert {to_bgr}",
        # Resized in the input's format before conversion, against videoconvert's rescaling.
        "videoconvert + videoscale to 640x360": "videoscale method=bilinear ! video/x-raw,width=640,"
        f"height=360 ! videoconvert {to_bgr}",
        "vantleconvert width=640 height=360 n-threads=1": f"vantleconvert width=640 height=360 n-threads=1 {to_bgr}",
    }  # fmt: skip
    results = {}
    for name, converter in converters.items():
        pipeline = Gst.parse_launch(
            f"appsrc name=src format=time block=true max-buffers=4 ! {converter} fakesink"
        )
        src = pipeline.get_by_name("src")
        src.set_property("caps", caps)
        pipeline.set_state(Gst.State.PLAYING)
        window = Window()
        for sample in samples * passes:
            src.emit("push-buffer", sample.get_buffer())
        src.emit("end-of-stream")
        end = pipeline.get_bus().timed_pop_filtered(
            60 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
        results[name] = window.elapsed()
        pipeline.set_state(Gst.State.NULL)
        if end is None or end.type != Gst.MessageType.EOS:
            raise SystemExit(f"the {name} run failed")
    structure = caps.get_structure(0)
    size = f"{structure.get_value('width')}x{structure.get_value('height')}"
    return {"frames": len(samples) * passes, "converters": results, "format": structure.get_string("format"),
            "size": size}  # fmt: skip


def _score(image: Any) -> float:
    """What is done with every frame of the videos: a stand-in for a model, small next to decoding."""
    return float(image[::16, ::16].mean())


def _score_batch(batch: Dict[str, Any]) -> Dict[str, Any]:
    import numpy as np

    return {"score": np.array([_score(image) for image in batch["image"]])}


def videos(url: str, lib: str, copies: int, reservation: int = 1, **_: Any) -> Dict[str, Any]:
    """`copies` videos (the clip under as many URLs), every frame scored: one after another in
    this process (vantle), or by vantle.ray.read_frames(...).map_batches on a local cluster of
    two CPUs (ray), started and its workers warmed by two videos before the window; the driver's
    CPU time alone is counted there. `reservation=0`: Ray Data's per-operator reservation off."""
    urls, count = [f"{url}?copy={n}" for n in range(copies)], 0
    if lib == "vantle":
        window = Window()
        for video in urls:
            for image in arrays("vantle", video):
                _score(image)
                count += 1
        return finish(window, count)
    import logging

    import ray

    import vantle.ray

    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=2 * 1024**3,
             logging_level=logging.WARNING, log_to_driver=False)  # fmt: skip
    try:
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars = False
        context.op_resource_reservation_enabled = bool(reservation)
        vantle.ray.read_frames(urls[:2]).map_batches(_score_batch).materialize()
        window = Window()
        for batch in vantle.ray.read_frames(urls).map_batches(_score_batch).iter_batches(batch_size=None):
            count += len(batch["score"])
        return finish(window, count)
    finally:
        ray.shutdown()


def read_many(lib: str, urls: Dict[str, str], on_frame: Callable[[str, int, Any], bool]) -> None:
    """Reads every stream of `urls` (key -> URL) with one open_streams loop (lib "loop", default
    options: every frame delivered) or with LIB in a thread a stream, calling on_frame(key,
    index, image) for each frame in the thread that has it, until every stream ends or
    on_frame returns True. A stream that fails fails the run."""
    failures: List[str] = []
    if lib == "loop":
        from vantle import open_streams

        with open_streams(urls) as streams:
            for frame in streams:
                if on_frame(frame.source, frame.index, frame.image):
                    break
            failures += [f"{key}: {error}" for key, error in streams.errors.items()]

    def read(key: str) -> None:
        try:
            images = arrays(lib, urls[key])
            for index, image in enumerate(images):
                if on_frame(key, index, image):
                    break
            images.close()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(f"{key}: {error!r}")

    threads = [threading.Thread(target=read, args=(key,), daemon=True) for key in urls if lib != "loop"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise SystemExit("; ".join(failures[:5]))


def fleet(url: str, lib: str, copies: int, **_: Any) -> Dict[str, Any]:
    """`copies` copies of the clip (distinct URLs), every frame of each. RSS is noted once every
    stream is open: readers in threads wait for one another after their first frame; the loop
    notes it when every stream has given one."""
    urls = {f"copy{n}": f"{url}?copy={n}" for n in range(copies)}
    counts: Dict[str, int] = collections.Counter()
    opened: Dict[str, int] = {}

    def all_open() -> None:
        opened.setdefault("rss", process_state()["rss"])

    barrier = threading.Barrier(copies, action=all_open, timeout=START) if lib != "loop" else None

    def on_frame(key: str, index: int, _image: Any) -> bool:
        counts[key] += 1
        if index == 0 and barrier is not None:
            barrier.wait()
        elif index == 0 and len(counts) == copies:
            all_open()
        return False

    before = process_state()["rss"]
    window = Window()
    read_many(lib, urls, on_frame)
    return finish(window, sum(counts.values()), rss_before=before, rss_open=opened.get("rss", 0))


class LiveWindow:
    """Deliveries of live streams, (key, index, time.time() in hand, stamp age) each, and the
    window: from `warm_up` s after every stream delivered a frame, `seconds` long, the process's
    CPU time noted at both ends."""

    def __init__(self, keys: List[str], seconds: float, warm_up: float, age: Optional[Callable] = None):
        self.got: Dict[str, List[Tuple[int, float, float]]] = {key: [] for key in keys}
        self.seconds, self.warm_up, self.age = seconds, warm_up, age
        self.lock, self.done = threading.Lock(), threading.Event()
        self.opening = time.time()
        self.begin = self.end = self.cpu = self.start = 0.0

    def note(self, key: str, index: int, image: Any) -> bool:
        now = time.time()
        self.got[key].append((index, now, self.age(image, now) if self.age else 0.0))
        with self.lock:
            if not self.begin and all(self.got.values()):
                self.start = now - self.opening
                self.begin = now + self.warm_up
                self.end = self.begin + self.seconds
            elif self.begin and not self.cpu and now >= self.begin:
                self.cpu = time.process_time()
            elif self.begin and not self.done.is_set() and now >= self.end:
                self.cpu = time.process_time() - self.cpu
                self.done.set()
            elif not self.begin and now - self.opening > START:
                raise SystemExit(f"not every stream delivered within {START} s")
        return self.done.is_set()

    def result(self, log: Optional[Dict[str, List[List[float]]]] = None) -> Dict[str, Any]:
        """Frames in the window and their latency: from the stamps, or from the server's `log`
        (part i of a connection is frame i); with the log, every frame sent GRACE s before the
        window's end must have been delivered."""
        from live import GRACE

        latency: Dict[str, List[float]] = {"all": [], "mjpeg": [], "h264": []}
        streams = {}
        for key, got in self.got.items():
            window = [(index, t, age) for index, t, age in got if self.begin <= t <= self.end]
            connections = (log or {}).get(f"/{key}", [[]])
            sent = connections[0]
            for index, t, age in window:
                if log is None or (index < len(sent) and len(connections) == 1):
                    ms = 1000 * (age if log is None else t - sent[index])
                    for kind in ["all"] + key.split("/")[:-1]:
                        latency[kind].append(ms)
            indices = {index for index, _, _ in got}
            streams[key] = {
                "delivered": len(window),
                "sent": sum(1 for t in sent if self.begin <= t <= self.end),
                "missing": sum(1 for i, t in enumerate(sent) if t <= self.end - GRACE and i not in indices)
                + sum(1 for i in indices if log is not None and i >= len(sent)),
                "connections": len(connections),
            }
        cuts = {
            k: [statistics.quantiles(v, n=100)[i] for i in (49, 98)] + [max(v)]
            for k, v in latency.items()
            if len(v) > 1
        }
        return {"frames": sum(s["delivered"] for s in streams.values()), "wall": self.end - self.begin,
                "cpu": self.cpu, "start": self.start, "streams": streams,
                "latency": {k: dict(zip(("p50", "p99", "max"), v)) for k, v in cuts.items()}}  # fmt: skip


def live(url: str, lib: str, copies: int, seconds: float, **_: Any) -> Dict[str, Any]:
    """The live HTTP cameras of bench/live.py (`copies` of each kind) read for `seconds`."""
    import urllib.request
    import uuid

    run = uuid.uuid4().hex
    urls = {f"{kind}/{n}": f"{url}/{kind}/{n}?run={run}" for kind in ("mjpeg", "h264") for n in range(copies)}
    seen = LiveWindow(list(urls), seconds, 0.0)
    read_many(lib, urls, seen.note)
    with urllib.request.urlopen(f"{url}/log?run={run}", timeout=30) as response:
        return seen.result(json.load(response))


def rtsp(url: str, lib: str, copies: int, seconds: float, warm_up: float, **_: Any) -> Dict[str, Any]:
    """The RTSP cameras of bench/live.py read for `seconds` after `warm_up`; latency from stamps."""
    from live import stamp_age

    urls = {f"cam{n}": f"{url}/cam{n}" for n in range(copies)}
    seen = LiveWindow(list(urls), seconds, warm_up, stamp_age)
    read_many(lib, urls, seen.note)
    return seen.result()


KINDS: Dict[str, Callable[..., Dict[str, Any]]] = {
    "frames": read_all,
    "first": first,
    "overhead": overhead,
    "memory": memory,
    "frame-copy": frame_copy,
    "convert-element": convert_element,
    "videos": videos,
    "fleet": fleet,
    "live": live,
    "rtsp": rtsp,
}

if __name__ == "__main__":
    options = json.loads(sys.argv[1])
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    if "spawned" not in options:  # the imports are made before the window opens
        import vantle.pipeline_factories.http  # noqa: F401
        import vantle.utils.gstreamer  # noqa: F401
        from vantle import open_stream, open_streams  # noqa: F401

        if options.get("lib") in ("opencv", "pyav"):
            __import__({"opencv": "cv2", "pyav": "av"}[options["lib"]])
    sys.stdout.write(json.dumps(KINDS[options.pop("kind")](**options)) + "\n")
    sys.stdout.flush()
    os._exit(0)  # readers in threads may still be closing streams that are done with
