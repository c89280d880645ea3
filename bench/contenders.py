"""The contenders of bench/run_all.py, each run in a process of its own:

    python bench/contenders.py '{"kind": KIND, "lib": LIB, "url": URL, ...}'

runs KINDS[KIND] with the other keys as arguments and prints its figures as JSON. The timed window
opens just before the first open, the imports done (with "spawned": at the spawn, so that start-up
and imports count), and closes when the contender has what it asked for. CPU time is the whole
process's. LIB: vantle (open_stream), opencv (cv2.VideoCapture with FFmpeg), pyav (av.open), pull
(a launch string's appsink "main_sink" pulled in a bare loop with sample_to_ndarray), factory (the
reader's own pipeline, built by its HTTP factory, pulled so); for many streams, loop (one
open_streams loop) or any of the first three in a thread a stream.
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

START = 120.0  # the longest wait for the first frame of every stream of a run


def process_state() -> Dict[str, int]:
    """Resident memory (bytes), threads and open file descriptors of this process."""
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    rss, threads = int(fields["VmRSS"].split()[0]) * 1024, int(fields["Threads"])
    return {"rss": rss, "threads": threads, "fds": len(os.listdir("/proc/self/fd"))}


class Window:
    """CPU and wall time since it was made."""

    def __init__(self) -> None:
        self.cpu, self.wall = time.process_time(), time.perf_counter()

    def elapsed(self) -> Dict[str, float]:
        return {"cpu": time.process_time() - self.cpu, "wall": time.perf_counter() - self.wall}


def finish(window: Window, frames: int, **extra: Any) -> Dict[str, Any]:
    return {"frames": frames, **window.elapsed(), **extra, **process_state()}


def pulled(pipeline: Any, sink: Any, convert: bool = True) -> Iterator[Any]:
    """The samples of a pipeline's appsink (as arrays with `convert`) until none comes in 10 s."""
    from vantle.utils.gstreamer import Gst, sample_to_ndarray

    pipeline.set_state(Gst.State.PLAYING)
    try:
        while (sample := sink.try_pull_sample(10 * Gst.SECOND)) is not None:
            yield sample_to_ndarray(sample) if convert else sample
    finally:
        pipeline.set_state(Gst.State.NULL)


def arrays(lib: str, url: str, size: str = "", keyframes: int = 0, threads: int = 0, convert: int = 1,
           pipeline: str = "", format: str = "", **_: Any) -> Iterator[Any]:  # fmt: skip
    """The BGR arrays of one stream as LIB gives them. `size` (WxH): vantle's size option, or
    cv2.resize with area filtering after OpenCV's read(); `keyframes`: vantle's keyframes_only,
    PyAV's skip_frame="NONKEY"; `threads`: PyAV's thread_type="AUTO" (frame and slice threads);
    `convert=0`: PyAV's frames or the samples as decoded; `pipeline`: the reader's launch string;
    `format`: vantle's format option (rgb, gray)."""
    shape = tuple(int(n) for n in size.split("x")) if size else None
    if lib == "vantle":
        from vantle import open_stream

        options = {
            "size": shape,
            "pipeline": pipeline or None,
            "keyframes_only": bool(keyframes),
            "format": format,
        }
        with open_stream(url, **{k: v for k, v in options.items() if v}) as stream:
            yield from stream
    elif lib == "opencv":
        import cv2

        capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
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
        yield from pulled(built, built.get_by_name("main_sink"), bool(convert))
    else:
        from vantle.pipeline_factories.http import HTTPPipelineFactory

        built = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *a: True, keyframes_only=False).build()
        built.appsink.set_property("drop", False)
        yield from pulled(built, built.appsink, bool(convert))
        built.release_resources()


def read_all(url: str, lib: str, limit: int = 0, warm: int = 0, spawned: float = 0.0, **options: Any) -> Dict:
    """The frames of a stream (with `limit`, the first so many; with `warm`, after one open, read and
    close in this process), the time of the first noted too."""
    if warm:
        read_all(url, lib, limit=1)
    count, first = 0, None
    window = Window()
    images = arrays(lib, url, **options)
    for _ in images:
        count += 1
        first = first or window.elapsed()
        if count == limit:
            break
    result = finish(window, count, first=first)
    if spawned:
        result.update(wall=time.monotonic() - spawned, cpu=time.process_time())
    images.close()
    return result


