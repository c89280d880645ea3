"""Command line entry: python -m vantle."""

import sys


def main(argv=None) -> int:
    """Builds a test pipeline, pulls one frame and prints its caps and shape."""
    from vantle.utils.gstreamer import Gst, Pipeline, sample_to_ndarray

    pipeline = Pipeline.from_launch_string(
        "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=640,height=480 ! appsink name=sink", "demo"
    )
    pipeline.appsink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    try:
        pipeline.wait_until_playing(10)
        sample = pipeline.appsink.try_pull_sample(10 * Gst.SECOND)
        if sample is None:
            print("no frame arrived", file=sys.stderr)
            return 1
        frame = sample_to_ndarray(sample)
        print(f"caps: {sample.get_caps().to_string()}")
        print(f"frame: shape={frame.shape} dtype={frame.dtype}")
        return 0
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(10)
        pipeline.release_resources()


if __name__ == "__main__":
    sys.exit(main())
