"""The sections of bench/run_all.py, in the order of the report: each a function that runs its
rows (every run a fresh process of bench/contenders.py or gst-launch-1.0) and writes its part of
the report (text, tables, targets, chart panels). Adding a section is adding a function."""

from __future__ import annotations

import math
import sys
from typing import Any, Callable, Dict, List

from report import LOAD, MB, PEAK, col, cpu_ms, curves, fmt, fps, med, median, ratio, steady, vs, wall_ms
from report import bars as bar_panel
from report import steady_fps as fps_after

SECTIONS: Dict[str, Callable[[Any], None]] = {}
GROUPS = {"fleet": ["fleet-files", "fleet-rtsp", "start-up", "ray"]}
OPENCV, PYAV, PYAV_AUTO, READER = "OpenCV VideoCapture", "PyAV", "PyAV, thread_type=AUTO", "vantle reader"
PYAV_THREADS = {"lib": "pyav", "threads": 1}
SIZE = {"width": 640, "height": 360}  # the cameras' pictures
ENDLESS = "endless stream, "


def section(name: str) -> Callable:
    return lambda function: SECTIONS.setdefault(name, function)


def per_frame(base: List[Any], label: str) -> List[Any]:
    return [col("CPU ms/frame", cpu_ms), col("wall ms/frame", wall_ms), col("frames/s", fps, 1),
            vs(f"CPU vs {label}", cpu_ms, base), vs(f"fps vs {label}", fps, base), PEAK, LOAD]  # fmt: skip


def latency(key: str, at: str) -> Callable:
    return lambda r: r["latency"][key][at] if key in r["latency"] else math.nan


@section("frame-copy")
def frame_copy(bench: Any) -> None:
    how, rep = {"kind": "frame-copy", "rounds": 60 if bench.quick else 300}, bench.report
    runs = [run for run in (bench.one("frame copy", how, 1) for _ in range(bench.repeats)) if run]
    rep.section(
        "Frame conversion: `sample_to_ndarray` against one numpy copy, and `sample_as_ndarray`",
        "A BGR sample from videotestsrc converted by `sample_to_ndarray` and, as the limit, mapped and "
        f"copied once with `np.frombuffer(...).copy()`, {how['rounds']} interleaved rounds a run in one "
        "thread. `sample_as_ndarray` makes no copy: its array keeps the buffer mapped until it is dropped, "
        f"within the timed call. Per-run medians, median (min–max) over runs. Load: {LOAD[1](runs)}.",
    )
    lines = []
    for size in ("1920x1080", "640x480"):
        us = {k: [1e6 * run["sizes"][size][k] for run in runs] for k in ("ours", "baseline", "zero_copy")}
        r = med(us["ours"]) / med(us["baseline"]) if runs else None
        what = "sample_to_ndarray at 1080p ≤ 1.25x"
        ok = rep.target(what, "one numpy copy", r, 1.25) if size == "1920x1080" else ""
        zero = [fmt(us["zero_copy"], 1), ratio(med(us["zero_copy"]), med(us["ours"]))]
        lines.append([size, fmt(us["ours"], 0), fmt(us["baseline"], 0), ratio(r, 1), ok, *zero])
    header = ["sample_to_ndarray µs", "numpy copy µs", "ratio", "target", "sample_as_ndarray µs", "vs ours"]
    rep.grid(["frame", *header], lines)


@section("convert-element")
def convert_element(bench: Any) -> None:
    how = {"kind": "convert-element", "url": bench.main["url"], "frames": 20 if bench.quick else 60}
    how["passes"], rep = 2 if bench.quick else 5, bench.report
    runs = [run for run in (bench.one("conversion element", how) for _ in range(bench.repeats)) if run]
    if not runs:
        return rep.section("The conversion element against videoconvert", "No run succeeded.")

    def ms(name: str, key: str = "cpu") -> List[float]:
        return [1000 * r["converters"][name][key] / r["frames"] for r in runs]

    def cost(name: str) -> List[float]:
        return [a - b for a, b in zip(ms(name), ms("source only"))]

    rep.section(
        "The conversion element against videoconvert, on the stream's own decoded frames",
        f"The clip's first decoded frames ({runs[0]['format']}, {runs[0]['size']}), decoded once and kept, "
        f"pushed through `appsrc ! CONVERTER ! video/x-raw,format=BGR ! fakesink` ({runs[0]['frames']} "
        "frames a run, the converters taking turns in one process). CPU is the process's over the pushes "
        f"less that of the same pushes without a converter ({fmt(ms('source only'))} ms a frame). Load at "
        f"the runs: {LOAD[1](runs)}.",
    )
    names, base = [name for name in runs[0]["converters"] if name != "source only"], med(cost("videoconvert"))
    lines = [[n, fmt(cost(n)), fmt(ms(n, "wall")), f"{med(cost(n)) / base:.3f}x"] for n in names]
    rep.grid(["converter", "CPU ms/frame", "wall ms/frame (source included)", "CPU vs videoconvert"], lines)
    # One thread is how the reader sets the element up: its queue already runs it beside decoding.
    r = med(cost("vantleconvert n-threads=1")) / base
    what = "vantleconvert (n-threads=1, as the reader uses it) CPU ≤ 0.25x"
    rep.target(what, "videoconvert", r, 0.25, figure=f"{r:.3f}x")


