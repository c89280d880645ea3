"""CPU time per 1080p frame converted to BGR: vantleconvert against videoconvert, for 8-bit and
10-bit 4:2:0, and resized to 640x360 before conversion.

    python bench/bench_convert.py [--frames 300] [--repeats 5] [--size 1920x1080]
                                  [--format I420,I420_10LE] [--source testsrc|freeze]

Each run is a fresh process playing
    videotestsrc num-buffers=N ! video/x-raw,format=FORMAT,width=1920,height=1080 ! CONVERTER ! fakesink
to end of stream, for each format of --format (comma-separated). With --source freeze, one
picture is repeated N times by imagefreeze: the source then costs nearly nothing and the figures
are steadier, but the input stays in the CPU's caches.
The CPU time of that run (every thread of the process, time.process_time) minus the median of
the same pipeline without a converter, divided by N, is the conversion's cost per frame. Wall
time per frame is shown as well. The target is vantleconvert at no more than a quarter of
videoconvert's CPU time.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time

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
    parser.add_argument("--source", choices=["testsrc", "freeze"], default="testsrc")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
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


if __name__ == "__main__":
    main()
