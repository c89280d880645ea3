"""CPU time per 1080p frame converted to BGR: vantleconvert against videoconvert, for 8-bit and
10-bit 4:2:0, and resized to 640x360 before conversion.

    python bench/bench_convert.py [--frames 300] [--repeats 5] [--size 1920x1080]
                                  [--format I420,I420_10LE] [--source testsrc|freeze]
    python bench/bench_convert.py --source decode [--repeats 5] [--plugin-dir DIR ...]

Each run is a fresh process playing
    videotestsrc num-buffers=N ! video/x-raw,format=FORMAT,width=1920,height=1080 ! CONVERTER ! fakesink
to end of stream, for each format of --format (comma-separated). With --source freeze, one
picture is repeated N times by imagefreeze: the source then costs nearly nothing and the figures
are steadier, but the input stays in the CPU's caches.
The CPU time of that run (every thread of the process, time.process_time) minus the median of
the same pipeline without a converter, divided by N, is the conversion's cost per frame. Wall
time per frame is shown as well. The target is vantleconvert at no more than a quarter of
videoconvert's CPU time.

With --source decode, the pictures are the benchmark clips' decoded frames (1080p H.264 4:2:0
8-bit, H.265 and VP9 10-bit 4:2:0, H.264 10-bit 4:4:4; made once and cached by run_all.py), and
each run is gst-launch-1.0 playing
    filesrc ! DEMUXER ! PARSER ! avdec_CODEC ! [vantleconvert n-threads=1 !] fakesink sync=false
to its end. The whole process's CPU time (user + system, from getrusage of the child) and minor
page faults, minus the median of the same pipeline without the converter, per frame, are the
converter's cost: what it adds to decoding, the copies and page faults it causes upstream
included. Each --plugin-dir (default: the package's plug-in) is a build of the plug-in measured
in turn with the others, so that builds can be compared in one sitting; the last column is each
stream's cost over the 8-bit stream's for the same build (the 10-bit target: 1.3 at most).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CONVERTERS = {
    "source only": "",
    "videoconvert": "videoconvert ! video/x-raw,format=BGR !",
    "vantleconvert n-threads=1": "vantleconvert n-threads=1 ! video/x-raw,format=BGR !",
    "vantleconvert (default threads)": "vantleconvert ! video/x-raw,format=BGR !",
    # Resized in the input's format before conversion, against videoconvert's rescaling path.
    "videoconvert + videoscale to 640x360": (
        "videoscale method=bilinear ! video/x-raw,width=640,height=360 ! videoconvert ! "
        "video/x-raw,format=BGR !"
    ),
    "vantleconvert width=640 height=360 n-threads=1": (
        "vantleconvert width=640 height=360 n-threads=1 ! video/x-raw,format=BGR !"
    ),
}


def child(launch: str) -> None:
    """Plays `launch` to end of stream; prints the CPU and wall seconds it took as JSON."""
    import gi

    gi.require_version("Gst", "1.0")
    from gi.repository import Gst

    from vantle import gst_plugins

    Gst.init(None)
    if not gst_plugins.register():
        raise SystemExit("the vantle GStreamer plugin is not available")
    pipeline = Gst.parse_launch(launch)
    pipeline.set_state(Gst.State.PAUSED)
    pipeline.get_state(Gst.CLOCK_TIME_NONE)
    cpu, wall = time.process_time(), time.perf_counter()
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(
        Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR
    )
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    pipeline.set_state(Gst.State.NULL)
    if message.type == Gst.MessageType.ERROR:
        raise SystemExit(f"pipeline error: {message.parse_error()[0].message}")
    print(json.dumps({"cpu": cpu, "wall": wall}))


def run_once(launch: str) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, __file__, "--child", launch], capture_output=True, text=True, check=True, timeout=600
    )
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--format", default="I420,I420_10LE", help="input formats, comma-separated")
    parser.add_argument("--source", choices=["testsrc", "freeze", "decode"], default="testsrc")
    parser.add_argument("--plugin-dir", action="append", help="with --source decode: a build to measure")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    if args.source == "decode":
        measure_decoded(args.repeats, args.plugin_dir or [str(default_plugin_dir())])
        return

    width, height = args.size.split("x")
    for video_format in args.format.split(","):
        measure(video_format, width, height, args)


def measure(video_format: str, width: str, height: str, args: argparse.Namespace) -> None:
    caps = f"video/x-raw,format={video_format},width={width},height={height},framerate=30/1"
    if args.source == "freeze":
        source = (
            f"videotestsrc num-buffers=1 pattern=smpte ! {caps} ! imagefreeze num-buffers={args.frames} !"
        )
    else:
        source = f"videotestsrc num-buffers={args.frames} pattern=smpte ! {caps} !"
    runs: dict[str, list[dict[str, float]]] = {name: [] for name in CONVERTERS}
    for _ in range(args.repeats):  # interleaved, so that drifts in machine load hit every variant alike
        for name, converter in CONVERTERS.items():
            runs[name].append(run_once(f"{source} {converter} fakesink sync=false"))

    base_cpu = statistics.median(r["cpu"] for r in runs["source only"])
    per_frame = {
        name: [1000 * (r["cpu"] - base_cpu) / args.frames for r in results]
        for name, results in runs.items()
        if name != "source only"
    }
    print(f"{video_format} {args.size} from {args.source}, {args.frames} frames, {args.repeats} runs each")
    print(f"source alone: {1000 * base_cpu / args.frames:.2f} ms CPU per frame (subtracted below)")
    header = ["CPU ms/frame: median", "min", "max", "wall ms/frame", "ratio"]
    print(f"{'converter':48} {header[0]:>20} {header[1]:>6} {header[2]:>6} {header[3]:>14} {header[4]:>6}")
    reference = statistics.median(per_frame["videoconvert"])
    for name, values in per_frame.items():
        wall = statistics.median(1000 * r["wall"] / args.frames for r in runs[name])
        median = statistics.median(values)
        print(
            f"{name:48} {median:20.2f} {min(values):6.2f} {max(values):6.2f} {wall:14.2f} "
            f"{median / reference:6.3f}"
        )
    print()


# Stream, benchmark clip (run_all.py), demuxer and parser.
DECODED_STREAMS = [
    ("H.264 8-bit 4:2:0 (I420)", "bench_h264_1080p", "qtdemux", "h264parse"),
    ("H.265 10-bit 4:2:0 (I420_10LE)", "bench_h265_10bit_1080p", "qtdemux", "h265parse"),
    ("VP9 10-bit 4:2:0 (I420_10LE)", "bench_vp9_10bit_1080p", "matroskademux", "vp9parse"),
    ("H.264 10-bit 4:4:4 (Y444_10LE)", "bench_h264_10bit_444_1080p", "qtdemux", "h264parse"),
]


def default_plugin_dir() -> Path:
    from vantle import gst_plugins

    return gst_plugins.PLUGIN_DIR


def decoded_clips() -> dict[str, tuple[Path, int, str]]:
    """Clip name -> (path, frames, codec), made by run_all.py's media helpers if not cached."""
    from run_all import bench_clips, bench_media

    media = bench_media(quick=True)
    clips = {"bench_h264_1080p": (media["mp4"], media["recipe"].frames, "h264")}
    for name, clip in bench_clips([name for _, name, _, _ in DECODED_STREAMS[1:]], quick=False).items():
        if "unavailable" not in clip:
            clips[name] = (clip["path"], clip["recipe"].frames, clip["recipe"].codec)
    return clips