@section("end-to-end")
def end_to_end(bench: Any) -> None:
    url, frames, rep = bench.main["url"], bench.main["recipe"].frames, bench.report
    source, bgr = f"souphttpsrc location={url} ! decodebin !", "! video/x-raw,format=BGR ! fakesink"
    bare, arrays = "vantle pipeline, bare pull loop", "vantle pipeline, bare pull + sample_to_ndarray"
    decoder, gst = "gst-launch: decode only", "gst-launch: vantleconvert"
    rows = {decoder: {"launch": f"{source} fakesink"}, gst: {"launch": f"{source} vantleconvert {bgr}"},
            "gst-launch: videoconvert": {"launch": f"{source} videoconvert {bgr}"},
            READER: {"lib": "vantle"}, bare: {"lib": "factory", "convert": 0}, arrays: {"lib": "factory"},
            OPENCV: {"lib": "opencv"}, PYAV: {"lib": "pyav"}, PYAV_AUTO: PYAV_THREADS}  # fmt: skip
    runs = bench.rows(rows, frames, kind="frames", url=url)
    rep.section(
        "End to end: 1920x1080 H.264 (I420 pictures) over HTTP, every frame",
        "- gst-launch rows: `gst-launch-1.0 souphttpsrc location=URL ! decodebin ! ... ! fakesink`, timed "
        "as the whole process (start-up and the loading of GStreamer's plugins count, as they count in the "
        "open of the other rows).\n- vantle reader: `for frame in open_stream(url)`; OpenCV: "
        "`VideoCapture(url, CAP_FFMPEG)` and `read()`; PyAV: `av.open(url)`, `decode(stream)`, "
        "`frame.to_ndarray(format='bgr24')`, with its default threading and with `thread_type='AUTO'`. "
        "Timed from just before the open (imports done) to the end of the stream, CPU of every thread; "
        "*process CPU* includes start-up and imports; *frames/s after the first* leaves the open out.\n- "
        "*vantle pipeline* rows (diagnostics): the reader's own pipeline, built by its factory, pulled in "
        "a bare loop without and with `sample_to_ndarray`.",
    )
    rep.table(runs, [col("wall ms/frame", wall_ms), col("CPU ms/frame", cpu_ms), col("frames/s", fps, 1),
                     col("frames/s after the first", fps_after, 1), vs("CPU vs OpenCV", cpu_ms, runs[OPENCV]),
                     vs("fps vs OpenCV", fps, runs[OPENCV]), vs(f"CPU vs {gst}", cpu_ms, runs[gst]),
                     vs(f"fps vs {gst}", fps, runs[gst]), PEAK, LOAD,
                     col("process CPU ms/frame", lambda r: 1000 * r["process_cpu"] / r["frames"]),
                     ])  # fmt: skip
    best = min((OPENCV, PYAV, PYAV_AUTO), key=lambda name: median(runs[name], cpu_ms) or math.inf)
    what = "1080p H.264: reader CPU/frame ≤ {}x the better of OpenCV and PyAV"
    rep.compare(what, 0.95, best, runs[READER], runs[best], cpu_ms)
    rep.compare("1080p H.264: reader CPU/frame ≤ {}x the decoder alone", 1.2, decoder, runs[READER],
                runs[decoder], cpu_ms)  # fmt: skip
    rep.compare("1080p H.264: reader frames/s ≥ {}x", 1.1, "OpenCV", runs[READER], runs[OPENCV], fps, True)
    floor, opencv = (median(runs[name], cpu_ms) or math.nan for name in (decoder, OPENCV))
    lines = ["Where the reader's time goes:", "", f"- **The decoder sets the floor.** Decoding alone "
             f"(avdec_h264 into fakesink) costs {floor:.2f} ms CPU a frame, {floor / opencv:.2f}x OpenCV's "
             "decoding, conversion and array."]  # fmt: skip
    for a, b, what in [(gst, bare, "the reader's pipeline: parsebin, decoder, queue, converter, appsink"),
                       (bare, arrays, "the array: a copy of every 6 MB BGR frame"),
                       (arrays, READER, "the reader's Python code around the pull")]:  # fmt: skip
        cpu_a, cpu_b, fps_a, fps_b = (median(runs[n], m) or math.nan for m in (cpu_ms, fps) for n in (a, b))
        lines.append(f"- From *{a}* to *{b}* ({what}): CPU {cpu_b - cpu_a:+.2f} ms a frame "
                     f"({cpu_b / cpu_a:.2f}x), frames/s {fps_b / fps_a:.2f}x.")  # fmt: skip
    firsts = [r["first"] for r in runs[READER] if r.get("first")]
    wall, cpu = (1000 * (med([first[key] for first in firsts]) or math.nan) for key in ("wall", "cpu"))
    lines.append(f"- The open (build, plugins loaded on first use, first frame) takes {wall:.0f} ms and "
                 f"{cpu:.0f} ms CPU in a fresh process: {cpu / frames:.2f} ms CPU a frame of this "
                 "clip.")  # fmt: skip
    rep.text("\n".join(lines))
    bench.figures["reader_wall_ms"] = median(runs[READER], wall_ms)
    rep.panels.append(bar_panel(runs, cpu_ms, "CPU ms per frame (lower is better)", "1080p H.264 over HTTP"))
    rep.panels.append(bar_panel(runs, fps, "frames/s (higher is better)", "1080p H.264 over HTTP"))