def memory(url: str, lib: str, frames: int = 0, cycles: int = 0, every: int = 1, keep: int = 0,
           **_: Any) -> Dict[str, Any]:  # fmt: skip
    """Reads `frames` frames of an endless stream, keeping the last `keep` (as a caller that
    holds recent frames does), or opens, reads one frame and closes `cycles` times (a collection
    before each note), noting RSS, threads and descriptors every `every` frames or cycles."""
    from vantle import gst_plugins

    gst_plugins.register()
    samples: List[Dict[str, int]] = []
    kept: collections.deque = collections.deque(maxlen=keep or 1)
    count = frame_bytes = 0
    window = Window()
    for cycle in range(1, cycles + 1):
        images = arrays(lib, url)
        count += next(images, None) is not None
        images.close()
        if cycle % every == 0 or cycle == 1:
            gc.collect()
            samples.append({"cycle": cycle, **process_state()})
    for image in arrays(lib, url) if frames else ():
        kept.append(image if keep else None)
        count, frame_bytes = count + 1, image.nbytes
        if count % every == 0:
            samples.append({"frame": count, **process_state()})
        if count >= frames:
            break
    return finish(window, count, samples=samples, frame_bytes=frame_bytes)


def frame_copy(rounds: int, **_: Any) -> Dict[str, Any]:
    """sample_to_ndarray and sample_as_ndarray (its mapping released when its array is dropped,
    within the timed call) against one numpy copy of the mapped bytes, in interleaved rounds with
    the order rotating: per-size medians in seconds."""
    import numpy as np

    from vantle.utils.gstreamer import Gst, sample_as_ndarray, sample_to_ndarray

    def numpy_copy(sample: Any) -> Any:
        buffer = sample.get_buffer()
        _, info = buffer.map(Gst.MapFlags.READ)
        try:
            return np.frombuffer(info.data, np.uint8).copy()
        finally:
            buffer.unmap(info)

    ways, sizes = {"ours": sample_to_ndarray, "baseline": numpy_copy, "zero_copy": sample_as_ndarray}, {}
    for width, height in [(1920, 1080), (640, 480)]:
        images = arrays("pull", f"videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width={width},height="
                        f"{height} ! appsink name=main_sink", convert=0)  # fmt: skip
        sample, times = next(images), {name: [] for name in ways}
        images.close()
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
    appsrc ! CONVERTER ! fakesink for each converter in turn ("source only": none)."""
    from vantle import gst_plugins
    from vantle.utils.gstreamer import Gst

    gst_plugins.register()
    decoding = f"souphttpsrc location={url} ! decodebin ! appsink name=main_sink sync=false"
    decoded = arrays("pull", decoding, convert=0)
    samples = [sample for _, sample in zip(range(frames), decoded)]
    decoded.close()
    caps, bgr, results = samples[0].get_caps(), "! video/x-raw,format=BGR !", {}
    converters = {"source only": "", "videoconvert": f"videoconvert {bgr}",
                  "vantleconvert n-threads=1": f"vantleconvert n-threads=1 {bgr}",
                  "vantleconvert (default threads)": f"vantleconvert {bgr}",
                  # Scaled in the input's format before conversion, against videoconvert's rescaling.
                  "videoconvert + videoscale to 640x360": "videoscale method=bilinear ! "
                  f"video/x-raw,width=640,height=360 ! videoconvert {bgr}",
                  "vantleconvert width=640 height=360 n-threads=1": "vantleconvert width=640 height=360 "
                  f"n-threads=1 {bgr}"}  # fmt: skip
    for name, converter in converters.items():
        pipeline = Gst.parse_launch(f"appsrc name=src format=time block=true ! {converter} fakesink")
        src = pipeline.get_by_name("src")
        src.set_property("caps", caps)
        pipeline.set_state(Gst.State.PLAYING)
        window = Window()
        for sample in samples * passes:
            src.emit("push-buffer", sample.get_buffer())
        src.emit("end-of-stream")
        ends = Gst.MessageType.EOS | Gst.MessageType.ERROR
        end = pipeline.get_bus().timed_pop_filtered(60 * Gst.SECOND, ends)
        results[name] = window.elapsed()
        pipeline.set_state(Gst.State.NULL)
        if end is None or end.type != Gst.MessageType.EOS:
            raise SystemExit(f"the {name} run failed")
    picture = caps.get_structure(0)
    size = f"{picture.get_value('width')}x{picture.get_value('height')}"
    return {"frames": len(samples) * passes, "converters": results, "format": picture.get_string("format"),
            "size": size}  # fmt: skip


def score(image: Any) -> float:
    """What is done with every frame of the videos: a stand-in for a model, small next to decoding."""
    return float(image[::16, ::16].mean())


def score_batch(batch: Dict[str, Any]) -> Dict[str, Any]:
    import numpy as np

    return {"score": np.array([score(image) for image in batch["image"]])}


def videos(url: str, lib: str, copies: int, reservation: int = 1, **_: Any) -> Dict[str, Any]:
    """`copies` videos (the clip under as many URLs), every frame scored: one after another in
    this process (vantle), or by vantle.ray.read_frames(...).map_batches on a local cluster of two
    CPUs (ray), started, and its workers warmed by two videos, before the window; the driver's CPU
    time alone is counted there. `reservation=0`: Ray Data's per-operator reservation off."""
    urls, count = [f"{url}?copy={n}" for n in range(copies)], 0
    if lib == "vantle":
        window = Window()
        for video in urls:
            for image in arrays("vantle", video):
                score(image)
                count += 1
        return finish(window, count)
    import logging

    import ray

    import vantle.ray

    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=2 << 30, logging_level=logging.WARNING,
             log_to_driver=False)  # fmt: skip
    try:
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars, context.op_resource_reservation_enabled = False, bool(reservation)
        vantle.ray.read_frames(urls[:2]).map_batches(score_batch).materialize()
        window = Window()
        for batch in vantle.ray.read_frames(urls).map_batches(score_batch).iter_batches(batch_size=None):
            count += len(batch["score"])
        return finish(window, count)
    finally:
        ray.shutdown()