def run_launch(launch: str, plugin_dir: str, registry: Path) -> tuple[float, int]:
    """Plays a gst-launch-1.0 pipeline to its end: (CPU seconds, minor page faults) of that process."""
    env = dict(os.environ, GST_PLUGIN_PATH=plugin_dir, GST_REGISTRY=str(registry))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(
        ["gst-launch-1.0", "-q", *launch.split()], env=env, check=True, timeout=600, capture_output=True
    )
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, after.ru_minflt - before.ru_minflt


def measure_decoded(repeats: int, plugin_dirs: list[str]) -> None:
    clips = decoded_clips()
    variants = {"decode only": ("", plugin_dirs[0])}
    variants.update(
        {
            f"vantleconvert n-threads=1, build {i}": ("vantleconvert n-threads=1 !", d)
            for i, d in enumerate(plugin_dirs)
        }
    )
    for i, plugin_dir in enumerate(plugin_dirs):
        print(f"build {i}: {plugin_dir}")
    print()
    costs: dict[tuple[str, str], float] = {}
    with tempfile.TemporaryDirectory() as scratch:
        # A registry per build, made before anything is timed.
        registries = {d: Path(scratch) / f"registry-{i}.bin" for i, d in enumerate(plugin_dirs)}
        for plugin_dir, registry in registries.items():
            env = dict(os.environ, GST_PLUGIN_PATH=plugin_dir, GST_REGISTRY=str(registry))
            subprocess.run(["gst-inspect-1.0", "vantleconvert"], env=env, check=True, capture_output=True)
        for label, name, demuxer, parser in DECODED_STREAMS:
            if name not in clips:
                print(f"{label}: no clip on this machine")
                continue
            path, frames, codec = clips[name]
            head = f"filesrc location={path} ! {demuxer} ! {parser} ! avdec_{codec} !"
            runs: dict[str, list[tuple[float, int]]] = {v: [] for v in variants}
            for _ in range(repeats):  # interleaved, so that drifts in machine load hit every variant alike
                for variant, (converter, plugin_dir) in variants.items():
                    launch = f"{head} {converter} fakesink sync=false"
                    runs[variant].append(run_launch(launch, plugin_dir, registries[plugin_dir]))
            base_cpu = statistics.median(cpu for cpu, _ in runs["decode only"])
            base_faults = statistics.median(faults for _, faults in runs["decode only"])
            print(
                f"{label}: {frames} frames, {repeats} runs each; decoding alone "
                f"{1000 * base_cpu / frames:.2f} ms CPU per frame"
            )
            print(f"  {'converter':40} {'CPU ms/frame':>12} {'faults/frame':>12} {'/ 8-bit':>8}")
            for variant in list(variants)[1:]:
                cost = 1000 * (statistics.median(cpu for cpu, _ in runs[variant]) - base_cpu) / frames
                faults = (statistics.median(f for _, f in runs[variant]) - base_faults) / frames
                costs[(variant, name)] = cost
                eight_bit = costs.get((variant, "bench_h264_1080p"))
                ratio = f"{cost / eight_bit:8.2f}" if eight_bit else f"{'':8}"
                print(f"  {variant:40} {cost:12.3f} {faults:12.1f} {ratio}")
            print()


if __name__ == "__main__":
    main()