@section("deep-colour")
def deep_colour(bench: Any) -> None:
    bench.report.section(
        "10-bit streams over HTTP, every frame",
        "Moving colour bars encoded at 10 bits (tests/support/media.py's BENCH_CATALOGUE), each contender "
        "timed as end to end. *Decoder alone*: PyAV decoding with frame and slice threads and converting "
        "nothing, and gst-launch decoding into fakesink (the whole process timed).",
    )
    for name in ("bench_h264_10bit_444_1080p", "bench_h265_10bit_1080p", "bench_vp9_10bit_1080p"):
        clip, opencv = bench.clip(name), "OpenCV read()"
        if clip is None:
            continue
        recipe, gst = clip["recipe"], {"launch": f"souphttpsrc location={clip['url']} ! decodebin ! fakesink"}
        rows = {READER: {"lib": "vantle"}, opencv: {"lib": "opencv"},
                "PyAV bgr24, thread_type=AUTO": PYAV_THREADS,
                "decoder alone: PyAV, thread_type=AUTO, no conversion": {**PYAV_THREADS, "convert": 0},
                "decoder alone: gst-launch decodebin ! fakesink": gst}  # fmt: skip
        runs, codec = bench.rows(rows, recipe.frames, kind="frames", url=clip["url"]), recipe.codec.upper()
        bench.report.text(f"### 1920x1080 {codec}, {recipe.raw_format} ({name}, {recipe.frames} frames)")
        bench.report.table(runs, per_frame(runs[opencv], "OpenCV"))
        what = f"1080p 10-bit {codec} ({recipe.raw_format}): reader CPU/frame ≤ {{}}x"
        bench.report.compare(what, 0.7, "OpenCV", runs[READER], runs[opencv], cpu_ms)


@section("size")
def size(bench: Any) -> None:
    ours, base = "vantle reader, size=(640, 360)", "OpenCV read() + cv2.resize(INTER_AREA)"
    rows = {ours: {"lib": "vantle"}, base: {"lib": "opencv"}}
    runs = bench.rows(rows, bench.main["recipe"].frames, kind="frames", url=bench.main["url"], size="640x360")
    bench.report.section(
        "Frames at the size the model needs: 640x360 from the 1080p stream",
        "The reader asked for `size=(640, 360)` (scaled before conversion), against OpenCV's `read()` "
        "followed by `cv2.resize(frame, (640, 360), interpolation=cv2.INTER_AREA)`. Timed as end to end.",
    )
    bench.report.table(runs, per_frame(runs[base], "OpenCV + resize"))
    what = "size=(640, 360) from 1080p: reader CPU/frame ≤ {}x"
    bench.report.compare(what, 0.8, "OpenCV read() + cv2.resize", runs[ours], runs[base], cpu_ms)


@section("reader-overhead")
def reader_overhead(bench: Any) -> None:
    tiny, base = 3000 if bench.quick else 20_000, "bare pull loop + sample_to_ndarray"
    # Frames made in the process, so that what a frame costs is the code around the pull. The
    # reader's {url} fills a string property (progressreport's, silent).
    launch = f"videotestsrc num-buffers={tiny} pattern=black ! video/x-raw,format=BGR,width=64,height=48,"
    launch += "framerate=1000/1 ! progressreport silent=true update-freq=3600 format={url} ! identity "
    launch += "name=buffer_src ! appsink name=main_sink"
    bare = launch.replace("{url}", "black") + " sync=false max-buffers=4 drop=false"
    rows = {READER: {"lib": "vantle", "url": "black", "pipeline": launch}, base: {"lib": "pull", "url": bare}}
    runs = bench.rows(rows, tiny, kind="frames")
    bench.report.section(
        "The reader's own cost per frame",
        f"{tiny} tiny frames (64x48 BGR from videotestsrc: decoding and copying cost next to nothing) "
        "through the reader (`open_stream(..., pipeline=...)`) and through a bare `try_pull_sample` + "
        "`sample_to_ndarray` loop on the same pipeline and appsink settings, timed after the first frame. "
        "The difference is what the reader's Python code adds to every frame.",
    )
    wall, cpu = (lambda r: 1000 * steady("wall")(r)), (lambda r: 1000 * steady("cpu")(r))

    def added(metric: Callable) -> Callable:
        return lambda found: f"{(median(found, metric) or 0) - (median(runs[base], metric) or 0):+.1f}"

    bench.report.table(runs, [col("wall µs/frame", wall, 1), col("CPU µs/frame", cpu, 1),
                              vs("wall vs bare loop", wall, runs[base]), ("added wall µs/frame", added(wall)),
                              ("added CPU µs/frame", added(cpu)), LOAD])  # fmt: skip
    us, frame = float(added(wall)(runs[READER])), bench.figures.get("reader_wall_ms") or math.nan
    bench.report.text(f"The reader's Python code adds {us:.0f} µs of wall time a frame: "
                      f"{us / (10 * frame):.1f} % "
                      f"of a 1080p frame's {frame:.2f} ms end to end.")  # fmt: skip


@section("keyframes")
def keyframes(bench: Any) -> None:
    recipe, ours, base = bench.main["recipe"], "vantle, keyframes_only=True", "PyAV, skip_frame='NONKEY'"
    count, rows = math.ceil(recipe.frames / recipe.keyint), {ours: {"lib": "vantle"}, base: {"lib": "pyav"}}
    runs = bench.rows(rows, count, kind="frames", url=bench.main["url"], keyframes=1)
    bench.report.section(
        "Keyframes only",
        f"The same stream, only its {count} keyframes decoded and delivered as BGR arrays (PyAV with its "
        "default threading). Timed from just before the open to the end of the stream.",
    )
    bench.report.table(runs, [col("wall ms/keyframe", wall_ms), col("CPU ms/keyframe", cpu_ms),
                              col("keyframes/s", fps, 1), vs("keyframes/s vs PyAV", fps, runs[base]),
                              vs("CPU vs PyAV", cpu_ms, runs[base]), col("keyframes/s after the first",
                              fps_after, 1), vs("vs PyAV", fps_after, runs[base]), LOAD])  # fmt: skip
    for metric, when in ((fps, "open included"), (fps_after, "after the first keyframe")):
        what = f"keyframes/s ≥ {{}}x ({when})"
        bench.report.compare(what, 1.0, "PyAV skip_frame='NONKEY'", runs[ours], runs[base], metric, True)


