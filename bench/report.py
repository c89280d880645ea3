"""Writes the results of bench/run_all.py as benchmarks.md (tables, ratios, targets, machine
state) and benchmarks.png (a bar chart and the memory curves)."""

from __future__ import annotations

import functools
import statistics
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

# Targets, as ratios to the baselines they are measured against.
COPY_RATIO_1080P = 1.25  # sample_to_ndarray / one numpy copy
ELEMENT_CPU_RATIO = 0.25  # vantleconvert / videoconvert, CPU per frame
# 1080p 8-bit 4:2:0 H.264, every frame:
READER_CPU_VS_BEST_PEER = 1.0  # vantle reader / the better of OpenCV and PyAV, CPU per frame
READER_CPU_VS_DECODER = 1.2  # vantle reader / gst-launch with the decoder alone into fakesink
READER_FPS_VS_OPENCV = 1.1  # vantle reader / OpenCV, frames per second
DEEP_COLOUR_CPU_VS_OPENCV = 0.7  # 1080p 10-bit streams: vantle reader / OpenCV, CPU per frame
SIZE_CPU_VS_OPENCV = 0.8  # size=(640, 360) from 1080p / OpenCV read() + cv2.resize, CPU per frame
STARTUP_VS_OPENCV = 1.0  # process start to the first array: vantle / OpenCV
KEYFRAMES_VS_PYAV = 1.0  # keyframes per second, vantle / PyAV
MEMORY_FLAT_BYTES = 10 * 1024 * 1024  # RSS growth after warm-up
# A caller keeping the last N frames: RSS above the dropping run's, in frames' worth of N frames.
KEEP_GROWTH_RANGE = (0.75, 1.25)
RAY_VS_SEQUENTIAL = 0.8  # frames/s, vantle.ray.read_frames on 2 CPUs / one process reading in turn
# 16 live 640x360 streams at 15 fps: one open_streams loop / an open_stream reader per thread,
# CPU per frame; and the loop's latency from the server's send to the frame in hand, p99.
LIVE_CPU_VS_THREADS = 1.1
LIVE_LATENCY_P99_MS = 50.0

OPENCV = "OpenCV VideoCapture"
PYAV = "PyAV"
PYAV_THREADS = "PyAV, thread_type=AUTO"
DECODE_ONLY = "gst-launch: decode only"
READER = "vantle reader"
MB = 1024 * 1024


def stats(values: Sequence[float]) -> Tuple[float, float, float]:
    return statistics.median(values), min(values), max(values)


def fmt(values: Sequence[float], digits: int = 2) -> str:
    if not values:
        return "n/a"
    median, low, high = stats(values)
    return f"{median:.{digits}f} ({low:.{digits}f}–{high:.{digits}f})"


def ratio(a: Optional[float], b: Optional[float]) -> str:
    return f"{a / b:.2f}x" if a is not None and b else "n/a"


def verdict(ok: Optional[bool]) -> str:
    return "n/a" if ok is None else ("**met**" if ok else "**missed**")


def load_range(loads: Sequence[float]) -> str:
    return f"{min(loads):.1f}–{max(loads):.1f}" if loads else "n/a"


class Rows:
    """Per-frame figures of the rows of one section (each row a list of runs)."""

    def __init__(self, rows: Dict[str, List[Dict[str, Any]]]):
        self.rows = {name: runs for name, runs in rows.items() if runs}

    def values(self, name: str, what: Callable[[Dict[str, Any]], float]) -> List[float]:
        values = [what(run) for run in self.rows.get(name, []) if run["frames"]]
        return [v for v in values if v == v]  # no NaN: a figure the row does not have

    def wall_ms(self, name: str) -> List[float]:
        return self.values(name, lambda r: 1000 * r["wall"] / r["frames"])

    def cpu_ms(self, name: str) -> List[float]:
        return self.values(name, lambda r: 1000 * r["cpu"] / r["frames"])

    def process_cpu_ms(self, name: str) -> List[float]:
        return self.values(name, lambda r: 1000 * r["process_cpu"] / r["frames"])

    def fps(self, name: str) -> List[float]:
        return self.values(name, lambda r: r["frames"] / r["wall"])

    def steady_fps(self, name: str) -> List[float]:
        """Frames per second after the first frame (the open left out); Python rows only."""
        return self.values(
            name,
            lambda r: (
                (r["frames"] - 1) / (r["wall"] - r["extra"]["first"]["wall"])
                if r["extra"].get("first") and r["frames"] > 1
                else float("nan")
            ),
        )

    def steady_ms(self, name: str, key: str) -> List[float]:
        """Wall or CPU ms per frame after the first frame (the open left out)."""
        return self.values(
            name,
            lambda r: (
                1000 * (r[key] - r["extra"]["first"][key]) / (r["frames"] - 1)
                if r["extra"].get("first") and r["frames"] > 1
                else float("nan")
            ),
        )

    def median(self, name: str, what: str) -> Optional[float]:
        values = getattr(self, what)(name)
        return statistics.median(values) if values else None

    def loads(self, name: str) -> List[float]:
        return [run["load"] for run in self.rows.get(name, [])]


