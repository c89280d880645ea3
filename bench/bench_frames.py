"""sample_to_ndarray against a single numpy copy of the same mapped bytes.

Run: python bench/bench_frames.py [--repeats N]

Both sides map the buffer for reading and unmap it again; the baseline copies the mapped
bytes with np.frombuffer(...).copy(), sample_to_ndarray makes its one copy of the frame.
Repetitions are interleaved (the order alternates every round) so that drift in the
machine's load affects both alike. Target: at most 1.25x the baseline at 1080p.
"""

import argparse
import gc
import statistics
import time

import gi
import numpy as np

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

from vantle.utils.gstreamer import sample_to_ndarray  # noqa: E402

TARGET_RATIO_1080P = 1.25


def pull_sample(width: int, height: int) -> Gst.Sample:
    pipeline = Gst.parse_launch(
        f"videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,format=BGR,width={width},height={height} "
        "! appsink name=sink"
    )
    pipeline.set_state(Gst.State.PLAYING)
    sample = pipeline.get_by_name("sink").try_pull_sample(10 * Gst.SECOND)
    pipeline.set_state(Gst.State.NULL)
    if sample is None:
        raise SystemExit(f"no {width}x{height} sample from videotestsrc")
    return sample


def numpy_copy(sample: Gst.Sample) -> np.ndarray:
    buffer = sample.get_buffer()
    ok, info = buffer.map(Gst.MapFlags.READ)
    try:
        return np.frombuffer(info.data, np.uint8).copy()
    finally:
        buffer.unmap(info)


def measure(sample: Gst.Sample, repeats: int):
    """Interleaved timings in microseconds: (ours, baseline)."""
    contenders = [sample_to_ndarray, numpy_copy]
    times = {f: [] for f in contenders}
    for f in contenders:  # warm-up
        for _ in range(5):
            f(sample)
    for round_ in range(repeats):
        order = contenders if round_ % 2 == 0 else contenders[::-1]
        for f in order:
            start = time.perf_counter_ns()
            f(sample)
            times[f].append((time.perf_counter_ns() - start) / 1000)
    return times[sample_to_ndarray], times[numpy_copy]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=300, help="interleaved rounds per size")
    args = parser.parse_args()
    Gst.init(None)

    print(f"{'frame':<10} {'method':>18} {'median us':>10} {'min us':>9} {'max us':>9} {'ratio':>6}")
    verdict = None
    for width, height in [(1920, 1080), (640, 480)]:
        sample = pull_sample(width, height)
        assert np.array_equal(sample_to_ndarray(sample).reshape(-1), numpy_copy(sample))
        gc.collect()
        gc.disable()
        try:
            ours, baseline = measure(sample, args.repeats)
        finally:
            gc.enable()
        ratio = statistics.median(ours) / statistics.median(baseline)
        for name, values, shown in [
            ("sample_to_ndarray", ours, f"{ratio:6.2f}"),
            ("numpy copy", baseline, ""),
        ]:
            print(
                f"{f'{width}x{height}':<10} {name:>18} {statistics.median(values):10.1f} "
                f"{min(values):9.1f} {max(values):9.1f} {shown:>6}"
            )
        if (width, height) == (1920, 1080):
            verdict = ratio
    met = "met" if verdict <= TARGET_RATIO_1080P else "NOT met"
    print(
        f"target at 1080p: ratio <= {TARGET_RATIO_1080P} ({met}: {verdict:.2f}); "
        f"{args.repeats} rounds per size"
    )


if __name__ == "__main__":
    main()