def frames_at(url: str, lib: str, times: List[float], **_: Any) -> Dict[str, Any]:
    """The frame shown at each of `times` (the last with pts <= t), as a BGR array: vantle's
    read_frames_at, or PyAV's seek to the keyframe before t, decoding forward, to_ndarray of the
    frame shown at t, in the order asked."""
    shown: List[float] = []
    window = Window()
    if lib == "vantle":
        import vantle

        shown = [frame.pts for frame in vantle.read_frames_at(url, times=times)]
    else:
        import av

        with av.open(url) as container:
            stream = container.streams.video[0]
            for t in times:
                container.seek(int(t / stream.time_base), stream=stream, backward=True)
                last = None
                for frame in container.decode(stream):
                    if frame.time > t + 1e-6:
                        break
                    last = frame
                last.to_ndarray(format="bgr24")
                shown.append(float(last.time))
    return finish(window, len(shown), shown=[round(t, 4) for t in shown])


def sampled(url: str, lib: str, every: int, **_: Any) -> Dict[str, Any]:
    """One frame in `every` of a file as a BGR array: vantle's fps= option (the file's rate over
    `every`), or OpenCV's grab() of every frame and retrieve() of one in `every`."""
    count, window = 0, Window()
    if lib == "vantle":
        from vantle import open_stream

        with open_stream(url) as stream:
            rate = stream.info.fps
        window = Window()  # the first open (to know the rate) is not counted
        with open_stream(url, fps=rate / every) as stream:
            count = sum(1 for _ in stream)
    else:
        import cv2

        capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
        index = 0
        while capture.grab():
            if index % every == 0:
                count += capture.retrieve()[1] is not None
            index += 1
        capture.release()
    return finish(window, count)


def probed(url: str, lib: str, **_: Any) -> Dict[str, Any]:
    """What a file holds (size, rate, codec, length), without its frames: vantle.probe, or PyAV's
    av.open and its stream's attributes; the first call in the process and a second."""

    def probe() -> Any:
        if lib == "vantle":
            import vantle

            info = vantle.probe(url)
            return info.width, info.height, info.fps, info.codec, info.duration, info.frame_count
        import av

        with av.open(url) as container:
            stream = container.streams.video[0]
            rate = float(stream.average_rate)
            return (
                stream.width,
                stream.height,
                rate,
                stream.codec_context.name,
                container.duration,
                stream.frames,
            )

    window = Window()
    probe()
    first = window.elapsed()
    window = Window()
    probe()
    return finish(window, 1, first=first)