@section("first-frame")
def first_frame(bench: Any) -> None:
    opencv, pyav = "OpenCV: VideoCapture + read", "PyAV: open + first frame"
    rows = {"vantle: open_stream + read": {"lib": "vantle"}, opencv: {"lib": "opencv"}, pyav: {"lib": "pyav"},
            "vantle, second open": {"lib": "vantle", "warm": 1}, "OpenCV, second open": {"lib": "opencv",
            "warm": 1}, "PyAV, second open": {"lib": "pyav", "warm": 1}}  # fmt: skip
    runs = bench.rows(rows, 1, 2 * bench.repeats, kind="frames", url=bench.main["url"], limit=1)
    bench.report.section(
        "Time to first frame",
        "From just before the open (imports done) to the first BGR array in hand, each sample a fresh "
        "process. *Second open*: the same after one open, read and close in that process, so that what is "
        "loaded once per process (GStreamer loads its plugins on first use; OpenCV and PyAV load FFmpeg "
        "when imported) is out of the figure. No target: the figures are for comparison.",
    )
    bench.report.table(runs, [col("time to first frame ms", wall_ms, 0), col("CPU ms", cpu_ms, 0),
                              vs("vs OpenCV", wall_ms, runs[opencv]), vs("vs PyAV", wall_ms, runs[pyav]),
                              LOAD])  # fmt: skip
    bench.report.panels.append(bar_panel(runs, wall_ms, "ms to first array (lower is better)", "First frame"))


@section("start-up")
def start_up(bench: Any) -> None:
    ours, base = "vantle: import, open_stream, read", "OpenCV: import cv2, VideoCapture, read"
    rows = {ours: {"lib": "vantle"}, base: {"lib": "opencv"},
            "PyAV: import av, open, first frame": {"lib": "pyav"}}  # fmt: skip
    runs = bench.rows(rows, 1, 2 * bench.repeats, kind="frames", url=bench.main["url"], limit=1, spawned=-1.0)
    bench.report.section(
        "From process start to the first 1080p array",
        "Each sample a fresh process, timed from the moment it is spawned (interpreter start-up and every "
        "import included) to the first BGR array in hand; CPU is the process's up to then.",
    )
    bench.report.table(runs, [col("time to first array ms", wall_ms, 0), col("CPU ms", cpu_ms, 0),
                              vs("vs OpenCV", wall_ms, runs[base]), LOAD])  # fmt: skip
    bench.report.compare("process start to first array ≤ {}x", 1.1, base, runs[ours], runs[base], wall_ms)


def flatness(samples: List[Dict[str, int]], key: str, warm_up: int) -> Dict[str, float]:
    """`key` after warm-up; growth compares the medians of the last and first thirds of the notes,
    so that the frames in flight when a note is taken do not count as growth."""
    found = [s[key] for s in samples if s.get("frame", s.get("cycle", 0)) > warm_up]
    third = len(found) // 3
    growth = med(found[-third:]) - med(found[:third]) if third else math.nan
    return {"first": found[0], "min": min(found), "max": max(found), "last": found[-1], "growth": growth}


