"""Every benchmark of vantle side by side with its baselines, in one run.

    python bench/run_all.py [--quick] [--repeats N] [--out DIR] [--only SECTION ...]

Run it with the development environment's interpreter (scripts/dev.sh setup): the peers (OpenCV,
PyAV) and matplotlib are installed from bench/requirements.txt into an environment of the
benchmark's own layered over it (`<venv>-bench`, or $VANTLE_BENCH_VENV), and the command runs
again from there. The media is made once and cached (tests/support/media.py) and served by one
HTTP server on 127.0.0.1. Every run is a fresh process; the rows of a section take turns in an
order that rotates, so that drifts in the machine's load reach them alike. The sections are
bench/sections.py's (`--only fleet`: the camera fleet's). Writes DIR/benchmarks.md and .png (DIR:
docs/; bench/out/quick/ or bench/out/only/ for --quick or --only runs) and bench/out/results*.json.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
REQUIREMENTS = BENCH_DIR / "requirements.txt"
BENCH_MARKER = "vantle-bench-environment"  # marks an environment made here: never layered again
SPAWN_TIME = -1.0  # stands for the moment of the spawn in a contender's options


def ensure_environment() -> None:
    """Runs this command again from the benchmark's environment unless it already runs there."""
    if (Path(sys.prefix) / BENCH_MARKER).exists():
        return
    venv = Path(os.environ.get("VANTLE_BENCH_VENV") or f"{sys.prefix.rstrip('/')}-bench")
    python = str(venv / "bin" / "python")
    if not Path(python).exists():
        print(f"[bench] creating {venv}, layered over {sys.prefix}", file=sys.stderr)
        base = getattr(sys, "_base_executable", None) or sys.executable
        subprocess.run([base, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    # The development environment's packages (vantle, numpy) come next after the benchmark's own.
    ask = "import sysconfig; print(sysconfig.get_paths()['purelib'])"
    layered = subprocess.run([python, "-c", ask], capture_output=True, text=True, check=True).stdout.strip()
    ours = sorted({sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]})
    Path(layered, "vantle-dev.pth").write_text("".join(f"{d}\n" for d in ours))
    stamp, wanted = venv / BENCH_MARKER, hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()[:16]
    if not stamp.exists() or stamp.read_text().strip() != wanted:
        print(f"[bench] installing {REQUIREMENTS.name} into {venv}", file=sys.stderr)
        pip = ["-m", "pip", "install", "-q", "--disable-pip-version-check", "-r", str(REQUIREMENTS)]
        subprocess.run([python, *pip], check=True)
        stamp.write_text(wanted + "\n")
    os.execv(python, [python, str(Path(__file__).resolve()), *sys.argv[1:]])


def make_server(loops: int) -> Any:
    """vantle's demo MediaServer (files with Range support) with one more route: /loop/<name>
    serves that file `loops` times over as one endless response."""
    from vantle.demo import MediaServer, _Handler

    class LoopingHandler(_Handler):
        def _serve(self, body: bool) -> None:
            path = self.server.files.get(self.path.split("?", 1)[0].replace("/loop/", "/", 1))
            if not self.path.startswith("/loop/") or path is None:
                return super()._serve(body)
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            try:
                for _ in range(loops if body else 0):
                    self.wfile.write(path.read_bytes())
            except (BrokenPipeError, ConnectionResetError):
                pass

    server = MediaServer([])
    server.RequestHandlerClass = LoopingHandler
    return server


def machine_state() -> Dict[str, Any]:
    """The load, and the processes other than this one that used most CPU over a second."""

    def ticks() -> Dict[str, tuple]:
        found = {}
        for pid in set(filter(str.isdigit, os.listdir("/proc"))) - {str(os.getpid())}:
            try:
                stat, command = (Path(f"/proc/{pid}/{f}").read_bytes().decode() for f in ("stat", "cmdline"))
            except OSError:
                continue
            fields = stat[stat.rindex(")") + 2 :].split()
            name = command.replace("\0", " ").strip() or stat.split()[1]
            found[pid] = (int(fields[11]) + int(fields[12]), name[:90])
        return found

    before = ticks()
    time.sleep(1.0)
    hz = os.sysconf("SC_CLK_TCK")
    used = [{"cpu": (t - before.get(pid, (t,))[0]) / hz, "command": c} for pid, (t, c) in ticks().items()]
    busy = sorted((p for p in used if p["cpu"] >= 0.02), key=lambda p: -p["cpu"])[:5]
    return {"time": time.strftime("%Y-%m-%d %H:%M:%S"), "load": os.getloadavg(), "busy": busy}


def versions() -> Dict[str, str]:
    import importlib.metadata

    import numpy

    from vantle.utils.gstreamer import Gst

    found = dict(Python=platform.python_version(), GStreamer=Gst.version_string(), numpy=numpy.__version__)
    for name in ("avdec_h264", "souphttpsrc", "videoconvert", "rtspsrc"):
        plugin = Gst.ElementFactory.find(name).get_plugin()
        found[f"{name} ({plugin.get_name()})"] = plugin.get_version()
    for name, module in (("OpenCV", "cv2"), ("PyAV", "av")):
        found[name] = __import__(module).__version__
    return {**found, "vantle": importlib.metadata.version("vantle")}


@dataclasses.dataclass
class Bench:
    """What the sections share: the run's options, the runner of contenders, the media (`main`:
    the 1080p H.264 clip), the report, and figures passed between sections."""

    quick: bool
    repeats: int
    env: Dict[str, str]
    report: Any
    server: Any
    main: Dict[str, Any] = dataclasses.field(default_factory=dict)
    figures: Dict[str, Any] = dataclasses.field(default_factory=dict)
    raw: Dict[str, Any] = dataclasses.field(default_factory=lambda: {"rows": []})
    failures: List[str] = dataclasses.field(default_factory=list)
    notes: List[str] = dataclasses.field(default_factory=list)

    def one(self, row: str, how: Dict[str, Any], frames: int = 0, timeout: float = 900) -> Optional[Dict]:
        """One run of a row in a fresh process: a contender (how: its options) or a gst-launch
        pipeline (how: {"launch": ...}, `frames` long, timed as the whole process)."""
        load, options = os.getloadavg()[0], dict(how)
        if options.get("spawned") == SPAWN_TIME:  # as late as it can be known
            options["spawned"] = time.monotonic()
        argv = [sys.executable, str(BENCH_DIR / "contenders.py"), json.dumps(options)]
        argv = ["gst-launch-1.0", "-q", *how["launch"].split()] if "launch" in how else argv
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            started = time.perf_counter()
            child = subprocess.Popen(argv, stdout=out, stderr=err, env=self.env, start_new_session=True)
            timer = threading.Timer(timeout, child.kill)
            timer.start()
            _, status, usage = os.wait4(child.pid, 0)  # the rusage of this child alone
            wall = time.perf_counter() - started
            timer.cancel()
            out.seek(0)
            err.seek(0)
            if status:
                error = f"{row}: wait status {status}: {err.read().decode()[-1500:]}"
                print(f"[bench]   FAILED: {error}", file=sys.stderr)
                self.failures.append(error)
                return None
            report = {} if "launch" in how else json.loads(out.read().decode().strip().splitlines()[-1])
        cpu = usage.ru_utime + usage.ru_stime
        run = {"row": row, "wall": wall, "cpu": cpu, "frames": frames, "process_cpu": cpu, "load": load}
        run.update(max_rss=usage.ru_maxrss * 1024, **report)
        per = f"{1000 * run['cpu'] / run['frames']:7.2f} ms CPU/frame  " if run["frames"] else ""
        print(f"[bench]   {row:45s} {per}{run['wall']:7.2f} s  load {load:.1f}", file=sys.stderr)
        return run

    def rows(self, rows: Dict[str, Dict[str, Any]], expect: int, repeats: int = 0, **common: Any) -> Dict:
        """Every row `repeats` times (default: the run's), the rows taking turns in a rotating order;
        a run that gives other than `expect` frames (unless 0) is a failure."""
        results: Dict[str, List[Dict[str, Any]]] = {name: [] for name in rows}
        names = list(rows)
        for turn in range(repeats or self.repeats):
            print(f"[bench]  repeat {turn + 1}", file=sys.stderr)
            for name in names[turn % len(names) :] + names[: turn % len(names)]:
                run = self.one(name, {**common, **rows[name]}, expect)
                if run is not None and expect and run["frames"] != expect:
                    self.failures.append(f"{name}: {run['frames']} frames instead of {expect}")
                results[name] += [run] if run else []
        self.raw["rows"].append(results)
        return results

    def recipe(self, like: str, **changes: Any) -> Any:
        """A recipe of tests/support/media.py's catalogues with `changes`, its pictures moving colour
        bars: every frame differs, so that decoding has work to do."""
        from support.media import BENCH_CATALOGUE, CATALOGUE, MediaRecipe, ProbedRecipe

        base = {**CATALOGUE, **BENCH_CATALOGUE}[like]
        fields = {f.name: getattr(base, f.name) for f in dataclasses.fields(MediaRecipe)}
        return ProbedRecipe(**{**fields, **changes}, motion="horizontal-speed=4")

    def clip(self, name: str, recipe: Any = None) -> Optional[Dict[str, Any]]:
        """A clip of tests/support/media.py's BENCH_CATALOGUE (--quick: a few frames of it), or
        `recipe`, made once and cached, and served: {"recipe", "path", "url"}; None where this
        machine cannot make it (an encoder without 10-bit support)."""
        from support.media import BENCH_CATALOGUE, MediaUnavailable, default_cache_dir, generate

        if recipe is None:
            recipe = BENCH_CATALOGUE[name]
            recipe = dataclasses.replace(recipe, frames=60) if self.quick else recipe
        try:
            path = generate(recipe, default_cache_dir())
        except MediaUnavailable as error:
            self.notes.append(str(error))
            return None
        self.server.files[f"/{path.name}"] = path
        return {"recipe": recipe, "path": path, "url": self.server.url(path)}


def main_clip(bench: Bench) -> None:
    """The clip of the benchmark (1080p H.264 in MP4, moving colour bars, a keyframe every 30
    frames) and the same stream as an H.264 byte stream, served over and over at /loop/<name>."""
    frames = 150 if bench.quick else 600
    encoder = "x264enc speed-preset=veryfast bitrate=4000 key-int-max=30 bframes=0 option-string=scenecut=0"
    name = f"bench_h264_1080p_{frames}"
    recipe = bench.recipe("bench_h264_720p", name=name, frames=frames, encoder=encoder)
    clip = bench.clip("", dataclasses.replace(recipe, width=1920, height=1080))
    stream = clip["path"].with_suffix(".h264")
    if not stream.exists():
        partial = stream.with_suffix(f".{os.getpid()}.part")
        launch = f"filesrc location={clip['path']} ! qtdemux ! h264parse config-interval=-1 ! "
        launch += f"video/x-h264,stream-format=byte-stream,alignment=au ! filesink location={partial}"
        subprocess.run(["gst-launch-1.0", "-q", *launch.split()], check=True, capture_output=True)
        os.replace(partial, stream)
    bench.server.files[f"/{stream.name}"] = stream
    bench.main.update(clip, loop_url=bench.server.url(stream).replace("/bench_", "/loop/bench_"))


def main() -> None:
    sys.path[:0] = [str(BENCH_DIR), str(ROOT / "tests")]
    import report
    import sections

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: short clips, one repeat")
    parser.add_argument("--repeats", type=int, help="runs of every row (default 3; 1 with --quick)")
    parser.add_argument("--out", type=Path, help="where benchmarks.md and .png go")
    names = [*sections.SECTIONS, *sections.GROUPS]
    parser.add_argument("--only", nargs="+", choices=names, metavar="NAME", help="of " + ", ".join(names))
    args = parser.parse_args()
    ensure_environment()

    import vantle.demo  # noqa: F401 - initialises GStreamer
    from vantle import gst_plugins

    started, scratch = time.monotonic(), BENCH_DIR / "out"
    scratch.mkdir(parents=True, exist_ok=True)
    # A registry of the benchmark's own: gst-launch sees vantle's plugin through GST_PLUGIN_PATH
    # without rewriting the registry that other processes of this user share.
    env = dict(os.environ, GST_PLUGIN_PATH=str(gst_plugins.PLUGIN_DIR))
    env["GST_REGISTRY"] = str(scratch / f"gst-registry-{platform.machine()}.bin")
    env.pop("GST_DEBUG", None)
    subprocess.run(["gst-inspect-1.0", "vantleconvert"], env=env, capture_output=True, check=True)
    bench = Bench(args.quick, args.repeats or (1 if args.quick else 3), env, report.Report(), make_server(20))
    states = [machine_state()]
    print(f"[bench] load before: {states[0]['load']}", file=sys.stderr)
    try:
        main_clip(bench)
        chosen = [s for n in args.only or sections.SECTIONS for s in sections.GROUPS.get(n, [n])]
        for name in dict.fromkeys(chosen):
            print(f"[bench] {name} (load {os.getloadavg()[0]:.1f})", file=sys.stderr)
            sections.SECTIONS[name](bench)
    finally:
        bench.server.close()
    recipe, size = bench.main["recipe"], bench.main["path"].stat().st_size / report.MB
    media = f"Media: {recipe.width}x{recipe.height} H.264 in MP4, {recipe.frames} frames, a keyframe every "
    media += f"{recipe.keyint} frames, {size:.1f} MB, made once and cached with `{recipe.pipeline('FILE')}`; "
    media += "served to every contender by one HTTP server on 127.0.0.1 (Range requests supported) in the "
    media += "benchmark's own process, as the other clips are."
    cpu = [line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")]
    command = "python bench/run_all.py" + "".join(f" {a}" for a in sys.argv[1:])
    results = dict(command=command, quick=args.quick, repeats=bench.repeats, versions=versions(),
                   cpu=(cpu or ["?"])[0], cores=os.cpu_count(), states=[*states, machine_state()],
                   about=[media], seconds=time.monotonic() - started, notes=bench.notes,
                   failures=bench.failures)  # fmt: skip
    out = args.out or (scratch / "quick" if args.quick else scratch / "only" if args.only else ROOT / "docs")
    bench.report.write(results, out)
    stem = "results-quick" if args.quick else "results"
    (scratch / f"{stem}.json").write_text(json.dumps({**results, **bench.raw}, default=str, indent=1))
    print(f"[bench] wrote {out}/benchmarks.md and .png in {results['seconds']:.0f} s", file=sys.stderr)
    if bench.failures:
        sys.exit("[bench] failures:\n  " + "\n  ".join(bench.failures))


if __name__ == "__main__":
    main()
