"""Every benchmark of vantle side by side with its baselines, in one run.

    python bench/run_all.py [--quick] [--repeats N] [--out DIR] [--only SECTION ...]

Run it with the interpreter of the development environment (scripts/dev.sh setup). The peers
(OpenCV, PyAV) and matplotlib are installed from bench/requirements.txt into an environment of
the benchmark's own, layered over that one (`<venv>-bench`, or $VANTLE_BENCH_VENV), and the
command runs again from there. The media is made once and cached (tests/support/media.py) and
served to every contender by one HTTP server on 127.0.0.1. Each measured run is a fresh
process; the rows of a section take turns within every repeat, in an order that rotates, so
that drifts in the machine's load reach them alike.

The sections are those of bench/sections.py, in its order; `--only fleet` runs the camera
fleet's (many files, live RTSP cameras, start-up, Ray). Writes DIR/benchmarks.md and
DIR/benchmarks.png (DIR: docs/, or bench/out/quick/ with --quick) and the raw figures as
bench/out/results*.json.
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
from typing import Any, Dict, List, Optional, Sequence

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
REQUIREMENTS = BENCH_DIR / "requirements.txt"
# Marks an environment made by this command, so that it is never layered again.
BENCH_MARKER = "vantle-bench-environment"
# Stands for the moment of the spawn in a contender's options.
SPAWN_TIME = -1.0


def ensure_environment() -> None:
    """Runs this command again from the benchmark's environment unless it already runs there."""
    if (Path(sys.prefix) / BENCH_MARKER).exists():
        return
    try:
        import vantle  # noqa: F401
    except ImportError:
        raise SystemExit(
            "vantle is not importable: run this with the development environment's python"
        ) from None
    venv = Path(os.environ.get("VANTLE_BENCH_VENV") or f"{sys.prefix.rstrip('/')}-bench")
    python = venv / "bin" / "python"
    if not python.exists():
        print(f"[bench] creating {venv}, layered over {sys.prefix}", file=sys.stderr)
        base = getattr(sys, "_base_executable", None) or sys.executable
        subprocess.run([base, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    # The development environment's packages (vantle, numpy) come next after the benchmark's own.
    paths = sysconfig.get_paths()
    layered = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True,
    ).stdout.strip()  # fmt: skip
    Path(layered, "vantle-dev.pth").write_text(
        "".join(f"{d}\n" for d in sorted({paths["purelib"], paths["platlib"]}))
    )
    stamp, wanted = venv / BENCH_MARKER, hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()[:16]
    if not stamp.exists() or stamp.read_text().strip() != wanted:
        print(f"[bench] installing {REQUIREMENTS.name} into {venv}", file=sys.stderr)
        pip = [
            str(python),
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            "-r",
            str(REQUIREMENTS),
        ]
        subprocess.run(pip, check=True)
        stamp.write_text(wanted + "\n")
    os.execv(str(python), [str(python), str(Path(__file__).resolve()), *sys.argv[1:]])


def make_server(files: Sequence[Path], loops: int) -> Any:
    """vantle's demo MediaServer (files with Range support), with one more route: /loop/<name>
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
            data = path.read_bytes()
            try:
                for _ in range(loops if body else 0):
                    self.wfile.write(data)
            except (BrokenPipeError, ConnectionResetError):
                pass

    server = MediaServer(list(files))
    server.RequestHandlerClass = LoopingHandler
    return server


def _ticks() -> Dict[int, tuple]:
    """pid -> (user + system ticks, command line) of every process."""
    ticks = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = Path(f"/proc/{pid}/stat").read_text()
            command = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2 :].split()
        ticks[int(pid)] = (int(fields[11]) + int(fields[12]), command.strip() or stat.split()[1])
    return ticks


def machine_state() -> Dict[str, Any]:
    """The load, and the processes other than this one that used most CPU over a second."""
    before = _ticks()
    time.sleep(1.0)
    busy = []
    for pid, (ticks, command) in _ticks().items():
        used = (ticks - before.get(pid, (ticks,))[0]) / os.sysconf("SC_CLK_TCK")
        if pid != os.getpid() and used >= 0.02:
            busy.append({"cpu": round(used, 2), "command": command[:90]})
    busy = sorted(busy, key=lambda p: -p["cpu"])[:5]
    return {"time": time.strftime("%Y-%m-%d %H:%M:%S"), "load": os.getloadavg(), "busy": busy}


def versions(env: Dict[str, str]) -> Dict[str, str]:
    import importlib.metadata

    import numpy

    from vantle.utils.gstreamer import Gst

    found = {
        "Python": platform.python_version(),
        "GStreamer": Gst.version_string(),
        "numpy": numpy.__version__,
    }
    for name in ("avdec_h264", "souphttpsrc", "videoconvert", "rtspsrc"):
        factory = Gst.ElementFactory.find(name)
        if factory is not None:
            found[f"{name} ({factory.get_plugin().get_name()})"] = factory.get_plugin().get_version()
    for name, module in (("OpenCV", "cv2"), ("PyAV", "av")):
        try:
            found[name] = __import__(module).__version__
        except ImportError:
            pass
    found["vantle"] = importlib.metadata.version("vantle")
    return found


class ChildFailed(RuntimeError):
    pass


def run_process(argv: Sequence[str], env: Dict[str, str], timeout: float) -> tuple:
    """Runs argv to its end: (stdout, the child's own rusage, wall seconds)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env, start_new_session=True)
        timer = threading.Timer(timeout, proc.kill)
        timer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)  # this child's rusage alone
        finally:
            timer.cancel()
        wall = time.perf_counter() - started
        out.seek(0)
        err.seek(0)
        if os.waitstatus_to_exitcode(status) != 0:
            stderr = err.read().decode(errors="replace")
            raise ChildFailed(
                f"{' '.join(argv)[:300]} exited with {os.waitstatus_to_exitcode(status)}:\n{stderr[-3000:]}"
            )
        return out.read().decode(errors="replace"), usage, wall


@dataclasses.dataclass
class Bench:
    """What the sections share: the options of the run, the runner of contenders, the media and
    the report."""

    quick: bool
    repeats: int
    env: Dict[str, str]
    report: Any
    server: Any = None
    main: Dict[str, Any] = dataclasses.field(default_factory=dict)  # the 1080p H.264 clip
    figures: Dict[str, Any] = dataclasses.field(default_factory=dict)  # shared between sections
    raw: Dict[str, Any] = dataclasses.field(default_factory=dict)
    failures: List[str] = dataclasses.field(default_factory=list)
    notes: List[str] = dataclasses.field(default_factory=list)

    def one(
        self, row: str, how: Dict[str, Any], frames: int = 0, timeout: float = 900
    ) -> Optional[Dict[str, Any]]:
        """One run of a row in a fresh process: a contender (how: its options) or a gst-launch
        pipeline (how: {"launch": ...}, `frames` long, timed as the whole process)."""
        load = os.getloadavg()[0]
        if "launch" in how:
            argv = ["gst-launch-1.0", "-q", *how["launch"].split()]
        else:
            options = {k: v for k, v in how.items() if k != "expect"}
            if options.get("spawned") == SPAWN_TIME:  # as late as it can be known
                options["spawned"] = time.monotonic()
            argv = [sys.executable, str(BENCH_DIR / "contenders.py"), json.dumps(options)]
        try:
            stdout, usage, wall = run_process(argv, self.env, timeout)
        except (ChildFailed, OSError) as error:
            self.failures.append(f"{row}: {str(error)[:1500]}")
            print(f"[bench]   {row}: FAILED: {str(error)[:800]}", file=sys.stderr)
            return None
        cpu = usage.ru_utime + usage.ru_stime
        run = {
            "row": row,
            "wall": wall,
            "cpu": cpu,
            "frames": frames,
            "process_cpu": cpu,
            "process_wall": wall,
        }
        run.update(max_rss=usage.ru_maxrss * 1024, load=load)
        run.update(json.loads(stdout.strip().splitlines()[-1]) if "launch" not in how else {})
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
        self.raw.setdefault("rows", []).append(results)
        return results

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"[bench]   note: {text}", file=sys.stderr)

    def recipe(self, name: str, width: int, height: int, frames: int, bitrate: int) -> Any:
        """A clip like the catalogue's 720p one (moving colour bars, x264 without B-frames, a
        keyframe every 30 frames, MP4 with its index first) of another size, length and bitrate."""
        from support.media import BENCH_CATALOGUE

        like = BENCH_CATALOGUE["bench_h264_720p"]
        encoder = like.encoder.replace("bitrate=2500", f"bitrate={bitrate}")
        return dataclasses.replace(
            like, name=name, width=width, height=height, frames=frames, encoder=encoder
        )

    def clip(self, name: str, recipe: Any = None) -> Optional[Dict[str, Any]]:
        """A clip of tests/support/media.py's BENCH_CATALOGUE (or `recipe`), made once and cached
        (--quick: a few frames of it) and served: {"recipe", "path", "url"}; None where this
        machine cannot make it (an encoder without 10-bit support)."""
        from support.media import BENCH_CATALOGUE, MediaUnavailable, default_cache_dir, generate

        if recipe is None and self.quick:
            recipe = dataclasses.replace(BENCH_CATALOGUE[name], frames=30 if "2160" in name else 60)
        recipe = recipe or BENCH_CATALOGUE[name]
        try:
            path = generate(recipe, default_cache_dir())
        except MediaUnavailable as error:
            self.note(str(error))
            return None
        self.server.files[f"/{path.name}"] = path
        return {"recipe": recipe, "path": path, "url": self.server.url(path)}