@section("memory")
def memory(bench: Any) -> None:
    frames, every, cycles, cycle_every = (900, 50, 50, 5) if bench.quick else (10_000, 250, 500, 25)
    keep, warm_frames, warm_cycles, runs, rep = 100, frames // 10, cycles // 10, {}, bench.report
    # The baseline, "bare": the reader's elements in a plain launch string, pulled in a bare loop.
    bare = "souphttpsrc location={} ! decodebin ! queue max-size-buffers=2 max-size-bytes=0 max-size-time=0 "
    bare += "! vantleconvert ! video/x-raw,format=BGR ! appsink name=main_sink sync=false max-buffers=4 "
    bare += "drop=false enable-last-sample=false"
    for who, lib, url in (("vantle", "vantle", "{}"), ("bare", "pull", bare)):
        read = {"kind": "memory", "lib": lib, "url": url.format(bench.main["loop_url"]), "every": every}
        runs[ENDLESS + who] = bench.one(ENDLESS + who, {**read, "frames": frames}, frames)
        build = {**read, "url": url.format(bench.main["url"]), "cycles": cycles, "every": cycle_every}
        runs[f"build/teardown, {who}"] = bench.one(f"build/teardown, {who}", build, cycles)
    read = {"kind": "memory", "lib": "vantle", "url": bench.main["loop_url"], "every": every, "keep": keep}
    keeping = bench.one(f"keeping the last {keep}", {**read, "frames": frames}, frames)
    vantle = runs[ENDLESS + "vantle"]
    rep.section(
        "Memory and resources",
        f"Endless stream: the clip's H.264 byte stream served over and over as one HTTP response, {frames} "
        f"frames read (vantle: {vantle and vantle['frames'] / vantle['wall'] or 0:.1f} frames/s), warm-up: "
        f"the first {warm_frames}. Build/teardown: open, one frame, close, {cycles} times, a collection "
        f"before each note, warm-up: the first {warm_cycles}. *Bare*: the same elements in a plain launch "
        "string (`souphttpsrc ! decodebin ! queue ! vantleconvert ! appsink`) pulled with "
        "`try_pull_sample` + `sample_to_ndarray`. Load at the runs: "
        f"{LOAD[1](list(filter(None, runs.values())))}.",
        "RSS moves with the frames in flight when a note is taken (a 1080p frame is 6 MB); *growth* is the "
        "median of the last third of the notes after warm-up less that of the first third (threads and "
        "descriptors likewise, not growing when less than one).",
    )
    lines = []
    for name, run in runs.items():
        if not run:
            lines.append([name, *["n/a"] * 5])
            continue
        endless = name.startswith(ENDLESS)
        warm_up, count = (warm_frames, f"{frames} frames") if endless else (warm_cycles, f"{cycles} cycles")
        rss, threads, fds = (flatness(run["samples"], key, warm_up) for key in ("rss", "threads", "fds"))
        # Counts move by one as GStreamer's pooled threads come and go: a median of one third can
        # fall between two counts (+0.5) with nothing leaked. One more a cycle would show hundreds.
        ok = abs(rss["growth"]) <= 10 * MB and threads["growth"] < 1 and fds["growth"] < 1
        figure = f"{rss['growth'] / MB:+.1f} MB, threads {threads['growth']:+g}, fds {fds['growth']:+g}"
        if name.endswith("vantle"):
            what = f"{name.split(',')[0]}: RSS flat within 10 MB, threads and fds not growing"
            rep.target(what, f"after warm-up, {count}", None, figure=figure, ok=ok)
        spread = [f"{x['min']}–{x['max']}, {x['growth']:+g}" for x in (threads, fds)]
        rss_mb = " / ".join(f"{rss[k] / MB:.1f}" for k in ("first", "min", "max", "last"))
        lines.append([name, rss_mb, f"{rss['growth'] / MB:+.1f} MB", *spread, ("**missed**", "**met**")[ok]])
    rep.grid(["run", "RSS after warm-up MB (first / min / max / last)", "RSS growth",
              "threads (min–max), growth", "fds (min–max), growth", "flat?"], lines)  # fmt: skip
    # A caller keeping the last frames: RSS rises by what they hold above the dropping run, then stays.
    warm_keep = max(warm_frames, 2 * keep)
    what = f"endless stream, keeping the last {keep} frames: RSS above the dropping run by about {keep} "
    what += "frames (0.75–1.25x), then flat within 10 MB"
    if keeping and vantle:
        held, kept = keep * keeping["frame_bytes"], flatness(keeping["samples"], "rss", warm_keep)
        above = med([s["rss"] for s in keeping["samples"] if s["frame"] > warm_keep])
        above -= med([s["rss"] for s in vantle["samples"] if s["frame"] > warm_keep])
        ok = abs(kept["growth"]) <= 10 * MB and 0.75 <= above / held <= 1.25
        figure, baseline = f"{above / held:.2f}x, growth {kept['growth'] / MB:+.1f} MB", f"{held / MB:.0f} MB"
        baseline += f"; after warm-up, {frames} frames"
        rep.target(what, f"{keep} frames = {baseline}", None, figure=figure, ok=ok)
        rep.text(f"A caller keeping the last {keep} frames ({held / MB:.0f} MB of pictures), warm-up "
                 f"{warm_keep} frames: RSS {above / MB:+.0f} MB above the run that drops every frame "
                 f"({above / held:.2f}x what the kept frames hold), growth after warm-up "
                 f"{kept['growth'] / MB:+.1f} MB.")  # fmt: skip
    else:
        rep.target(what, "", None)
    runs[f"{ENDLESS}keeping {keep}"] = keeping
    bench.raw["memory"] = runs
    for kind, unit in (("endless", "frames read"), ("build", "build/teardown cycles")):
        chosen = {name: run["samples"] for name, run in runs.items() if run and name.startswith(kind)}
        series = {n: ([s.get("frame", s.get("cycle")) for s in ss], [s["rss"] / MB for s in ss])
                  for n, ss in chosen.items()}  # fmt: skip
        rep.panels.append(curves(series, unit, "RSS MB", f"Memory: {kind}, vantle and bare"))


@section("ray")
def ray(bench: Any) -> None:
    clip, videos, rep = bench.clip("bench_h264_720p"), 20, bench.report
    if clip is None:
        return
    base, ours = "one process, one video after another", "vantle.ray.read_frames, 2-CPU local cluster"
    # With its per-operator reservation (the default), Ray Data ran one read task at a time on 2 CPUs.
    rows = {base: {"lib": "vantle"}, ours: {"lib": "ray"},
            "vantle.ray.read_frames, no per-operator reservation": {"lib": "ray", "reservation": 0},
            }  # fmt: skip
    total = videos * clip["recipe"].frames
    runs = bench.rows(rows, total, kind="videos", url=clip["url"], copies=videos)
    rep.section(
        "Many recorded videos on Ray",
        f"{videos} recorded 720p videos ({total} frames; one clip under {videos} URLs), every frame scored "
        "by the same small function (the mean of one pixel in 256, standing in for a model). *One process*: "
        "`open_stream` on each video in turn. *vantle.ray*: `read_frames(urls).map_batches(score)` on a "
        "local cluster of two CPUs started beforehand (its workers warmed by two videos), rows consumed by "
        "the driver. Timed from just before the first open, or the dataset's creation, to the last frame; "
        "CPU is not compared (on Ray it is spent in worker processes). The last row is a diagnostic: Ray "
        "Data's per-operator reservation off (`DataContext.op_resource_reservation_enabled = False`).",
    )
    rep.table(runs, [col("wall s", lambda r: r["wall"]), col("frames/s", fps, 1), vs("vs one process", fps,
                     runs[base]), LOAD])  # fmt: skip
    rep.compare("vantle.ray frames/s ≥ {}x", 0.85, "one process, videos in turn", runs[ours], runs[base], fps,
                True)  # fmt: skip