def write(results: Dict[str, Any], out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    targets: List[Tuple[str, str, str, str]] = []  # (target, baseline, figure, verdict)
    body: List[str] = []
    sections = results["sections"]

    if "frame-copy" in sections:
        body += _frame_copy(sections["frame-copy"], targets)
    if "convert-element" in sections:
        body += _convert_element(sections["convert-element"], targets)
    if "end-to-end" in sections:
        body += _end_to_end(sections["end-to-end"], results, targets)
    if "deep-colour" in sections:
        body += _deep_colour(sections["deep-colour"], targets)
    if "size" in sections:
        body += _size(sections["size"], targets)
    if "reader-overhead" in sections:
        body += _reader_overhead(sections["reader-overhead"])
    if "keyframes" in sections:
        body += _keyframes(sections["keyframes"], targets)
    if "first-frame" in sections:
        body += _first_frame(sections["first-frame"])
    if "start-up" in sections:
        body += _start_up(sections["start-up"], targets)
    if "memory" in sections:
        body += _memory(sections["memory"], targets)
    if "decoder-sweep" in sections:
        body += _decoder_sweep(sections["decoder-sweep"])
    if "ray" in sections:
        body += _ray(sections["ray"], targets)
    if "many-streams" in sections:
        body += _many_streams(sections["many-streams"], targets)

    media = results["media"]
    before, after = results["states"][0], results["states"][-1]
    lines = [
        "# Benchmarks",
        "",
        "vantle side by side with the limits of the stack and with its peers (OpenCV, PyAV), on one "
        "machine, in one run. Every figure is also given as a ratio to its baseline.",
        "",
        "Produced by:",
        "",
        "```",
        results["command"],
        "```",
        "",
        (
            "**Quick run** (smoke test: short clip, few repeats; not for conclusions). "
            if results["quick"]
            else ""
        )
        + f"Each row was run {results['repeats']} times, every run a fresh process, the rows of a section "
        "taking turns in a rotating order. Figures are median (min–max) over the runs. "
        f"The whole run took {results['seconds'] / 60:.1f} minutes.",
        "",
        "## Targets",
        "",
        "| target | baseline | figure | |",
        "|---|---|---|---|",
        *[f"| {t} | {b} | {f} | {v} |" for t, b, f, v in targets],
        "",
        *_analysis(results),
        "## Machine and load",
        "",
        f"- CPU: {results['cpu_model']}, {results['cores']} cores (shared with other workers: see the load).",
        f"- Load average (1, 5, 15 min) before: {_load(before['load'])}; after: {_load(after['load'])}.",
        f"- Busiest other processes before ({before['time']}): {_busy(before['busy'])}",
        f"- Busiest other processes after ({after['time']}): {_busy(after['busy'])}",
        "- Load average (1 min) at the start of each section's runs is given with each table.",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in results["versions"].items()) + ".",
        f"- Media: {media['width']}x{media['height']} H.264 in MP4, {media['frames']} frames, a keyframe "
        f"every {media['keyint']} frames, {media['bytes'] / MB:.1f} MB, made once and cached with "
        f"`{media['pipeline']}`; served to every contender by one HTTP server on 127.0.0.1 (Range "
        "requests supported) in the benchmark's own process.",
        f"- Decoded format: {results.get('decoded_format', 'n/a')}, so vantle converts with "
        f"`{results.get('converter', 'n/a')}`.",
        "",
        *body,
    ]
    if results.get("notes"):
        lines += ["## Not run", "", *[f"- {n}" for n in results["notes"]], ""]
    if results.get("failures"):
        lines += ["## Failures", "", *[f"- {f}" for f in results["failures"]], ""]
    (out / "benchmarks.md").write_text("\n".join(lines))
    _chart(results, out / "benchmarks.png")


def _analysis(results: Dict[str, Any]) -> List[str]:
    """Where the reader's time goes, from the figures of this run."""
    sections = results["sections"]
    if "end-to-end" not in sections:
        return []
    rows = Rows(sections["end-to-end"]["rows"])
    gst_row = f"gst-launch: {sections['end-to-end']['converter']}"
    med = rows.median
    decode_cpu, decode_fps = med("gst-launch: decode only", "cpu_ms"), med("gst-launch: decode only", "fps")
    opencv_cpu, opencv_fps = med(OPENCV, "cpu_ms"), med(OPENCV, "fps")
    bare, arrays = "vantle pipeline, bare pull loop", "vantle pipeline, bare pull + sample_to_ndarray"
    lines = ["## Where the reader's time goes", ""]
    if decode_cpu and opencv_cpu:
        lines.append(
            f"- **The decoder sets the floor.** Decoding alone in GStreamer (avdec_h264, no conversion, "
            f"fakesink) costs {decode_cpu:.2f} ms CPU per frame: {decode_cpu / opencv_cpu:.2f}x OpenCV's "
            f"whole decode + conversion + array ({opencv_cpu:.2f} ms); the reader may cost up to "
            f"{READER_CPU_VS_DECODER}x the decoder alone. Its {decode_fps:.0f} frames/s are "
            f"{decode_fps / opencv_fps:.2f}x OpenCV's (target for the reader: {READER_FPS_VS_OPENCV}x). "
            "No work after the decoder can bring the reader under what the decoder alone costs; PyAV "
            "shows the same FFmpeg decoder costs less CPU when called directly."
        )
    steps = [
        (gst_row, bare, "the reader's pipeline (parsebin, decoder, queue, converter, appsink) against "
         "gst-launch with decodebin and fakesink"),
        (bare, arrays, "the array: `sample_to_ndarray`'s copy of every 6 MB BGR frame"),
        (arrays, READER, "the reader's Python code around the pull (see 3b for its cost per frame alone)"),
    ]  # fmt: skip
    for before, after, what in steps:
        a, b = med(before, "cpu_ms"), med(after, "cpu_ms")
        fa, fb = med(before, "fps"), med(after, "fps")
        if a and b and fa and fb:
            lines.append(
                f"- From *{before}* to *{after}* ({what}): CPU {b - a:+.2f} ms per frame "
                f"({b / a:.2f}x), frames/s {fb / fa:.2f}x."
            )
    firsts = [run["extra"]["first"] for run in rows.rows.get(READER, []) if run["extra"].get("first")]
    if firsts:
        first_cpu = statistics.median(f["cpu"] for f in firsts)
        first_wall = statistics.median(f["wall"] for f in firsts)
        frames = results["media"]["frames"]
        lines.append(
            f"- The open (build, plugins loaded on first use, first frame) takes {1000 * first_wall:.0f} ms "
            f"and {1000 * first_cpu:.0f} ms CPU in a fresh process: {1000 * first_cpu / frames:.2f} ms of "
            f"CPU per frame over this {frames}-frame clip (section 5 splits it)."
        )
    overhead = sections.get("reader-overhead")
    if overhead:
        tiny = Rows(overhead["rows"])
        a = _median(tiny.steady_ms("bare pull loop + sample_to_ndarray", "wall"))
        b = _median(tiny.steady_ms(READER, "wall"))
        reader_wall = med(READER, "wall_ms")
        if a and b and reader_wall:
            lines.append(
                f"- The reader's Python code adds {1000 * (b - a):.0f} µs of wall time per frame (3b): "
                f"{100 * (b - a) / reader_wall:.1f} % of a 1080p frame's {reader_wall:.2f} ms here."
            )
    return lines + [""]


def _load(load: Sequence[float]) -> str:
    return " / ".join(f"{x:.2f}" for x in load)


def _busy(busy: List[Dict[str, Any]]) -> str:
    if not busy:
        return "none above 2 % of a core."
    return "; ".join(f"`{p['command'][:60]}` {100 * p['cpu']:.0f} % of a core" for p in busy) + "."