def read_many(lib: str, urls: Dict[str, str], on_frame: Callable[[str, int, Any], bool]) -> None:
    """Reads every stream of `urls` (key -> URL) with one open_streams loop (lib "loop", default
    options: every frame delivered) or with LIB in a thread a stream, calling on_frame(key, index,
    image) in the thread that has the frame, until every stream ends or on_frame returns True. A
    stream that fails fails the run."""
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
    urls, counts, opened = {f"copy{n}": f"{url}?copy={n}" for n in range(copies)}, collections.Counter(), {}

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
    """The frames of live streams, (index, time.time() in hand, stamp age) each by stream, and the
    window: from `warm_up` s after every stream delivered a frame, `seconds` long, the process's CPU
    time noted at both ends. `note` is read_many's on_frame: True once the window is over."""

    def __init__(self, keys: List[str], seconds: float, warm_up: float, age: Optional[Callable]):
        self.got: Dict[str, List[Tuple[int, float, float]]] = {key: [] for key in keys}
        self.seconds, self.warm_up, self.age, self.lock = seconds, warm_up, age, threading.Lock()
        self.opening, self.begin, self.cpu, self.done = time.time(), 0.0, 0.0, False

    def note(self, key: str, index: int, image: Any) -> bool:
        now = time.time()
        self.got[key].append((index, now, self.age(image, now) if self.age else 0.0))
        with self.lock:
            if not self.begin and all(self.got.values()):
                self.start, self.begin = now - self.opening, now + self.warm_up
                self.end = self.begin + self.seconds
            elif not self.begin and now - self.opening > START:
                self.done = True  # the other readers stop too
                raise SystemExit(f"not every stream delivered within {START} s")
            elif self.begin and not self.cpu and now >= self.begin:
                self.cpu = time.process_time()
            elif self.cpu and not self.done and now >= self.end:
                self.cpu, self.done = time.process_time() - self.cpu, True
        return self.done

    def result(self, log: Optional[Dict[str, List[List[float]]]]) -> Dict[str, Any]:
        """The frames in the window and their latency: by their stamps, or by the server's `log`
        (part i of a connection is frame i), by which every frame sent GRACE s before the end of
        the window must have been delivered."""
        from live import GRACE

        latency: Dict[str, List[float]] = collections.defaultdict(list)
        streams = {}
        for key, got in self.got.items():
            connections = (log or {}).get(f"/{key}", [[]])
            sent, indices = connections[0], {index for index, _, _ in got}
            window = [(index, t, age) for index, t, age in got if self.begin <= t <= self.end]
            for index, t, age in window:
                if log is None or (index < len(sent) and len(connections) == 1):
                    for kind in ["all", *key.split("/")[:-1]]:
                        latency[kind].append(1000 * (age if log is None else t - sent[index]))
            missing = sum(t <= self.end - GRACE and i not in indices for i, t in enumerate(sent))
            missing += sum(log is not None and i >= len(sent) for i in indices)  # frames never sent
            streams[key] = {"delivered": len(window), "sent": sum(self.begin <= t <= self.end for t in sent),
                            "missing": missing, "connections": len(connections)}  # fmt: skip
        cuts = {k: statistics.quantiles(v, n=100) + [max(v)] for k, v in latency.items() if len(v) > 1}
        percentiles = {k: {"p50": v[49], "p99": v[98], "max": v[-1]} for k, v in cuts.items()}
        frames, start = sum(s["delivered"] for s in streams.values()), self.start
        return {"frames": frames, "wall": self.seconds, "cpu": self.cpu, "start": start, "streams": streams,
                "latency": percentiles}  # fmt: skip


def live(url: str, lib: str, streams: List[str], seconds: float, warm_up: float = 0.0, **_: Any) -> Dict:
    """The cameras of bench/live.py (`streams`: their paths) read for `seconds` after `warm_up`: over
    HTTP, the latency by the server's log of the send times; over RTSP, by the stamps."""
    import urllib.request
    import uuid

    from live import stamp_age

    run, http = uuid.uuid4().hex, url.startswith("http")
    seen = LiveWindow(streams, seconds, warm_up, None if http else stamp_age)
    read_many(lib, {key: f"{url}/{key}" + f"?run={run}" * http for key in streams}, seen.note)
    if not http:
        return seen.result(None)
    with urllib.request.urlopen(f"{url}/log?run={run}", timeout=30) as response:
        return seen.result(json.load(response))


KINDS = {"frames": read_all, "memory": memory, "frame-copy": frame_copy, "convert-element": convert_element,
         "videos": videos, "fleet": fleet, "live": live, "frames-at": frames_at, "sampled": sampled,
         "probe": probed}  # fmt: skip

if __name__ == "__main__":
    options = json.loads(sys.argv[1])
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    if "spawned" not in options:  # the imports are made before the window opens
        import vantle.pipeline_factories.http  # noqa: F401
        import vantle.utils.gstreamer  # noqa: F401
        from vantle import open_stream, open_streams  # noqa: F401

        __import__({"opencv": "cv2", "pyav": "av"}.get(options.get("lib"), "json"))
    sys.stdout.write(json.dumps(KINDS[options.pop("kind")](**options)) + "\n")
    sys.stdout.flush()
    os._exit(0)  # readers in threads may still be closing streams that are done with