@section("many-streams")
def many_streams(bench: Any) -> None:
    import live

    copies, rate, seconds, rep = 8, 15, 6 if bench.quick else 18, bench.report
    # Moving colour bars as JPEG pictures, sent over and over, and as H.264 for live streaming (no
    # B-frames, no look-ahead, a keyframe every 2 s), long enough for a slow start and the window.
    x264, camera = "x264enc tune=zerolatency speed-preset=veryfast bitrate=800 key-int-max=30", {"fps": rate}
    mkv = {"encoder": x264 + " option-string=scenecut=0", "muxer": "h264parse ! matroskamux streamable=true"}
    camera.update(SIZE)
    media = {"mjpeg": bench.recipe("mjpeg_multipart", name="bench_live_mjpeg_360p", frames=150, **camera),
             "h264": bench.recipe("h264_mkv", name="bench_live_h264_360p_900", frames=900, **camera,
                                  **mkv)}  # fmt: skip
    media = {kind: bench.clip("", recipe)["path"] for kind, recipe in media.items()}
    ours, base, n = "one open_streams loop", "16 open_stream readers, a thread each", 2 * copies
    server = live.LiveServer("http", str(media["mjpeg"]), str(media["h264"]), str(rate))
    try:
        rows = {ours: {"lib": "loop"}, base: {"lib": "vantle"}}
        paths = [f"{kind}/{i}" for kind in ("mjpeg", "h264") for i in range(copies)]
        runs = bench.rows(rows, 0, kind="live", url=server.url, streams=paths, seconds=seconds)
    finally:
        server.close()
    rep.section(
        f"Many live streams in one loop: {n} cameras over HTTP",
        f"{n} live 640x360 streams at {rate} frames/s from bench/live.py (a process of its own, its CPU not "
        f"counted): {copies} multipart MJPEG (a JPEG a part, with its Content-Length) and {copies} H.264 "
        "(x264 `tune=zerolatency`, a keyframe every 2 s) in streamable Matroska, one response without a "
        "length, every connection from the stream's first frame, paced in real time. *One open_streams "
        f"loop*: `for frame in open_streams({{key: url}})`, default options (drop_frames=False); *readers "
        f"per thread*: `open_stream(url)` in {n} threads. Each run a fresh process reading for {seconds} s "
        "from the moment every stream has delivered a frame; CPU is the process's over that window, per "
        "frame in it.",
        "- *Delivered / sent*: frames in the window, summed over the runs; *missing*: sent at least "
        f"{live.GRACE:.0f} s before the window's end and not delivered (frame i of a connection is its part "
        "i).\n- *Latency*: from the server's send of a frame (its write returned) to the frame in hand, on "
        "the machine's one clock; percentiles over a run's frames, median (min–max) over runs.",
    )

    def every(found: List[Any]) -> Dict[str, Any]:
        streams = [s for run in found for s in run["streams"].values()]
        missing, again = sum(s["missing"] for s in streams), sum(s["connections"] != 1 for s in streams)
        counts = f"{sum(s['delivered'] for s in streams)} / {sum(s['sent'] for s in streams)}"
        ok = bool(streams) and not missing and not again
        return {"ok": ok, "text": f"{counts}, {missing} missing, {again} reconnected"}

    columns = [col("CPU ms/frame", cpu_ms), vs("CPU vs readers per thread", cpu_ms, runs[base]),
               ("delivered / sent", lambda found: every(found)["text"]),
               col("latency p99 ms", latency("all", "p99"), 1),
               col("max ms", latency("all", "max"), 1)]  # fmt: skip
    for kind, label in (("mjpeg", "MJPEG"), ("h264", "H.264")):
        columns += [col(f"{label} p{p} ms", latency(kind, f"p{p}"), 1) for p in (50, 99)]
    rep.table(runs, [*columns, col("every stream's first frame s", lambda r: r["start"]), LOAD])
    what, found = f"{n} live streams, one open_streams loop: ", every(runs[ours])
    rep.compare(what + "CPU/frame ≤ {}x", 1.1, "readers in threads", runs[ours], runs[base], cpu_ms)
    rep.target(what + "every frame delivered", "the frames sent", None, figure=found["text"], ok=found["ok"])
    p99, theirs = (median(runs[name], latency("all", "p99")) for name in (ours, base))
    what += "latency p99 ≤ 50 ms (server's send to frame in hand)"
    rep.target(
        what,
        f"readers per thread: {theirs or math.nan:.1f} ms",
        p99,
        50.0,
        figure=f"{p99 or math.nan:.1f} ms",
    )