def _frame_copy(data: Dict[str, Any], targets: List) -> List[str]:
    lines = [
        "## 1. Frame conversion: `sample_to_ndarray` against one numpy copy, and `sample_as_ndarray`",
        "",
        "A BGR sample from videotestsrc, converted by `sample_to_ndarray` and, as the limit, mapped and "
        "copied once with `np.frombuffer(...).copy()` (bench/bench_frames.py's interleaved loop, "
        "300 rounds per run, in one thread: CPU time equals wall time). Per-run medians; median "
        f"(min–max) over runs. Load at the runs: {load_range(data['loads'])}.",
        "",
        "`sample_as_ndarray` makes no copy: its array keeps the buffer mapped, and the mapping is "
        "released when the array is dropped, within the timed call.",
        "",
        "| frame | sample_to_ndarray µs | numpy copy µs | ratio | target | sample_as_ndarray µs | "
        "vs sample_to_ndarray |",
        "|---|---|---|---|---|---|---|",
    ]
    for size in ("1920x1080", "640x480"):
        ours = [1e6 * run[size]["ours"] for run in data["runs"]]
        base = [1e6 * run[size]["baseline"] for run in data["runs"]]
        zero = [1e6 * run[size]["zero_copy"] for run in data["runs"] if "zero_copy" in run[size]]
        if not ours:
            continue
        zero_ratio = ratio(_median(zero), statistics.median(ours))
        r = statistics.median(ours) / statistics.median(base)
        target = ""
        if size == "1920x1080":
            ok = r <= COPY_RATIO_1080P
            target = f"≤ {COPY_RATIO_1080P}x: {verdict(ok)}"
            targets.append(
                (
                    f"sample_to_ndarray at 1080p ≤ {COPY_RATIO_1080P}x",
                    "one numpy copy",
                    f"{r:.2f}x",
                    verdict(ok),
                )
            )
        lines.append(
            f"| {size} | {fmt(ours, 0)} | {fmt(base, 0)} | {r:.2f}x | {target} | "
            f"{fmt(zero, 1)} | {zero_ratio} |"
        )
    return lines + [""]


def _convert_element(data: Dict[str, Any], targets: List) -> List[str]:
    runs = data["runs"]
    if not runs:
        return ["## 2. Conversion element", "", "No run succeeded.", ""]
    frames = data["frames"]
    first = runs[0]
    names = [n for n in first["converters"] if n != "source only"]
    per_frame = {
        name: [
            1000 * (r["converters"][name]["cpu"] - r["converters"]["source only"]["cpu"]) / frames
            for r in runs
        ]
        for name in names
    }
    wall = {
        name: [1000 * r["converters"][name]["wall"] / frames for r in runs] for name in first["converters"]
    }
    reference = statistics.median(per_frame["videoconvert"])
    lines = [
        "## 2. The conversion element against videoconvert, on the stream's own decoded frames",
        "",
        f"The clip's first decoded frames ({first['format']}, {first['size']}), decoded once and kept in "
        f"memory, pushed through `appsrc ! CONVERTER ! video/x-raw,format=BGR ! fakesink` ({frames} frames a "
        "run; the converters of bench/bench_convert.py take turns in one process). CPU time is the "
        "process's over the pushes, less that of the same pushes without a converter "
        f"({fmt([1000 * r['converters']['source only']['cpu'] / frames for r in runs])} ms per frame). "
        f"Load at the runs: {load_range(data['loads'])}.",
        "",
        "| converter | CPU ms/frame | wall ms/frame (source included) | CPU vs videoconvert |",
        "|---|---|---|---|",
    ]
    for name in names:
        lines.append(
            f"| {name} | {fmt(per_frame[name])} | {fmt(wall[name])} | "
            f"{statistics.median(per_frame[name]) / reference:.3f}x |"
        )
    # The element as the factory base sets it up (one thread; the pipeline's queue already
    # runs conversion beside decoding). The default, one thread per core, is shown above.
    ours = "vantleconvert n-threads=1"
    if ours in per_frame:
        r = statistics.median(per_frame[ours]) / reference
        ok = r <= ELEMENT_CPU_RATIO
        targets.append(
            (
                f"vantleconvert (n-threads=1, as the reader uses it) CPU ≤ {ELEMENT_CPU_RATIO}x",
                "videoconvert",
                f"{r:.3f}x",
                verdict(ok),
            )
        )
    return lines + [""]


