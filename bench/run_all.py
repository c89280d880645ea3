"""Every benchmark of vantle side by side with its baselines, in one run.

    python bench/run_all.py [--quick] [--repeats N] [--out DIR] [--only SECTION ...]

Run it with the interpreter of the development environment (scripts/dev.sh setup). The peers
(OpenCV, PyAV) and matplotlib are installed from bench/requirements.txt into an environment of
the benchmark's own, layered over that one (`<venv>-bench`, or $VANTLE_BENCH_VENV), and the
command runs again from there. The media is generated once and cached (tests/support/media.py)
and served to every contender by one HTTP server on 127.0.0.1. Each measured run is a fresh
process; the contenders of a section take turns within every repeat, in an order that rotates,
so that drifts in the machine's load reach them alike.

Writes DIR/benchmarks.md, DIR/benchmarks.png and the raw figures as bench/out/results*.json;
DIR is docs/ for a full run and bench/out/quick/ for --quick.

The decoder-settings sweep is long and runs only when named: `--only decoder-sweep` (on an idle
machine; its tables say which decoder settings the factory base should default to).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import platform
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
REQUIREMENTS = BENCH_DIR / "requirements.txt"
CONTENDERS = BENCH_DIR / "contenders.py"
# Marks an environment made by this command, so that it is never layered again.
BENCH_MARKER = "vantle-bench-environment"
GST_LAUNCH = shutil.which("gst-launch-1.0") or "gst-launch-1.0"

SECTIONS = (
    "frame-copy",
    "convert-element",
    "end-to-end",
    "deep-colour",
    "size",
    "reader-overhead",
    "keyframes",
    "first-frame",
    "start-up",
    "memory",
    "ray",
    "many-streams",
)
# Long, and for choosing the factory base's decoder settings on an idle machine: run only when
# named with --only.
EXTRA_SECTIONS = ("decoder-sweep",)

# The 10-bit clips of the deep-colour comparison (tests/support/media.py's BENCH_CATALOGUE).
DEEP_COLOUR_CLIPS = ("bench_h264_10bit_444_1080p", "bench_h265_10bit_1080p", "bench_vp9_10bit_1080p")
# The clips of the decoder-settings sweep besides the main 1080p H.264 one, and the decoder the
# reader picks for each codec.
SWEEP_CLIPS = ("bench_h264_2160p", "bench_h265_10bit_1080p", "bench_vp9_10bit_1080p")
SWEEP_DECODERS = {"h264": "avdec_h264", "h265": "avdec_h265", "vp9": "vp9dec"}
# Frames the last `KEEP_FRAMES` of which a caller holds in the memory section's second run.
KEEP_FRAMES = 100
# Stands for the moment of the spawn in a contender's arguments (see Runner).
SPAWN_TIME = "@SPAWN@"
# The Ray section: this many recorded videos (copies of one BENCH_CATALOGUE clip), read on a local
# cluster of two CPUs.
RAY_VIDEOS = 20
RAY_CLIP = "bench_h264_720p"
# The many-streams section: this many live 640x360 streams of each kind (multipart MJPEG, H.264
# in Matroska) at LIVE_FPS, served by bench/live_streams.py, read for this many seconds once
# every stream delivers (--quick: the second figure).
LIVE_COPIES = 8
LIVE_FPS = 15
LIVE_SECONDS = (18, 6)


# ----- the benchmark's environment -----


def _requirements_stamp() -> str:
    return hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()[:16]


def ensure_environment() -> None:
    """Runs this command again from the benchmark's environment unless it already runs there."""
    if (Path(sys.prefix) / BENCH_MARKER).exists():
        return
    try:
        import vantle  # noqa: F401
    except ImportError:
        raise SystemExit(
            "vantle is not importable here: run this with the development environment's python "
            "(scripts/dev.sh setup makes it)"
        ) from None
    venv = Path(os.environ.get("VANTLE_BENCH_VENV") or f"{sys.prefix.rstrip('/')}-bench")
    python = venv / "bin" / "python"
    if not python.exists():
        print(f"[bench] creating {venv}, layered over {sys.prefix}", file=sys.stderr)
        base = getattr(sys, "_base_executable", None) or sys.executable
        subprocess.run([base, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    # The development environment's packages (vantle, numpy) come next after the benchmark's own.
    purelib = Path(sysconfig.get_paths()["purelib"])
    site_dirs = sorted({purelib, Path(sysconfig.get_paths()["platlib"])})
    layered = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    Path(layered, "vantle-dev.pth").write_text("".join(f"{d}\n" for d in site_dirs))
    stamp = venv / BENCH_MARKER
    if not stamp.exists() or stamp.read_text().strip() != _requirements_stamp():
        print(f"[bench] installing {REQUIREMENTS.name} into {venv}", file=sys.stderr)
        subprocess.run(
            [
                str(python),
                "-m",
                "pip",
                "install",
                "-q",
                "--disable-pip-version-check",
                "-r",
                str(REQUIREMENTS),
            ],
            check=True,
        )
        stamp.write_text(_requirements_stamp() + "\n")
    os.execv(str(python), [str(python), str(Path(__file__).resolve()), *sys.argv[1:]])


# ----- media -----


def bench_media(quick: bool) -> Dict[str, Any]:
    """The clip of the benchmark (1080p H.264 in MP4, a keyframe every 30 frames) and the same
    stream as a bare H.264 byte stream, which can be served over and over as an endless stream."""
    sys.path.insert(0, str(ROOT / "tests"))
    from dataclasses import dataclass as frozen_dataclass

    from support.media import MediaRecipe, default_cache_dir, generate

    @frozen_dataclass(frozen=True)
    class MovingRecipe(MediaRecipe):
        # Moving colour bars: every frame differs, so that decoding has work to do.
        motion: str = "horizontal-speed=4"

        @property
        def source(self) -> str:
            return super().source.replace("videotestsrc", f"videotestsrc {self.motion}", 1)

    frames = 150 if quick else 600
    recipe = MovingRecipe(
        f"bench_h264_1080p_{frames}",
        "mp4",
        "h264",
        1920,
        1080,
        frames,
        30,
        30,
        "smpte",
        "x264enc speed-preset=veryfast bitrate=4000 key-int-max=30 bframes=0 option-string=scenecut=0",
        "h264parse ! mp4mux faststart=true",
        "mp4",
        "video/mp4",
    )
    started = time.monotonic()
    mp4 = generate(recipe, default_cache_dir())
    elementary = mp4.with_suffix(".h264")
    if not elementary.exists():
        partial = elementary.with_suffix(f".{os.getpid()}.part")
        subprocess.run(
            [
                GST_LAUNCH,
                "-q",
                "filesrc",
                f"location={mp4}",
                "!",
                "qtdemux",
                "!",
                "h264parse",
                "config-interval=-1",
                "!",
                "video/x-h264,stream-format=byte-stream,alignment=au",
                "!",
                "filesink",
                f"location={partial}",
            ],
            check=True,
            capture_output=True,
            timeout=120,
        )
        os.replace(partial, elementary)
    return {
        "mp4": mp4,
        "elementary": elementary,
        "recipe": recipe,
        "seconds": time.monotonic() - started,
        "pipeline": recipe.pipeline("FILE"),
    }


def bench_clips(names: Sequence[str], quick: bool) -> Dict[str, Dict[str, Any]]:
    """The benchmark clips of tests/support/media.py's BENCH_CATALOGUE, made once and cached:
    name -> {"path", "recipe"}, or {"unavailable": reason} where this machine cannot make one
    (an encoder without 10-bit support)."""
    import dataclasses

    sys.path.insert(0, str(ROOT / "tests"))
    from support.media import BENCH_CATALOGUE, MediaUnavailable, default_cache_dir, generate

    clips: Dict[str, Dict[str, Any]] = {}
    for name in names:
        recipe = BENCH_CATALOGUE[name]
        if quick:
            recipe = dataclasses.replace(recipe, frames=min(recipe.frames, 30 if recipe.width > 1920 else 60))
        print(f"[bench] media: {name}, {recipe.frames} frames", file=sys.stderr)
        try:
            clips[name] = {"path": generate(recipe, default_cache_dir()), "recipe": recipe}
        except MediaUnavailable as error:
            clips[name] = {"unavailable": str(error)}
    return clips


def make_server(files: Sequence[Path], loops: int):
    """vantle's demo MediaServer (files with Range support) with one more route:
    /loop/<name> serves that file `loops` times over as one endless response."""
    from vantle.demo import MediaServer, _Handler

    class LoopingHandler(_Handler):
        def _serve(self, body: bool) -> None:
            path = self.server.files.get(self.path.split("?", 1)[0].replace("/loop/", "/", 1))
            if not self.path.startswith("/loop/") or path is None:
                super()._serve(body)
                return
            self.send_response(200)
            self.send_header("Content-Type", "video/x-h264")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            if not body:
                return
            data = path.read_bytes()
            try:
                for _ in range(loops):
                    self.wfile.write(data)
            except (BrokenPipeError, ConnectionResetError):
                return

    server = MediaServer(list(files))
    server.RequestHandlerClass = LoopingHandler
    return server


# ----- machine state -----


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _process_ticks() -> Dict[int, tuple]:
    ticks = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
            with open(f"/proc/{name}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1 : stat.rindex(")")]
        rest = stat[stat.rindex(")") + 2 :].split()
        ticks[int(name)] = (int(rest[11]) + int(rest[12]), cmdline or f"[{comm}]")
    return ticks


def busy_processes(seconds: float = 1.0, top: int = 5) -> List[Dict[str, Any]]:
    """Processes other than this one that used the most CPU over the next `seconds`."""
    hz = os.sysconf("SC_CLK_TCK")
    before = _process_ticks()
    time.sleep(seconds)
    after = _process_ticks()
    busy = []
    for pid, (ticks, cmdline) in after.items():
        if pid == os.getpid() or pid not in before:
            continue
        used = (ticks - before[pid][0]) / hz / seconds
        if used >= 0.02:
            busy.append({"pid": pid, "cpu": round(used, 2), "command": cmdline[:90]})
    return sorted(busy, key=lambda p: -p["cpu"])[:top]


def machine_state(label: str) -> Dict[str, Any]:
    return {
        "label": label,
        "time": time.strftime("%Y-%m-%d %H:%M:%S"),
        "load": os.getloadavg(),
        "busy": busy_processes(),
    }


def versions(registry_env: Dict[str, str]) -> Dict[str, str]:
    import numpy

    import vantle.demo  # noqa: F401 - initialises GStreamer
    from vantle.utils.gstreamer import Gst

    found = {
        "Python": platform.python_version(),
        "GStreamer": Gst.version_string(),
        "numpy": numpy.__version__,
    }
    for factory in ("avdec_h264", "souphttpsrc", "videoconvert"):
        element = Gst.ElementFactory.find(factory)
        if element is not None:
            plugin = element.get_plugin()
            found[f"{factory} ({plugin.get_name()})"] = plugin.get_version()
    try:
        import cv2

        found["OpenCV"] = cv2.__version__
    except ImportError:
        pass
    try:
        import av

        found["PyAV"] = av.__version__
        libs = getattr(av, "library_versions", {})
        if "libavcodec" in libs:
            found["PyAV's libavcodec"] = ".".join(map(str, libs["libavcodec"]))
    except ImportError:
        pass
    try:
        from importlib.metadata import version

        found["vantle"] = version("vantle")
    except Exception:  # noqa: BLE001 - a version is only informative
        pass
    out = subprocess.run([GST_LAUNCH, "--version"], capture_output=True, text=True, env=registry_env)
    found["gst-launch-1.0"] = out.stdout.splitlines()[0] if out.stdout else "unknown"
    return found


# ----- running one contender -----


@dataclass
class Run:
    """One measured process: what it reported, and what the kernel says it used."""

    row: str
    wall: float  # the contender's timed window, or the whole process for gst-launch
    cpu: float
    frames: int
    process_cpu: float  # user + system time of the whole process, start-up included
    process_wall: float
    max_rss: int
    load: float  # one-minute load average when the run started
    extra: Dict[str, Any] = field(default_factory=dict)


class ChildFailed(RuntimeError):
    pass


def run_process(argv: Sequence[str], env: Dict[str, str], timeout: float) -> tuple:
    """Runs argv to its end: (stdout, stderr, whole-process rusage, wall seconds)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env, start_new_session=True)
        timer = threading.Timer(timeout, lambda: os.killpg(proc.pid, signal.SIGKILL))
        timer.start()
        try:
            # wait4 gives the rusage of this child alone (its threads and its own children).
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            timer.cancel()
        wall = time.perf_counter() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    if proc.returncode != 0:
        raise ChildFailed(f"{' '.join(argv)} exited with {proc.returncode}:\n{stderr[-3000:]}")
    return stdout, stderr, usage, wall


class Runner:
    def __init__(self, env: Dict[str, str], verbose: bool = True):
        self.env = env
        self.verbose = verbose
        self.failures: List[str] = []
        # What could not run with this version of vantle (a reader option still to come).
        self.notes: List[str] = []

    def note(self, text: str) -> None:
        if text not in self.notes:
            self.notes.append(text)
            print(f"[bench]   note: {text}", file=sys.stderr)

    def python(self, row: str, kind: str, timeout: float = 600, **options: Any) -> Optional[Run]:
        argv = [sys.executable, str(CONTENDERS), kind]
        for key, value in options.items():
            argv += [f"--{key}", str(value)]
        return self._run(row, argv, timeout, python=True)

    def gst_launch(self, row: str, launch: str, frames: int, timeout: float = 600) -> Optional[Run]:
        return self._run(row, [GST_LAUNCH, "-q", *launch.split()], timeout, python=False, frames=frames)

    def _run(self, row: str, argv: List[str], timeout: float, python: bool, frames: int = 0) -> Optional[Run]:
        load = os.getloadavg()[0]
        # A contender timed from its spawn gets the moment as late as it can be known.
        argv = [repr(time.monotonic()) if arg == SPAWN_TIME else arg for arg in argv]
        try:
            stdout, _, usage, wall = run_process(argv, self.env, timeout)
        except (ChildFailed, OSError) as error:
            self.failures.append(f"{row}: {error}")
            print(f"[bench]   {row}: FAILED: {str(error)[:500]}", file=sys.stderr)
            return None
        process_cpu = usage.ru_utime + usage.ru_stime
        if python:
            lines = stdout.strip().splitlines()
            report = json.loads(lines[-1])
            run = Run(
                row,
                report.pop("wall", wall),
                report.pop("cpu", process_cpu),
                report.pop("frames", 0),
                process_cpu,
                wall,
                usage.ru_maxrss * 1024,
                load,
                report,
            )
        else:
            run = Run(row, wall, process_cpu, frames, process_cpu, wall, usage.ru_maxrss * 1024, load)
        if self.verbose:
            per = f"{1000 * run.cpu / run.frames:7.2f} ms CPU/frame  " if run.frames else ""
            print(f"[bench]   {row:40s} {per}{run.wall:7.2f} s  load {load:.1f}", file=sys.stderr)
        return run


def rotated(items: Sequence[Any], turn: int) -> List[Any]:
    turn %= len(items)
    return list(items[turn:]) + list(items[:turn])


# ----- the sections -----


def section_frame_copy(runner: Runner, repeats: int, quick: bool) -> Dict[str, Any]:
    runs = []
    for _ in range(repeats):
        run = runner.python("frame copy", "frame-copy", rounds=60 if quick else 300, timeout=300)
        if run:
            runs.append(run)
    return {"runs": [r.extra["sizes"] for r in runs], "loads": [r.load for r in runs]}


def section_convert_element(runner: Runner, repeats: int, quick: bool, url: str) -> Dict[str, Any]:
    runs = []
    for _ in range(repeats):
        run = runner.python(
            "conversion element",
            "convert-element",
            url=url,
            frames=20 if quick else 60,
            passes=2 if quick else 5,
            timeout=600,
        )
        if run:
            runs.append(run)
    return {
        "runs": [r.extra for r in runs],
        "frames": runs[0].frames if runs else 0,
        "loads": [r.load for r in runs],
    }


def end_to_end_rows(url: str, converter: str, frames: int) -> Dict[str, Dict[str, Any]]:
    """The contenders of the end-to-end comparison: how each is run."""
    source = f"souphttpsrc location={url} ! decodebin !"
    return {
        "gst-launch: decode only": {"launch": f"{source} fakesink"},
        f"gst-launch: {converter}": {"launch": f"{source} {converter} ! video/x-raw,format=BGR ! fakesink"},
        "gst-launch: videoconvert": {"launch": f"{source} videoconvert ! video/x-raw,format=BGR ! fakesink"},
        "vantle reader": {"kind": "vantle"},
        # Diagnostics: the reader's own pipeline pulled in a bare loop, without and with arrays.
        "vantle pipeline, bare pull loop": {"kind": "vantle-pipeline"},
        "vantle pipeline, bare pull + sample_to_ndarray": {"kind": "vantle-pipeline-arrays"},
        "OpenCV VideoCapture": {"kind": "opencv"},
        "PyAV": {"kind": "pyav"},
        "PyAV, thread_type=AUTO": {"kind": "pyav-threads"},
    }


def run_rows(
    runner: Runner,
    rows: Dict[str, Dict[str, Any]],
    repeats: int,
    url: str,
    frames: int,
    timeout: float = 600,
    options: Optional[Dict[str, Any]] = None,
) -> Dict[str, List[Run]]:
    results: Dict[str, List[Run]] = {name: [] for name in rows}
    for turn in range(repeats):
        print(f"[bench]  repeat {turn + 1}/{repeats}", file=sys.stderr)
        for name in rotated(list(rows), turn):
            how = rows[name]
            if "launch" in how:
                run = runner.gst_launch(name, how["launch"], frames, timeout=timeout)
            else:
                extra = {"warm": how["warm"]} if "warm" in how else {}
                extra.update(how.get("options", {}))
                run = runner.python(name, how["kind"], url=url, timeout=timeout, **(options or {}), **extra)
            if run is not None and run.extra.get("unsupported"):
                runner.note(f"{name}: not run: {run.extra['unsupported']}")
                continue
            if run is not None:
                if run.frames != how.get("expect", frames):
                    runner.failures.append(
                        f"{name}: {run.frames} frames instead of {how.get('expect', frames)}"
                    )
                results[name].append(run)
    return results


def section_memory(runner: Runner, quick: bool, loop_url: str, url: str) -> Dict[str, Any]:
    """vantle's reader and, as the baseline, the same elements in a plain launch string pulled in a
    bare loop: an endless stream read for a long time, and many build/teardown cycles."""
    frames, every = (900, 50) if quick else (10_000, 250)
    cycles, cycle_every = (50, 5) if quick else (500, 25)
    runs: Dict[str, Any] = {}
    for who in ("vantle", "bare"):
        reading = runner.python(
            f"memory: endless stream, {who}",
            f"{who}-memory",
            url=loop_url,
            frames=frames,
            every=every,
            timeout=1800,
        )
        building = runner.python(
            f"memory: build/teardown, {who}",
            f"{who}-cycles",
            url=url,
            cycles=cycles,
            every=cycle_every,
            timeout=1800,
        )
        runs[who] = {
            "reading": reading.extra["samples"] if reading else [],
            "reading_frames": reading.frames if reading else 0,
            "reading_fps": reading.frames / reading.wall if reading else 0.0,
            "building": building.extra["samples"] if building else [],
            "building_frames": building.frames if building else 0,
            "building_seconds": building.wall if building else 0.0,
            "loads": [r.load for r in (reading, building) if r],
        }
    # A caller that keeps the last KEEP_FRAMES frames: memory grows by that many frames, then stays.
    keeping = runner.python(
        f"memory: endless stream, vantle keeping the last {KEEP_FRAMES}",
        "vantle-memory",
        url=loop_url,
        frames=frames,
        every=every,
        keep=KEEP_FRAMES,
        timeout=1800,
    )
    runs["keeping"] = {
        "reading": keeping.extra["samples"] if keeping else [],
        "reading_frames": keeping.frames if keeping else 0,
        "frame_bytes": keeping.extra.get("frame_bytes", 0) if keeping else 0,
        "loads": [keeping.load] if keeping else [],
    }
    return {
        "frames": frames,
        "warm_up_frames": frames // 10,
        # Until the kept frames are all there, and some more.
        "warm_up_keeping": max(frames // 10, 2 * KEEP_FRAMES),
        "keep": KEEP_FRAMES,
        "cycles": cycles,
        "warm_up_cycles": cycles // 10,
        "runs": runs,
        "loads": runs["vantle"]["loads"] + runs["bare"]["loads"] + runs["keeping"]["loads"],
    }


def deep_colour_rows(url: str) -> Dict[str, Dict[str, Any]]:
    """The contenders of a 10-bit clip: the reader, its peers and the decoder alone."""
    return {
        "vantle reader": {"kind": "vantle"},
        "OpenCV read()": {"kind": "opencv"},
        "PyAV bgr24, thread_type=AUTO": {"kind": "pyav-threads"},
        "decoder alone: PyAV, thread_type=AUTO, no conversion": {"kind": "pyav-decode"},
        "decoder alone: gst-launch decodebin ! fakesink": {
            "launch": f"souphttpsrc location={url} ! decodebin ! fakesink sync=false"
        },
    }


def section_deep_colour(
    runner: Runner, repeats: int, clips: Dict[str, Dict[str, Any]], server: Any
) -> Dict[str, Any]:
    data: Dict[str, Any] = {"clips": {}, "unavailable": {}}
    for name in DEEP_COLOUR_CLIPS:
        clip = clips[name]
        if "unavailable" in clip:
            data["unavailable"][name] = clip["unavailable"]
            runner.note(f"deep-colour: {clip['unavailable']}")
            continue
        recipe, url = clip["recipe"], server.url(clip["path"])
        print(f"[bench]  {name}", file=sys.stderr)
        data["clips"][name] = {
            "codec": recipe.codec,
            "raw_format": recipe.raw_format,
            "decoded_format": decoded_format(url),
            "frames": recipe.frames,
            "width": recipe.width,
            "height": recipe.height,
            "rows": run_rows(runner, deep_colour_rows(url), repeats, url, recipe.frames),
        }
    return data


def sweep_variants(decoder: str) -> List[Dict[str, Any]]:
    """The settings of the sweep for `decoder`: its defaults, then one setting changed at a time
    (and the two threading modes at two threads). Properties are given as gst-launch writes them."""
    from vantle.utils.gstreamer import Gst

    element = Gst.ElementFactory.make(decoder)
    if element is None:
        return []
    variants: List[Dict[str, Any]] = [{"label": "defaults", "props": {}}]
    for name in ("max-threads", "threads"):
        if element.find_property(name) is not None:
            variants += [{"label": f"{name}={n}", "props": {name: str(n)}} for n in (1, 2, 4)]
    if element.find_property("thread-type") is not None:
        variants += [{"label": f"thread-type={t}", "props": {"thread-type": t}} for t in ("frame", "slice")]
        if element.find_property("max-threads") is not None:
            variants += [
                {"label": f"max-threads=2 thread-type={t}", "props": {"max-threads": "2", "thread-type": t}}
                for t in ("frame", "slice")
            ]
    if element.find_property("direct-rendering") is not None:
        variants.append({"label": "direct-rendering=false", "props": {"direct-rendering": "false"}})
    # The output pool: fakesink answers no allocation query, so the decoder makes its own pool and
    # copies padded pictures out; fakevideosink takes video meta (padded strides) and offers a pool.
    variants.append({"label": "sink takes video meta, offers a pool", "props": {}, "sink": "fakevideosink"})
    return variants


def section_decoder_sweep(
    runner: Runner, repeats: int, clips: Dict[str, Dict[str, Any]], server: Any
) -> Dict[str, Any]:
    """Each decoder setting in a bare `souphttpsrc ! parsebin ! DECODER ! fakesink` (gst-launch,
    the whole process timed) and in the reader's own pipeline (built by the HTTP factory, the
    decoder's properties set as it is added, pulled in a bare loop with sample_to_ndarray)."""
    data: Dict[str, Any] = {"clips": {}, "unavailable": {}}
    for name, clip in clips.items():
        if "unavailable" in clip:
            data["unavailable"][name] = clip["unavailable"]
            runner.note(f"decoder-sweep: {clip['unavailable']}")
            continue
        recipe, url = clip["recipe"], server.url(clip["path"])
        decoder = SWEEP_DECODERS[recipe.codec]
        variants = sweep_variants(decoder)
        if not variants:
            runner.note(f"decoder-sweep: {decoder} is not installed; {name} left out")
            continue
        rows: Dict[str, Dict[str, Any]] = {}
        for variant in variants:
            props = " ".join(f"{k}={v}" for k, v in variant["props"].items())
            sink = variant.get("sink", "fakesink")
            rows[f"bare | {variant['label']}"] = {
                "launch": f"souphttpsrc location={url} ! parsebin ! {decoder} {props} ! {sink} sync=false"
            }
            if "sink" not in variant:  # the reader's pipeline has its own sink and converter
                rows[f"reader's pipeline | {variant['label']}"] = {
                    "kind": "vantle-pipeline-arrays",
                    "options": {"props": json.dumps(variant["props"])},
                }
        print(f"[bench]  {name}: {decoder}, {len(rows)} rows", file=sys.stderr)
        data["clips"][name] = {
            "decoder": decoder,
            "codec": recipe.codec,
            "width": recipe.width,
            "height": recipe.height,
            "frames": recipe.frames,
            "decoded_format": decoded_format(url),
            "rows": run_rows(runner, rows, repeats, url, recipe.frames),
        }
    return data


def section_ray(runner: Runner, repeats: int, url: str, frames: int) -> Dict[str, Any]:
    """The recorded videos (one clip served under RAY_VIDEOS URLs) read with vantle.ray.read_frames
    on a local cluster of two CPUs, and one after another by one process; both score every frame
    with the same small function (in map_batches on Ray)."""
    rows = {
        "one process, one video after another": {"kind": "videos-sequential"},
        "vantle.ray.read_frames, 2-CPU local cluster": {"kind": "videos-ray"},
        # Diagnostic: with Ray Data's per-operator reservation (its default), the read tasks ran
        # one at a time on this two-CPU cluster.
        "vantle.ray.read_frames, no per-operator reservation": {"kind": "videos-ray-no-reservation"},
    }
    total = RAY_VIDEOS * frames
    return {
        "rows": run_rows(runner, rows, repeats, url, total, options={"copies": RAY_VIDEOS}),
        "videos": RAY_VIDEOS,
        "frames": total,
    }


def section_many_streams(runner: Runner, repeats: int, quick: bool) -> Dict[str, Any]:
    """The live streams of bench/live_streams.py (served by a process of its own) read by one
    open_streams loop and by an open_stream reader per thread, taking turns."""
    import live_streams

    seconds = LIVE_SECONDS[quick]
    # Long enough for a slow start and the window: each connection is served from frame 0.
    media = live_streams.make_media(LIVE_FPS * (LIVE_SECONDS[0] + 42), LIVE_FPS)
    rows = {
        "one open_streams loop": "live-loop",
        f"{2 * LIVE_COPIES} open_stream readers, a thread each": "live-threads",
    }
    results: Dict[str, List[Run]] = {name: [] for name in rows}
    server = live_streams.LiveServer(media, LIVE_FPS)
    try:
        for turn in range(repeats):
            print(f"[bench]  repeat {turn + 1}/{repeats}", file=sys.stderr)
            for name in rotated(list(rows), turn):
                run = runner.python(
                    name,
                    rows[name],
                    url=server.url,
                    copies=LIVE_COPIES,
                    seconds=seconds,
                    timeout=seconds + 180,
                )
                if run is not None:
                    results[name].append(run)
    finally:
        server.close()
    return {
        "rows": results,
        "streams": 2 * LIVE_COPIES,
        "fps": LIVE_FPS,
        "window": seconds,
        "width": live_streams.WIDTH,
        "height": live_streams.HEIGHT,
        "grace": live_streams.GRACE,
    }


def decoded_format(url: str) -> str:
    """The raw format the stream decodes to, which decides the converter vantle uses."""
    from vantle.utils.gstreamer import Gst

    pipeline = Gst.parse_launch(f"souphttpsrc location={url} ! decodebin ! appsink name=sink sync=false")
    pipeline.set_state(Gst.State.PLAYING)
    try:
        sample = pipeline.get_by_name("sink").try_pull_sample(30 * Gst.SECOND)
    finally:
        pipeline.set_state(Gst.State.NULL)
    if sample is None:
        raise SystemExit(f"no frame could be decoded from {url}")
    return sample.get_caps().get_structure(0).get_string("format")


# ----- main -----


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: short clip, one repeat")
    parser.add_argument("--repeats", type=int, help="runs of every row (default 3; 1 with --quick)")
    parser.add_argument("--out", type=Path, help="where benchmarks.md and .png go")
    parser.add_argument(
        "--only",
        nargs="+",
        choices=SECTIONS + EXTRA_SECTIONS,
        help=f"run these sections only (the default is all but {', '.join(EXTRA_SECTIONS)})",
    )
    args = parser.parse_args()
    ensure_environment()

    repeats = args.repeats or (1 if args.quick else 3)
    out = args.out or (BENCH_DIR / "out" / "quick" if args.quick else ROOT / "docs")
    sections = args.only or list(SECTIONS)
    command = "python bench/run_all.py" + "".join(f" {a}" for a in sys.argv[1:])
    started = time.monotonic()

    import vantle.demo  # noqa: F401 - initialises GStreamer
    from vantle import gst_plugins

    scratch = BENCH_DIR / "out"
    scratch.mkdir(parents=True, exist_ok=True)
    # A registry of the benchmark's own: gst-launch sees vantle's plugin through GST_PLUGIN_PATH
    # without rewriting the registry that other processes of this user share.
    env = dict(os.environ)
    env["GST_PLUGIN_PATH"] = str(gst_plugins.PLUGIN_DIR)
    env["GST_REGISTRY"] = str(scratch / f"gst-registry-{platform.machine()}.bin")
    env.pop("GST_DEBUG", None)
    subprocess.run(
        ["gst-inspect-1.0", gst_plugins.CONVERTER_FACTORY], env=env, capture_output=True, check=True
    )

    state_before = machine_state("before")
    print(f"[bench] load before: {state_before['load']}", file=sys.stderr)
    media = bench_media(args.quick)
    clip_frames = media["recipe"].frames
    memory_frames = 900 if args.quick else 10_000
    wanted = set()
    if "deep-colour" in sections:
        wanted.update(DEEP_COLOUR_CLIPS)
    if "decoder-sweep" in sections:
        wanted.update(SWEEP_CLIPS)
    if "ray" in sections:
        wanted.add(RAY_CLIP)
    clips = bench_clips(sorted(wanted), args.quick)
    server = make_server(
        [media["mp4"], media["elementary"], *(c["path"] for c in clips.values() if "path" in c)],
        loops=math.ceil(memory_frames / clip_frames) + 2,
    )
    url = server.url(media["mp4"])
    loop_url = url.rsplit("/", 1)[0] + "/loop/" + media["elementary"].name
    runner = Runner(env)
    results: Dict[str, Any] = {
        "command": command,
        "quick": args.quick,
        "repeats": repeats,
        "media": {
            "pipeline": media["pipeline"],
            "frames": clip_frames,
            "bytes": media["mp4"].stat().st_size,
            "keyint": media["recipe"].keyint,
            "width": media["recipe"].width,
            "height": media["recipe"].height,
        },
        "versions": versions(env),
        "cpu_model": _cpu_model(),
        "cores": os.cpu_count(),
        "states": [state_before],
        "sections": {},
    }
    try:
        fmt = decoded_format(url)
        converter = (
            gst_plugins.CONVERTER_FACTORY if fmt in gst_plugins.CONVERTER_INPUT_FORMATS else "videoconvert"
        )
        results["decoded_format"], results["converter"] = fmt, converter
        for section in sections:
            print(f"[bench] {section} (load {os.getloadavg()[0]:.1f})", file=sys.stderr)
            section_started = time.monotonic()
            load_before = os.getloadavg()
            if section == "frame-copy":
                data = section_frame_copy(runner, repeats, args.quick)
            elif section == "convert-element":
                data = section_convert_element(runner, repeats, args.quick, url)
            elif section == "end-to-end":
                rows = end_to_end_rows(url, converter, clip_frames)
                data = {"rows": run_rows(runner, rows, repeats, url, clip_frames), "converter": converter}
            elif section == "keyframes":
                keyframes = math.ceil(clip_frames / media["recipe"].keyint)
                rows = {
                    "vantle reader, keyframes_only=True": {"kind": "vantle-keyframes", "expect": keyframes},
                    "PyAV, skip_frame='NONKEY'": {"kind": "pyav-keyframes", "expect": keyframes},
                }
                data = {"rows": run_rows(runner, rows, repeats, url, keyframes), "keyframes": keyframes}
            elif section == "reader-overhead":
                tiny = 3000 if args.quick else 20_000
                rows = {
                    "vantle reader": {"kind": "overhead-reader"},
                    "bare pull loop + sample_to_ndarray": {"kind": "overhead-pull"},
                }
                data = {
                    "rows": run_rows(runner, rows, repeats, url, tiny, options={"frames": tiny}),
                    "frames": tiny,
                }
            elif section == "deep-colour":
                data = section_deep_colour(runner, repeats, clips, server)
            elif section == "size":
                rows = {
                    "vantle reader, size=(640, 360)": {"kind": "vantle-size"},
                    "OpenCV read() + cv2.resize(INTER_AREA)": {"kind": "opencv-resize"},
                }
                data = {"rows": run_rows(runner, rows, repeats, url, clip_frames)}
            elif section == "start-up":
                rows = {
                    "vantle: import, open_stream, read": {"kind": "vantle-startup"},
                    "OpenCV: import cv2, VideoCapture, read": {"kind": "opencv-startup"},
                    "PyAV: import av, open, first frame": {"kind": "pyav-startup"},
                }
                options = {"spawned": SPAWN_TIME}
                data = {"rows": run_rows(runner, rows, repeats * 2, url, 1, options=options)}
            elif section == "decoder-sweep":
                swept = {"bench_h264_1080p": {"path": media["mp4"], "recipe": media["recipe"]}}
                swept.update((name, clips[name]) for name in SWEEP_CLIPS)
                data = section_decoder_sweep(runner, repeats, swept, server)
            elif section == "first-frame":
                rows = {
                    "vantle: open_stream + read": {"kind": "vantle-first"},
                    "OpenCV: VideoCapture + read": {"kind": "opencv-first"},
                    "PyAV: open + first frame": {"kind": "pyav-first"},
                    "vantle, second open": {"kind": "vantle-first", "warm": 1},
                    "OpenCV, second open": {"kind": "opencv-first", "warm": 1},
                    "PyAV, second open": {"kind": "pyav-first", "warm": 1},
                }
                data = {"rows": run_rows(runner, rows, repeats * 2, url, 1)}
            elif section == "ray":
                clip = clips[RAY_CLIP]
                data = section_ray(runner, repeats, server.url(clip["path"]), clip["recipe"].frames)
            elif section == "many-streams":
                data = section_many_streams(runner, repeats, args.quick)
            else:
                data = section_memory(runner, args.quick, loop_url, url)
            data["seconds"] = time.monotonic() - section_started
            data["load_before"], data["load_after"] = load_before, os.getloadavg()
            results["sections"][section] = data
    finally:
        server.close()
    results["states"].append(machine_state("after"))
    results["seconds"] = time.monotonic() - started
    results["failures"] = runner.failures
    results["notes"] = runner.notes

    import report

    stem = "results-quick" if args.quick else "results"
    (scratch / f"{stem}.json").write_text(json.dumps(results, default=_jsonable, indent=1))
    report.write(json.loads(json.dumps(results, default=_jsonable)), out)
    print(
        f"[bench] wrote {out / 'benchmarks.md'} and {out / 'benchmarks.png'} in {results['seconds']:.0f} s",
        file=sys.stderr,
    )
    if runner.failures:
        print("[bench] failures:\n  " + "\n  ".join(runner.failures), file=sys.stderr)
        sys.exit(1)


def _jsonable(value: Any) -> Any:
    if isinstance(value, Run):
        return value.__dict__
    if isinstance(value, Path):
        return str(value)
    raise TypeError(type(value).__name__)


if __name__ == "__main__":
    main()