@section("fleet-files")
def fleet_files(bench: Any) -> None:
    frames, counts, runs, rep = 60 if bench.quick else 300, (1, 4, 16, 64), {}, bench.report
    encoder = bench.main["recipe"].encoder.replace("bitrate=4000", "bitrate=800")
    clip = bench.clip("", bench.recipe("bench_h264_720p", name="bench_h264_360p", **SIZE, frames=frames,
                                       encoder=encoder))  # fmt: skip
    rows = {"vantle open_streams": {"lib": "loop"}, "vantle, open_stream a thread": {"lib": "vantle"},
            "OpenCV, a thread a stream": {"lib": "opencv"},
            "PyAV, a thread a stream": {"lib": "pyav"}}  # fmt: skip
    for n in counts:
        print(f"[bench]  {n} streams", file=sys.stderr)
        repeats = 1 if n == 64 else bench.repeats
        found = bench.rows(rows, n * frames, repeats, kind="fleet", url=clip["url"], copies=n)
        runs.update({(name, n): found[name] for name in rows})
    rep.section(
        "Camera fleet: many recorded streams over HTTP",
        f"N copies (N = {', '.join(map(str, counts))}) of one 640x360 H.264 clip in MP4 ({frames} frames at "
        "30 frames/s, no B-frames, a keyframe every 30) under distinct URLs (`?copy=i`) of the benchmark's "
        "HTTP server, every frame of every copy read: by one `open_streams(urls, drop_frames=False)` loop; "
        "by an `open_stream` reader in a thread a stream; by OpenCV (`cv2.VideoCapture(url)`, `read()` to "
        "the end) and PyAV (`av.open(url)`, `decode(video=0)`, `frame.to_ndarray(format='bgr24')`) in a "
        "thread a stream. CPU (user + system, the whole process) and wall time from just before the first "
        "open (imports done, set-up included) to the last frame. *RSS per open stream*: RSS once every "
        "stream is open (readers in threads wait for one another after their first frame; the loop notes "
        "it when every stream has given one) less the RSS before, over N. The 64-stream rows run once.",
    )
    figures = {key: {"cpu": median(found, cpu_ms), "wall": median(found, lambda r: r["wall"])}
               for key, found in runs.items()}  # fmt: skip
    lines = []
    for n in counts:
        best = {k: min(figures[(peer, n)][k] or math.inf for peer in list(rows)[2:]) for k in ("cpu", "wall")}
        for name in rows:
            found, mine = runs[(name, n)], figures[(name, n)]
            per_stream = fmt([(r["rss_open"] - r["rss_before"]) / n / MB for r in found if r["rss_open"]], 1)
            lines.append([str(n), name, f"{sum(r['frames'] for r in found)} / {len(found) * n * frames}",
                          fmt([cpu_ms(r) for r in found]), fmt([r["wall"] for r in found]), ratio(mine["cpu"],
                          best["cpu"]), ratio(mine["wall"], best["wall"]), PEAK[1](found), per_stream,
                          LOAD[1](found)])  # fmt: skip
        for key, label in (("cpu", "CPU/frame"), ("wall", "wall")) if n in (1, 16, 64) else ():
            limit, ours = 1.2 if n == 1 else {"cpu": 0.9, "wall": 1.0}[key], figures[(list(rows)[0], n)][key]
            what = f"{n} file stream{'s' * (n > 1)}{' (set-up included)' * (n == 1)}: open_streams {label}"
            what += f" ≤ {limit}x"
            r = ours / best[key] if ours and best[key] < math.inf else None
            rep.target(what, "the better of OpenCV and PyAV, threads", r, limit)
    rep.grid(["streams", "contender", "frames delivered / expected", "CPU ms/frame", "wall s",
              "CPU vs the better peer", "wall vs the better peer", "peak RSS MB", "RSS per open stream MB",
              "load"], lines)  # fmt: skip
    for key, label in (("cpu", "CPU ms per frame"), ("wall", "wall s")):
        series = {name: (counts, [figures[(name, n)][key] or math.nan for n in counts]) for name in rows}
        rep.panels.append(curves(series, "streams", label, f"Camera fleet over HTTP: {label}", log_x=True))


@section("fleet-rtsp")
def fleet_rtsp(bench: Any) -> None:
    import live

    cameras, rate, seconds, rep = 16, 15, 6 if bench.quick else 20, bench.report
    ours, base = "vantle open_streams", "OpenCV, a thread a camera"
    rows = {ours: {"lib": "loop"}, base: {"lib": "opencv"}, "PyAV, a thread a camera": {"lib": "pyav"}}
    server = live.LiveServer("rtsp", str(cameras), str(rate))
    try:
        paths = [f"cam{i}" for i in range(cameras)]
        runs = bench.rows(rows, 0, kind="live", url=server.url, streams=paths, seconds=seconds, warm_up=2.0)
    finally:
        server.close()
    rep.section(
        f"Camera fleet: {cameras} live RTSP cameras",
        "GStreamer's RTSP server (bench/live.py, a process of its own, its CPU not counted) serves "
        f"{cameras} live 640x360 H.264 cameras at {rate} frames/s (x264 `tune=zerolatency`, a keyframe "
        "every 2 s), each encoding moving colour bars for its client. Every picture carries the moment it "
        "went to the encoder, as 40 black or white 16x16 blocks (the wall clock in µs) read back from the "
        "decoded BGR frame: *latency* is from there to the frame in hand (encoding, transport, jitter "
        "buffer, decoding, conversion). Readers with their default options: `open_streams` over the "
        f"{cameras} URLs; OpenCV and PyAV, a thread a camera, as for files. Each run a fresh process "
        f"reading for {seconds} s from 2 s after every camera delivered a frame; CPU is the process's over "
        "that window, per frame in it.",
    )
    rep.table(runs, [col("CPU ms/frame", cpu_ms), vs("CPU vs OpenCV", cpu_ms, runs[base]),
                     col("frames/s a camera", lambda r: r["frames"] / r["wall"] / cameras, 1),
                     col("latency p50 ms", latency("all", "p50"), 1), col("p99 ms", latency("all", "p99"), 1),
                     col("max ms", latency("all", "max"), 1), col("first frames s", lambda r: r["start"]),
                     PEAK, LOAD])  # fmt: skip
    rep.compare(f"{cameras} RTSP cameras: open_streams CPU/frame ≤ {{}}x", 0.9, base, runs[ours], runs[base],
                cpu_ms)  # fmt: skip
    theirs, what = (
        median(runs[base], latency("all", "p99")) or math.nan,
        f"{cameras} RTSP cameras: open_streams ",
    )
    rep.compare(what + "latency p99 ≤ {}x OpenCV's", 1.0, f"{base}: {theirs:.1f} ms", runs[ours], runs[base],
                latency("all", "p99"))  # fmt: skip


