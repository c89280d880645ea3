"""sample_to_ndarray against a single numpy copy of the same mapped bytes, and sample_as_ndarray,
which makes no copy at all.

Run: python bench/bench_frames.py [--repeats N]

Every contender maps the buffer for reading and unmaps it again; the baseline copies the mapped
bytes with np.frombuffer(...).copy(), sample_to_ndarray makes its one copy of the frame, and
sample_as_ndarray keeps the mapping for its array, released when the array is dropped (within
the timed call: what a reader that drops each frame pays per frame). Repetitions are
interleaved (the order rotates every round) so that drift in the machine's load affects all
alike. Target: sample_to_ndarray at most 1.25x the baseline at 1080p; sample_as_ndarray should
cost a few microseconds whatever the size.
"""

import argparse
import gc
import statistics
import time
from typing import Dict, List

import gi
import numpy as np

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

from vantle.utils.gstreamer import sample_as_ndarray, sample_to_ndarray  # noqa: E402

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


def measure(sample: Gst.Sample, repeats: int) -> Dict[str, List[float]]:
    """Interleaved timings in microseconds, by contender: "ours" (sample_to_ndarray), "baseline"
    (one numpy copy) and "zero_copy" (sample_as_ndarray)."""
    contenders = {"ours": sample_to_ndarray, "baseline": numpy_copy, "zero_copy": sample_as_ndarray}
    names = list(contenders)
    times: Dict[str, List[float]] = {name: [] for name in names}
    for f in contenders.values():  # warm-up
        for _ in range(5):
            f(sample)
    for round_ in range(repeats):
        turn = round_ % len(names)
        for name in names[turn:] + names[:turn]:
            f = contenders[name]
            start = time.perf_counter_ns()
            f(sample)
            times[name].append((time.perf_counter_ns() - start) / 1000)
    return times


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
        assert np.array_equal(sample_as_ndarray(sample), sample_to_ndarray(sample))
        gc.collect()
        gc.disable()
        try:
            times = measure(sample, args.repeats)
        finally:
            gc.enable()
        ours, baseline, zero_copy = times["ours"], times["baseline"], times["zero_copy"]
        ratio = statistics.median(ours) / statistics.median(baseline)
        zero_ratio = statistics.median(zero_copy) / statistics.median(baseline)
        for name, values, shown in [
            ("sample_to_ndarray", ours, f"{ratio:6.2f}"),
            ("numpy copy", baseline, ""),
            ("sample_as_ndarray", zero_copy, f"{zero_ratio:6.3f}"),
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