def _end_to_end(data: Dict[str, Any], results: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    converter = data["converter"]
    gst_row = f"gst-launch: {converter}"
    opencv_cpu, opencv_fps = rows.median(OPENCV, "cpu_ms"), rows.median(OPENCV, "fps")
    gst_cpu, gst_fps = rows.median(gst_row, "cpu_ms"), rows.median(gst_row, "fps")
    media = results["media"]
    lines = [
        f"## 3. End to end: {media['width']}x{media['height']} H.264 over HTTP, every frame",
        "",
        "- gst-launch rows: `gst-launch-1.0 souphttpsrc location=URL ! decodebin ! ... ! fakesink`, "
        "timed as the whole process: its start-up and the loading of GStreamer's plugins count, as they "
        "count in the open of the other rows.",
        "- vantle reader: `for frame in open_stream(url)`; OpenCV: `VideoCapture(url, CAP_FFMPEG)` and a "
        "`read()` loop; PyAV: `av.open(url)`, `decode(stream)`, `frame.to_ndarray(format='bgr24')` "
        "(with its default threading, and with `thread_type='AUTO'`). Timed from just before the open to "
        "the end of the stream (imports excluded); CPU is the process's, all threads.",
        "- *Process CPU* is the kernel's count for the whole process, interpreter start-up and imports "
        "included.",
        "",
        "- *Frames/s after the first* leaves the open and the first frame out (Python rows only).",
        "- The two *vantle pipeline* rows are diagnostics: the reader's own pipeline (built by the same "
        "factory) pulled in a bare loop, without and with `sample_to_ndarray`, so that the cost of the "
        "array and of the reader's Python code show by difference.",
        "",
        "| contender | wall ms/frame | CPU ms/frame | frames/s | frames/s after the first | CPU vs OpenCV | "
        f"fps vs OpenCV | CPU vs {gst_row} | fps vs {gst_row} | process CPU ms/frame | peak RSS MB | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name in rows.rows:
        peak = [run["max_rss"] / MB for run in rows.rows[name]]
        lines.append(
            f"| {name} | {fmt(rows.wall_ms(name))} | {fmt(rows.cpu_ms(name))} | {fmt(rows.fps(name), 1)} | "
            f"{fmt(rows.steady_fps(name), 1)} | "
            f"{ratio(rows.median(name, 'cpu_ms'), opencv_cpu)} | "
            f"{ratio(rows.median(name, 'fps'), opencv_fps)} | "
            f"{ratio(rows.median(name, 'cpu_ms'), gst_cpu)} | {ratio(rows.median(name, 'fps'), gst_fps)} | "
            f"{fmt(rows.process_cpu_ms(name))} | {max(peak):.0f} | {load_range(rows.loads(name))} |"
        )
    reader_cpu, reader_fps = rows.median(READER, "cpu_ms"), rows.median(READER, "fps")
    peers = {name: rows.median(name, "cpu_ms") for name in (OPENCV, PYAV, PYAV_THREADS)}
    peers = {name: cpu for name, cpu in peers.items() if cpu}
    if reader_cpu and peers:
        best = min(peers, key=peers.get)
        r = reader_cpu / peers[best]
        targets.append(
            (
                f"1080p H.264: reader CPU/frame ≤ {READER_CPU_VS_BEST_PEER}x the better of OpenCV and PyAV",
                best,
                f"{r:.2f}x",
                verdict(r <= READER_CPU_VS_BEST_PEER),
            )
        )
    decoder_cpu = rows.median(DECODE_ONLY, "cpu_ms")
    if reader_cpu and decoder_cpu:
        r = reader_cpu / decoder_cpu
        targets.append(
            (
                f"1080p H.264: reader CPU/frame ≤ {READER_CPU_VS_DECODER}x the decoder alone",
                DECODE_ONLY,
                f"{r:.2f}x",
                verdict(r <= READER_CPU_VS_DECODER),
            )
        )
    if reader_fps and opencv_fps:
        r = reader_fps / opencv_fps
        targets.append(
            (
                f"1080p H.264: reader frames/s ≥ {READER_FPS_VS_OPENCV}x",
                "OpenCV",
                f"{r:.2f}x",
                verdict(r >= READER_FPS_VS_OPENCV),
            )
        )
    return lines + [""]


def _per_frame_table(rows: Rows, base: Optional[str], base_label: str) -> List[str]:
    """CPU and wall per frame, frames/s and ratios to `base` of every row."""
    base_cpu = rows.median(base, "cpu_ms") if base else None
    base_fps = rows.median(base, "fps") if base else None
    lines = [
        f"| contender | CPU ms/frame | wall ms/frame | frames/s | CPU vs {base_label} | "
        f"fps vs {base_label} | peak RSS MB | load |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for name in rows.rows:
        peak = max(run["max_rss"] for run in rows.rows[name]) / MB
        lines.append(
            f"| {name} | {fmt(rows.cpu_ms(name))} | {fmt(rows.wall_ms(name))} | {fmt(rows.fps(name), 1)} | "
            f"{ratio(rows.median(name, 'cpu_ms'), base_cpu)} | {ratio(rows.median(name, 'fps'), base_fps)} | "
            f"{peak:.0f} | {load_range(rows.loads(name))} |"
        )
    return lines


def _unavailable(data: Dict[str, Any]) -> List[str]:
    """The clips of a section that this machine could not make (an encoder without 10-bit support)."""
    return [
        f"- {name}: not made on this machine ({reason}).\n"
        for name, reason in data.get("unavailable", {}).items()
    ]


def _deep_colour(data: Dict[str, Any], targets: List) -> List[str]:
    lines = [
        "## 3c. 10-bit streams over HTTP, every frame",
        "",
        "Moving colour bars encoded at 10 bits (tests/support/media.py's BENCH_CATALOGUE), each contender "
        "timed as in section 3. *Decoder alone*: PyAV decoding with frame and slice threads and "
        "converting nothing, and gst-launch decoding into fakesink (the whole process timed).",
        "",
    ]
    lines += _unavailable(data)
    for name, clip in data["clips"].items():
        rows = Rows(clip["rows"])
        lines += [
            f"### {clip['width']}x{clip['height']} {clip['codec'].upper()}, {clip['raw_format']} pictures "
            f"({name}, {clip['frames']} frames), decoded to {clip['decoded_format']}",
            "",
            *_per_frame_table(rows, "OpenCV read()", "OpenCV"),
            "",
        ]
        reader_cpu, opencv_cpu = rows.median(READER, "cpu_ms"), rows.median("OpenCV read()", "cpu_ms")
        if reader_cpu and opencv_cpu:
            r = reader_cpu / opencv_cpu
            targets.append(
                (
                    f"1080p 10-bit {clip['codec'].upper()} ({clip['decoded_format']}): reader CPU/frame ≤ "
                    f"{DEEP_COLOUR_CPU_VS_OPENCV}x",
                    "OpenCV",
                    f"{r:.2f}x",
                    verdict(r <= DEEP_COLOUR_CPU_VS_OPENCV),
                )
            )
    return lines


def _size(data: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    base = "OpenCV read() + cv2.resize(INTER_AREA)"
    ours = next((n for n in rows.rows if n.startswith("vantle")), None)
    lines = [
        "## 3d. Frames at the size the model needs: 640x360 from the 1080p stream",
        "",
        "The reader asked for `size=(640, 360)` (scaled before conversion), against OpenCV's `read()` "
        "followed by `cv2.resize(frame, (640, 360), interpolation=cv2.INTER_AREA)`. Timed as in section 3.",
        "",
        *_per_frame_table(rows, base, "OpenCV + resize"),
        "",
    ]
    if ours is None:
        lines += ["The reader row did not run (see *Not run*).", ""]
    base_cpu = rows.median(base, "cpu_ms")
    reader_cpu = rows.median(ours, "cpu_ms") if ours else None
    if reader_cpu and base_cpu:
        r = reader_cpu / base_cpu
        targets.append(
            (
                f"size=(640, 360) from 1080p: reader CPU/frame ≤ {SIZE_CPU_VS_OPENCV}x",
                "OpenCV read() + cv2.resize",
                f"{r:.2f}x",
                verdict(r <= SIZE_CPU_VS_OPENCV),
            )
        )
    else:
        targets.append((f"size=(640, 360): reader CPU/frame ≤ {SIZE_CPU_VS_OPENCV}x", base, "n/a", "n/a"))
    return lines


def _start_up(data: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    names = list(rows.rows)
    opencv = next((n for n in names if n.startswith("OpenCV")), None)
    ours = next((n for n in names if n.startswith("vantle")), None)
    base = rows.median(opencv, "wall_ms") if opencv else None
    lines = [
        "## 5b. From process start to the first frame",
        "",
        "Each sample a fresh process, timed from the moment it is spawned (interpreter start-up and "
        "every import included) to the first BGR array in hand; CPU is the process's up to then.",
        "",
        "| contender | time to first array ms | CPU ms | vs OpenCV | load |",
        "|---|---|---|---|---|",
    ]
    for name in names:
        lines.append(
            f"| {name} | {fmt(rows.wall_ms(name), 0)} | {fmt(rows.cpu_ms(name), 0)} | "
            f"{ratio(rows.median(name, 'wall_ms'), base)} | {load_range(rows.loads(name))} |"
        )
    if ours and base:
        r = rows.median(ours, "wall_ms") / base
        targets.append(
            (
                f"process start to first array ≤ {STARTUP_VS_OPENCV}x",
                "OpenCV: import cv2, VideoCapture, read()",
                f"{r:.2f}x",
                verdict(r <= STARTUP_VS_OPENCV),
            )
        )
    return lines + [""]


def _decoder_sweep(data: Dict[str, Any]) -> List[str]:
    lines = [
        "## 7. Decoder settings",
        "",
        "Each setting changed alone from the decoder's defaults (and the two threading modes at two "
        "threads), in a bare `souphttpsrc ! parsebin ! DECODER ! fakesink` (gst-launch, the whole process "
        "timed, start-up included) and in the reader's own pipeline (built by the HTTP factory, the setting "
        "applied over the factory's as the decoder joins, pulled with `sample_to_ndarray`). *Sink takes "
        "video meta*: fakevideosink instead of fakesink, which accepts padded pictures and offers a pool. "
        "*Defaults* are the decoder's own in the bare pipeline and the factory base's in the reader's; "
        "ratios are to the same pipeline's *defaults* row.",
        "",
    ]
    lines += _unavailable(data)
    for name, clip in data["clips"].items():
        rows = Rows(clip["rows"])
        lines += [
            f"### {clip['decoder']}: {clip['width']}x{clip['height']} {clip['codec'].upper()} ({name}, "
            f"{clip['frames']} frames, decoded to {clip['decoded_format']})",
            "",
            "| setting | bare CPU ms/frame | bare frames/s | bare CPU vs defaults | reader's pipeline CPU "
            "ms/frame | frames/s | CPU vs defaults | fps vs defaults |",
            "|---|---|---|---|---|---|---|---|",
        ]
        settings = list(dict.fromkeys(row.split(" | ", 1)[1] for row in clip["rows"]))
        bare_base = rows.median("bare | defaults", "cpu_ms")
        reader_base = rows.median("reader's pipeline | defaults", "cpu_ms")
        reader_base_fps = rows.median("reader's pipeline | defaults", "fps")
        for setting in settings:
            bare, reader = f"bare | {setting}", f"reader's pipeline | {setting}"
            lines.append(
                f"| {setting} | {fmt(rows.cpu_ms(bare))} | {fmt(rows.fps(bare), 1)} | "
                f"{ratio(rows.median(bare, 'cpu_ms'), bare_base)} | {fmt(rows.cpu_ms(reader))} | "
                f"{fmt(rows.fps(reader), 1)} | {ratio(rows.median(reader, 'cpu_ms'), reader_base)} | "
                f"{ratio(rows.median(reader, 'fps'), reader_base_fps)} |"
            )
        lines.append("")
    return lines


def _reader_overhead(data: Dict[str, Any]) -> List[str]:
    rows = Rows(data["rows"])
    base = "bare pull loop + sample_to_ndarray"
    lines = [
        "## 3b. The reader's own cost per frame",
        "",
        f"{data['frames']} tiny frames (64x48 BGR from videotestsrc, so that decoding and copying cost "
        "next to nothing) through the reader (`open_stream(..., pipeline=...)`) and through a bare "
        "`try_pull_sample` + `sample_to_ndarray` loop on the same pipeline and appsink settings, timed "
        "after the first frame. The difference is what the reader's Python code adds to every frame.",
        "",
        "| contender | wall µs/frame | CPU µs/frame | wall vs bare loop | added wall µs/frame | "
        "added CPU µs/frame | load |",
        "|---|---|---|---|---|---|---|",
    ]
    base_wall = _median(rows.steady_ms(base, "wall"))
    base_cpu = _median(rows.steady_ms(base, "cpu"))
    for name in rows.rows:
        wall = [1000 * v for v in rows.steady_ms(name, "wall")]
        cpu = [1000 * v for v in rows.steady_ms(name, "cpu")]
        med_wall, med_cpu = _median(wall), _median(cpu)
        added_wall = f"{med_wall - 1000 * base_wall:+.1f}" if base_wall and med_wall else "n/a"
        added_cpu = f"{med_cpu - 1000 * base_cpu:+.1f}" if base_cpu and med_cpu else "n/a"
        vs_bare = ratio(med_wall, 1000 * base_wall if base_wall else None)
        lines.append(
            f"| {name} | {fmt(wall, 1)} | {fmt(cpu, 1)} | {vs_bare} | "
            f"{added_wall} | {added_cpu} | {load_range(rows.loads(name))} |"
        )
    return lines + [""]


def _median(values: Sequence[float]) -> Optional[float]:
    return statistics.median(values) if values else None


def _keyframes(data: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    names = list(rows.rows)
    pyav = next((n for n in names if n.startswith("PyAV")), None)
    ours = next((n for n in names if n.startswith("vantle")), None)
    lines = [
        "## 4. Keyframes only",
        "",
        f"The same stream, only its {data['keyframes']} keyframes decoded and delivered as BGR arrays "
        "(PyAV with its default threading). Timed from just before the open to the end of the stream.",
        "",
        "| contender | wall ms/keyframe | CPU ms/keyframe | keyframes/s | keyframes/s vs PyAV | "
        "CPU vs PyAV | keyframes/s after the first | vs PyAV | load |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    base_steady = rows.median(pyav, "steady_fps") if pyav else None
    base_fps = rows.median(pyav, "fps") if pyav else None
    base_cpu = rows.median(pyav, "cpu_ms") if pyav else None
    for name in names:
        lines.append(
            f"| {name} | {fmt(rows.wall_ms(name))} | {fmt(rows.cpu_ms(name))} | {fmt(rows.fps(name), 1)} | "
            f"{ratio(rows.median(name, 'fps'), base_fps)} | {ratio(rows.median(name, 'cpu_ms'), base_cpu)} | "
            f"{fmt(rows.steady_fps(name), 1)} | {ratio(rows.median(name, 'steady_fps'), base_steady)} | "
            f"{load_range(rows.loads(name))} |"
        )
    if ours and base_fps:
        r = rows.median(ours, "fps") / base_fps
        targets.append(
            (
                f"keyframes/s ≥ {KEYFRAMES_VS_PYAV}x (open included)",
                "PyAV skip_frame='NONKEY'",
                f"{r:.2f}x",
                verdict(r >= KEYFRAMES_VS_PYAV),
            )
        )
    if ours and base_steady:
        r = rows.median(ours, "steady_fps") / base_steady
        targets.append(
            (
                f"keyframes/s ≥ {KEYFRAMES_VS_PYAV}x (after the first keyframe)",
                "PyAV skip_frame='NONKEY'",
                f"{r:.2f}x",
                verdict(r >= KEYFRAMES_VS_PYAV),
            )
        )
    return lines + [""]


def _first_frame(data: Dict[str, Any]) -> List[str]:
    rows = Rows(data["rows"])
    names = list(rows.rows)
    opencv = next((n for n in names if n.startswith("OpenCV")), None)
    pyav = next((n for n in names if n.startswith("PyAV")), None)
    lines = [
        "## 5. Time to first frame",
        "",
        "From just before the open (imports done) to the first BGR array in hand, each sample a fresh "
        "process. *Second open*: the same, after one open, read and close in that process, so that "
        "what is loaded once per process (GStreamer's plugins, libav among them, are loaded on first "
        "use; OpenCV and PyAV load FFmpeg when imported) is out of the figure.",
        "",
        "| contender | time to first frame ms | CPU ms | vs OpenCV | vs PyAV | load |",
        "|---|---|---|---|---|---|",
    ]
    base = {n: rows.median(n, "wall_ms") if n else None for n in (opencv, pyav)}
    for name in names:
        lines.append(
            f"| {name} | {fmt(rows.wall_ms(name), 0)} | {fmt(rows.cpu_ms(name), 0)} | "
            f"{ratio(rows.median(name, 'wall_ms'), base[opencv])} | "
            f"{ratio(rows.median(name, 'wall_ms'), base[pyav])} | "
            f"{load_range(rows.loads(name))} |"
        )
    return lines + ["", "No target: the figures are for comparison.", ""]


def flatness(
    samples: List[Dict[str, int]], key: str, position: str, warm_up: int
) -> Optional[Dict[str, Any]]:
    """The figures of `key` after warm-up; growth compares the medians of the last and first
    thirds, so that the few frames in flight at the moment of a note do not count as growth."""
    after = [s for s in samples if s[position] > warm_up]
    if len(after) < 3:
        return None
    values = [s[key] for s in after]
    third = len(values) // 3
    growth = statistics.median(values[-third:]) - statistics.median(values[:third])
    return {"first": values[0], "min": min(values), "max": max(values), "last": values[-1], "growth": growth}


def _memory(data: Dict[str, Any], targets: List) -> List[str]:
    vantle, bare = data["runs"]["vantle"], data["runs"]["bare"]
    lines = [
        "## 6. Memory and resources",
        "",
        f"Endless stream: the clip's H.264 byte stream served over and over as one HTTP response, "
        f"{data['frames']} frames read (vantle: {vantle['reading_fps']:.1f} frames/s), RSS, threads and "
        f"file descriptors noted along the way; warm-up: the first {data['warm_up_frames']} frames. "
        f"Build/teardown: open, one frame, close, {data['cycles']} times (vantle: "
        f"{vantle['building_seconds']:.0f} s), a collection before each note; warm-up: the first "
        f"{data['warm_up_cycles']} cycles. The baseline (*bare*) is the same elements in a plain launch "
        "string (`souphttpsrc ! decodebin ! queue ! vantleconvert ! appsink`) pulled with "
        "`try_pull_sample` + `sample_to_ndarray`, built with `Gst.parse_launch` and torn down with "
        f"`set_state(NULL)`. Load at the runs: {load_range(data['loads'])}.",
        "",
        "RSS moves with the frames in flight when a note is taken (a 1080p frame is 6 MB); *growth* is the "
        "median of the last third of the notes after warm-up less that of the first third (threads and "
        "descriptors likewise).",
        "",
        "| run | RSS after warm-up MB (first / min / max / last) | RSS growth | threads (min–max), growth | "
        "fds (min–max), growth | flat? |",
        "|---|---|---|---|---|---|",
    ]
    for label, key, position, warm_up, count in [
        ("endless stream", "reading", "frame", data["warm_up_frames"], f"{data['frames']} frames"),
        ("build/teardown", "building", "cycle", data["warm_up_cycles"], f"{data['cycles']} cycles"),
    ]:
        figures = {}
        for who, run in (("vantle", vantle), ("bare", bare)):
            rss = flatness(run[key], "rss", position, warm_up)
            threads = flatness(run[key], "threads", position, warm_up)
            fds = flatness(run[key], "fds", position, warm_up)
            if rss is None or threads is None or fds is None:
                lines.append(f"| {label}, {who} | n/a | | | | |")
                continue
            ok = abs(rss["growth"]) <= MEMORY_FLAT_BYTES and threads["growth"] <= 0 and fds["growth"] <= 0
            figures[who] = (rss, threads, fds, ok)
            rss_mb = " / ".join(f"{rss[k] / MB:.1f}" for k in ("first", "min", "max", "last"))
            lines.append(
                f"| {label}, {who} | {rss_mb} | {rss['growth'] / MB:+.1f} MB | "
                f"{threads['min']}–{threads['max']}, {threads['growth']:+.0f} | "
                f"{fds['min']}–{fds['max']}, {fds['growth']:+.0f} | {verdict(ok)} |"
            )
        if "vantle" in figures:
            rss, threads, fds, ok = figures["vantle"]
            base = f"; bare: {figures['bare'][0]['growth'] / MB:+.1f} MB" if "bare" in figures else ""
            targets.append(
                (
                    f"{label}: RSS flat within 10 MB, threads and fds not growing",
                    f"after warm-up, {count}",
                    f"{rss['growth'] / MB:+.1f} MB, threads {threads['growth']:+.0f}, "
                    f"fds {fds['growth']:+.0f}{base}",
                    verdict(ok),
                )
            )
    return lines + ["", *_memory_keeping(data, targets)]


def _memory_keeping(data: Dict[str, Any], targets: List) -> List[str]:
    """The endless stream again, the caller keeping the last frames: RSS rises by what they hold,
    then stays; compared with the run that drops every frame."""
    keeping = data["runs"].get("keeping")
    if not keeping:
        return []
    keep, warm_up = data["keep"], data["warm_up_keeping"]
    rss = flatness(keeping["reading"], "rss", "frame", warm_up)
    dropping = flatness(data["runs"]["vantle"]["reading"], "rss", "frame", warm_up)
    title = f"endless stream, keeping the last {keep} frames"
    if rss is None or dropping is None or not keeping["frame_bytes"]:
        targets.append((f"{title}: RSS grows by about {keep} frames, then flat", "", "n/a", "n/a"))
        return [f"The run keeping the last {keep} frames gave no figures.", ""]
    held = keep * keeping["frame_bytes"]
    above = [s["rss"] for s in keeping["reading"] if s["frame"] > warm_up]
    above_dropping = statistics.median(above) - statistics.median(
        s["rss"] for s in data["runs"]["vantle"]["reading"] if s["frame"] > warm_up
    )
    share = above_dropping / held
    low, high = KEEP_GROWTH_RANGE
    ok = abs(rss["growth"]) <= MEMORY_FLAT_BYTES and low <= share <= high
    targets.append(
        (
            f"{title}: RSS above the dropping run by about {keep} frames ({low}–{high}x), then flat "
            "within 10 MB",
            f"{keep} frames = {held / MB:.0f} MB; after warm-up, {data['frames']} frames",
            f"{share:.2f}x, growth {rss['growth'] / MB:+.1f} MB",
            verdict(ok),
        )
    )
    return [
        f"A caller keeping the last {keep} frames ({held / MB:.0f} MB of pictures) of the same endless "
        f"stream, warm-up {warm_up} frames: RSS {above_dropping / MB:+.0f} MB above the run that drops "
        f"every frame ({share:.2f}x what the kept frames hold), growth after warm-up "
        f"{rss['growth'] / MB:+.1f} MB. Load at the run: {load_range(keeping['loads'])}.",
        "",
    ]


def _ray(data: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    names = list(rows.rows)
    base = next((n for n in names if n.startswith("one process")), None)
    ours = next((n for n in names if n.startswith("vantle.ray") and "reservation" not in n), None)
    base_fps = rows.median(base, "fps") if base else None
    lines = [
        "## 8. Many recorded videos on Ray",
        "",
        f"{data['videos']} recorded 720p videos ({data['frames']} frames in all; one clip served under "
        f"{data['videos']} URLs), every frame scored by the same small function (the mean of one pixel "
        "in 256, standing in for a model). *One process*: `open_stream` on each video in turn. "
        "*vantle.ray*: `read_frames(urls).map_batches(score)` on a local cluster of two CPUs started "
        "beforehand (its workers warmed by reading two videos), rows consumed by the driver. Timed from "
        "just before the first open, or the dataset's creation, to the last frame. CPU is not compared: "
        "on Ray it is spent in worker processes. The last row is a diagnostic: the same with Ray Data's "
        "per-operator reservation off (`DataContext.op_resource_reservation_enabled = False`); with it on, "
        "Ray Data 2.60 ran one read task at a time on this two-CPU cluster.",
        "",
        "| contender | wall s | frames/s | vs one process | load |",
        "|---|---|---|---|---|",
    ]
    for name in names:
        walls = [run["wall"] for run in rows.rows[name]]
        lines.append(
            f"| {name} | {fmt(walls)} | {fmt(rows.fps(name), 1)} | "
            f"{ratio(rows.median(name, 'fps'), base_fps)} | {load_range(rows.loads(name))} |"
        )
    if ours and base_fps:
        r = rows.median(ours, "fps") / base_fps
        targets.append(
            (
                f"vantle.ray frames/s ≥ {RAY_VS_SEQUENTIAL}x",
                "one process, videos in turn",
                f"{r:.2f}x",
                verdict(r >= RAY_VS_SEQUENTIAL),
            )
        )
    return lines + [""]


def _latencies(runs: List[Dict[str, Any]], kind: str, at: str) -> List[float]:
    """The latency percentile `at` of each live run, over its frames of `kind` (mjpeg, h264, all)."""
    return [run["extra"]["latency_ms"][kind][at] for run in runs if run["extra"]["latency_ms"][kind]]


def _many_streams(data: Dict[str, Any], targets: List) -> List[str]:
    rows = Rows(data["rows"])
    names = list(rows.rows)
    ours = next((n for n in names if "open_streams" in n), None)
    base = next((n for n in names if n != ours), None)
    streams, half = data["streams"], data["streams"] // 2
    lines = [
        f"## 9. Many live streams in one loop: {streams} cameras",
        "",
        f"{streams} live {data['width']}x{data['height']} streams at {data['fps']} frames/s, served on "
        "127.0.0.1 by bench/live_streams.py in a process of its own (its CPU is not counted): "
        f"{half} multipart MJPEG (`multipart/x-mixed-replace`, one JPEG per part with its Content-Length) "
        f"and {half} H.264 (x264 `tune=zerolatency`: no B-frames; a keyframe every 2 s) in Matroska "
        "written for streaming, as one response without a length. Moving colour bars, made with "
        "GStreamer at run time. Every connection starts at the stream's first frame and is paced in "
        "real time from its own start. *One open_streams loop*: `for frame in open_streams({key: url})` "
        "with the default options (drop_frames=False: every frame delivered). *Readers per thread*: "
        f"`open_stream(url)` and `frames()` in {streams} threads. Each run a fresh process, reading "
        f"for {data['window']} s from the moment every stream has delivered a frame; CPU is the "
        "process's (every thread) over that window, per frame delivered in it.",
        "",
        f"- *Delivered*: frames delivered in the window / frames the server sent in it, summed over the "
        f"runs. *Every frame*: each frame sent at least {data['grace']:.0f} s before the window's end was "
        "delivered by then, each stream on one connection (frame i of a connection is its part i).",
        "- *Latency*: from the server's send of a frame (its write returned: the frame wholly in the "
        "socket) to the Frame in the consumer's hand (`time.time()` as the iteration yields it), on the "
        "machine's one clock: transport, demuxing, parsing, decoding, conversion to BGR and the reader's "
        "code. Percentiles over every frame of a run's window; median (min–max) over runs.",
        "",
        "| contender | CPU ms/frame | CPU vs readers per thread | delivered / sent | every frame | "
        "latency p99 ms | max ms | MJPEG p50 ms | MJPEG p99 ms | H.264 p50 ms | H.264 p99 ms | "
        "every stream's first frame s | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    base_cpu = rows.median(base, "cpu_ms") if base else None
    figures: Dict[str, Dict[str, Any]] = {}
    for name in names:
        runs = rows.rows[name]
        per_stream = [s for run in runs for s in run["extra"]["streams"].values()]
        missing = sum(s["missing"] + s["unmatched"] for s in per_stream)
        reconnected = sum(1 for s in per_stream if s["connections"] != 1)
        every = missing == 0 and reconnected == 0
        delivered, sent = sum(s["delivered"] for s in per_stream), sum(s["sent"] for s in per_stream)
        latency = functools.partial(_latencies, runs)
        figures[name] = {
            "counts": f"{delivered} delivered / {sent} sent",
            "every": every,
            "missing": missing,
            "reconnected": reconnected,
            "p99": latency("all", "p99"),
        }
        every_text = "yes" if every else f"no: {missing} missing, {reconnected} reconnected"
        lines.append(
            f"| {name} | {fmt(rows.cpu_ms(name))} | {ratio(rows.median(name, 'cpu_ms'), base_cpu)} | "
            f"{delivered} / {sent} | {every_text} | {fmt(latency('all', 'p99'), 1)} | "
            f"{fmt(latency('all', 'max'), 1)} | {fmt(latency('mjpeg', 'p50'), 1)} | "
            f"{fmt(latency('mjpeg', 'p99'), 1)} | {fmt(latency('h264', 'p50'), 1)} | "
            f"{fmt(latency('h264', 'p99'), 1)} | "
            f"{fmt([run['extra']['start'] for run in runs])} | {load_range(rows.loads(name))} |"
        )
    if ours and base and base_cpu:
        r = rows.median(ours, "cpu_ms") / base_cpu
        targets.append(
            (
                f"{streams} live streams, one open_streams loop: CPU/frame ≤ {LIVE_CPU_VS_THREADS}x",
                f"{streams} open_stream readers in {streams} threads",
                f"{r:.2f}x",
                verdict(r <= LIVE_CPU_VS_THREADS),
            )
        )
    else:
        targets.append((f"{streams} live streams: CPU/frame ≤ {LIVE_CPU_VS_THREADS}x", "", "n/a", "n/a"))
    if ours:
        mine = figures[ours]
        targets.append(
            (
                f"{streams} live streams, one open_streams loop: every frame delivered",
                "the frames the server sent",
                f"{'yes' if mine['every'] else 'no'}: {mine['counts']}, {mine['missing']} missing, "
                f"{mine['reconnected']} reconnected",
                verdict(mine["every"]),
            )
        )
        p99 = _median(mine["p99"])
        theirs = _median(figures[base]["p99"]) if base else None
        targets.append(
            (
                f"{streams} live streams, one open_streams loop: latency p99 ≤ {LIVE_LATENCY_P99_MS:.0f} ms "
                "(server's send to frame in hand)",
                f"readers per thread: {theirs:.1f} ms" if theirs is not None else "",
                f"{p99:.1f} ms" if p99 is not None else "n/a",
                verdict(p99 <= LIVE_LATENCY_P99_MS if p99 is not None else None),
            )
        )
    return lines + [""]


def _chart(results: Dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sections = results["sections"]
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    title = "vantle benchmarks" + (" (quick run)" if results["quick"] else "")
    fig.suptitle(f"{title}: median of runs, bars from min to max; load {_load(results['states'][0]['load'])}")

    def bars(ax, names: List[str], values: List[List[float]], label: str, highlight: str = "vantle") -> None:
        medians = [statistics.median(v) if v else 0 for v in values]
        low = [m - min(v) if v else 0 for m, v in zip(medians, values)]
        high = [max(v) - m if v else 0 for m, v in zip(medians, values)]
        colours = ["tab:orange" if highlight in n else "tab:blue" for n in names]
        ax.barh(names, medians, xerr=[low, high], color=colours, capsize=3)
        ax.invert_yaxis()
        ax.set_xlabel(label)
        for y, m in enumerate(medians):
            ax.text(m, y, f" {m:.1f}", va="center", fontsize=8)

    if "end-to-end" in sections:
        rows = Rows(sections["end-to-end"]["rows"])
        names = list(rows.rows)
        bars(axes[0][0], names, [rows.cpu_ms(n) for n in names], "CPU ms per frame (lower is better)")
        axes[0][0].set_title("End to end, 1080p H.264 over HTTP")
        bars(axes[0][1], names, [rows.fps(n) for n in names], "frames/s (higher is better)")
        axes[0][1].set_title("End to end, 1080p H.264 over HTTP")
    if "first-frame" in sections:
        rows = Rows(sections["first-frame"]["rows"])
        names = list(rows.rows)
        bars(
            axes[1][0], names, [rows.wall_ms(n) for n in names], "ms to the first BGR array (lower is better)"
        )
        axes[1][0].set_title("Time to first frame")
    ax = axes[1][1]
    if "memory" in sections:
        runs = sections["memory"]["runs"]
        twin = ax.twiny()
        for who, style in (("vantle", "-"), ("bare", ":")):
            reading, building = runs[who]["reading"], runs[who]["building"]
            ax.plot([s["frame"] for s in reading], [s["rss"] / MB for s in reading], style,
                    color="tab:blue", label=f"endless stream, {who} (by frame)")  # fmt: skip
            twin.plot([s["cycle"] for s in building], [s["rss"] / MB for s in building], style,
                      color="tab:orange", label=f"build/teardown, {who} (by cycle)")  # fmt: skip
        ax.set_xlabel("frames read")
        ax.set_ylabel("RSS MB")
        twin.set_xlabel("build/teardown cycles")
        twin.legend(loc="lower right", fontsize=8)
        ax.legend(loc="upper left", fontsize=8)
        ax.set_title("Memory (solid: vantle, dotted: bare)", pad=28)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