def main_clip(bench: Bench) -> None:
    """The clip of the benchmark (1080p H.264 in MP4, moving colour bars, a keyframe every 30
    frames) and the same stream as an H.264 byte stream, served over and over at /loop/<name>."""
    frames = 150 if bench.quick else 600
    clip = bench.clip("", bench.recipe(f"bench_h264_1080p_{frames}", 1920, 1080, frames, 4000))
    elementary = clip["path"].with_suffix(".h264")
    if not elementary.exists():
        partial = elementary.with_suffix(f".{os.getpid()}.part")
        launch = f"filesrc location={clip['path']} ! qtdemux ! h264parse config-interval=-1 ! "
        launch += f"video/x-h264,stream-format=byte-stream,alignment=au ! filesink location={partial}"
        subprocess.run(
            ["gst-launch-1.0", "-q", *launch.split()], check=True, capture_output=True, timeout=120
        )
        os.replace(partial, elementary)
    bench.server.files[f"/{elementary.name}"] = elementary
    clip["loop_url"] = bench.server.url(elementary).replace(f"/{elementary.name}", f"/loop/{elementary.name}")
    bench.main.update(clip, pipeline=clip["recipe"].pipeline("FILE"))


def main() -> None:
    sys.path[:0] = [str(BENCH_DIR), str(ROOT / "tests")]
    import report
    import sections

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: short clips, one repeat")
    parser.add_argument("--repeats", type=int, help="runs of every row (default 3; 1 with --quick)")
    parser.add_argument("--out", type=Path, help="where benchmarks.md and .png go")
    parser.add_argument(
        "--only", nargs="+", choices=[*sections.SECTIONS, *sections.GROUPS], help="these sections only"
    )
    args = parser.parse_args()
    ensure_environment()

    import vantle.demo  # noqa: F401 - initialises GStreamer
    from vantle import gst_plugins

    started = time.monotonic()
    scratch = BENCH_DIR / "out"
    scratch.mkdir(parents=True, exist_ok=True)
    # A registry of the benchmark's own: gst-launch sees vantle's plugin through GST_PLUGIN_PATH
    # without rewriting the registry that other processes of this user share.
    env = dict(os.environ, GST_PLUGIN_PATH=str(gst_plugins.PLUGIN_DIR))
    env["GST_REGISTRY"] = str(scratch / f"gst-registry-{platform.machine()}.bin")
    env.pop("GST_DEBUG", None)
    subprocess.run(["gst-inspect-1.0", "vantleconvert"], env=env, capture_output=True, check=True)
    chosen = [s for name in args.only or sections.DEFAULT for s in sections.GROUPS.get(name, [name])]
    bench = Bench(args.quick, args.repeats or (1 if args.quick else 3), env, report.Report())
    states = [machine_state()]
    print(f"[bench] load before: {states[0]['load']}", file=sys.stderr)
    bench.server = make_server([], loops=(900 if args.quick else 10_000) // (150 if args.quick else 600) + 2)
    try:
        main_clip(bench)
        for name in dict.fromkeys(chosen):
            print(f"[bench] {name} (load {os.getloadavg()[0]:.1f})", file=sys.stderr)
            sections.SECTIONS[name](bench)
    finally:
        bench.server.close()
    states.append(machine_state())
    media, recipe = bench.main, bench.main["recipe"]
    results = {
        "command": "python bench/run_all.py" + "".join(f" {a}" for a in sys.argv[1:]),
        "quick": args.quick,
        "repeats": bench.repeats,
        "versions": versions(env),
        "cpu": next(
            (line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if "model name" in line), "?"
        ),
        "cores": os.cpu_count(),
        "states": states,
        "seconds": time.monotonic() - started,
        "about": [
            f"Media: {recipe.width}x{recipe.height} H.264 in MP4, {recipe.frames} frames, a keyframe every "
            f"{recipe.keyint} frames, {media['path'].stat().st_size / report.MB:.1f} MB, made once and cached "
            f"with `{media['pipeline']}`; served to every contender by one HTTP server on 127.0.0.1 (Range "
            "requests supported) in the benchmark's own process; the other clips likewise.",
            *bench.figures.get("about", []),
        ],
        "notes": bench.notes,
        "failures": bench.failures,
    }
    out = args.out or (scratch / "quick" if args.quick else ROOT / "docs")
    bench.report.write(results, out)
    stem = "results-quick" if args.quick else "results"
    (scratch / f"{stem}.json").write_text(json.dumps({**results, **bench.raw}, default=str, indent=1))
    print(f"[bench] wrote {out}/benchmarks.md and .png in {results['seconds']:.0f} s", file=sys.stderr)
    if bench.failures:
        sys.exit("[bench] failures:\n  " + "\n  ".join(bench.failures))


if __name__ == "__main__":
    main()