@section("video-data")
def video_data(bench: Any) -> None:
    import random

    rep, main = bench.report, bench.main
    frames = 300 if bench.quick else 1800
    encoder = main["recipe"].encoder.replace("key-int-max=30", "key-int-max=60")
    clip = bench.clip("", bench.recipe("bench_h264_720p", name=f"bench_h264_1080p_{frames}_gop60", width=1920,
                                       height=1080, frames=frames, encoder=encoder))  # fmt: skip
    seconds = frames / clip["recipe"].fps
    rng = random.Random(18)
    times = [round(rng.uniform(0, seconds - 0.1), 3) for _ in range(32)]  # asked in no order
    rep.section(
        "Video as data: frames at chosen times, sampling, RGB, stream info",
        "Local files, each contender in a fresh process with its imports done, CPU of every thread over "
        f"the call. *Frames at times*: {len(times)} random times (in no order) in a {seconds:.0f} s "
        "1920x1080 H.264 MP4 (a keyframe every 2 s, no B-frames): `vantle.read_frames_at(path, times=...)` "
        "against PyAV's loop, for each time in the order asked: `container.seek(t, backward=True)` to the "
        "keyframe before it, `decode` forward to the frame shown at t, `to_ndarray(format='bgr24')`. "
        f"*Sampling*: the main clip ({main['recipe'].frames} frames at 30 frames/s) at one frame a second: "
        "`open_stream(path, fps=1)` against OpenCV's `grab()` of every frame and `retrieve()` of one in 30. "
        "*RGB*: the main clip over HTTP, every frame, `format='rgb'` and `'gray'` against the default BGR. "
        "*Probe*: `vantle.probe(path)` against `av.open(path)` and its video stream's attributes (size, "
        "rate, codec, duration, frames), the first call in the process (GStreamer loads the plug-ins it "
        "uses on first use; PyAV loads FFmpeg when imported) and a second.",
    )
    ours, base = "vantle.read_frames_at", "PyAV seek + decode loop"
    runs = bench.rows({ours: {"lib": "vantle"}, base: {"lib": "pyav"}}, len(times), kind="frames-at",
                      url=str(clip["path"]), times=times)  # fmt: skip
    same = (
        all(r["shown"] == runs[base][0]["shown"] for r in runs[ours]) if runs[ours] and runs[base] else None
    )
    rep.text(f"**Frames at {len(times)} times**")
    rep.table(runs, [col("CPU ms/frame", cpu_ms), col("wall ms/frame", wall_ms), vs("CPU vs PyAV", cpu_ms,
                     runs[base]), ("same frames as PyAV", lambda found: {True: "yes", False: "**no**",
                     None: "n/a"}[same]), PEAK, LOAD])  # fmt: skip
    rep.compare(f"read_frames_at, {len(times)} times in 1080p H.264: CPU ≤ {{}}x", 0.8, base, runs[ours],
                runs[base], cpu_ms)  # fmt: skip
    rep.target("read_frames_at: the frames PyAV shows at the same times", base, None,
               figure={True: "the same", False: "different", None: "n/a"}[same], ok=same)  # fmt: skip
    ours, base, kept = (
        "vantle fps=1",
        "OpenCV grab() + retrieve() of one in 30",
        math.ceil(main["recipe"].frames / 30),
    )
    runs = bench.rows({ours: {"lib": "vantle"}, base: {"lib": "opencv"}}, kept, kind="sampled",
                      url=str(main["path"]), every=30)  # fmt: skip
    rep.text(f"**One frame a second** ({kept} of {main['recipe'].frames} frames)")
    rep.table(runs, [col("CPU ms/kept frame", cpu_ms), col("wall ms/kept frame", wall_ms),
                     vs("CPU vs OpenCV", cpu_ms, runs[base]), PEAK, LOAD])  # fmt: skip
    rep.compare("fps=1 on 30 frames/s 1080p: CPU ≤ {}x", 0.9, base, runs[ours], runs[base], cpu_ms)
    bgr, rgb = "vantle, format='bgr'", "vantle, format='rgb'"
    rows = {bgr: {"lib": "vantle"}, rgb: {"lib": "vantle", "format": "rgb"},
            "vantle, format='gray'": {"lib": "vantle", "format": "gray"}}  # fmt: skip
    runs = bench.rows(rows, main["recipe"].frames, max(bench.repeats, 5), kind="frames", url=main["url"])
    rep.text("**RGB and grey** (every frame; five runs or more a row: the difference sought is small)")
    rep.table(runs, per_frame(runs[bgr], "BGR"))
    rep.compare(
        "format='rgb': CPU/frame within {}x of BGR", 1.02, "format='bgr'", runs[rgb], runs[bgr], cpu_ms
    )
    ours, base = "vantle.probe", "PyAV av.open + stream attributes"
    runs = bench.rows({ours: {"lib": "vantle"}, base: {"lib": "pyav"}}, 1, 2 * bench.repeats, kind="probe",
                      url=str(main["path"]))  # fmt: skip
    first_ms: Callable = lambda r: 1000 * r["first"]["wall"]  # noqa: E731
    rep.text("**Stream info without the frames**")
    rep.table(runs, [col("first call ms", first_ms, 1), col("second call ms", wall_ms, 1),
                     vs("first vs PyAV", first_ms, runs[base]), vs("second vs PyAV", wall_ms, runs[base]),
                     LOAD])  # fmt: skip
    rep.compare("probe of a local MP4, first call: ≤ {}x", 1.2, base, runs[ours], runs[base], first_ms)
    rep.compare("probe of a local MP4, second call: ≤ {}x", 1.2, base, runs[ours], runs[base], wall_ms)
