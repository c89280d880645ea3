"""Soak: hundreds of streams built, played, read and torn down in one process. Threads,
descriptors and memory stay flat, and every pipeline is finalized."""

from __future__ import annotations

import gc
import os
import time

import pytest
from support.leaks import Resources

from vantle import open_stream
from vantle.pipeline_factories.http import HTTPPipelineFactory
from vantle.utils.gstreamer import Gst

pytestmark = [pytest.mark.network, pytest.mark.timeout(120)]

CYCLES = 300
WARM_UP = 30  # cycles before the first measurement: pools, caches and arenas fill up
FRAMES = 3  # pulled in each cycle
BUDGET = 10.0  # seconds for each wait; a cycle takes a few tens of milliseconds
MEDIA = ["h264_mp4", "vp8_webm", "mjpeg_mkv"]  # three demuxers and three decoders in turn

# Resident memory moves by a megabyte or two between measurements (malloc arenas of the
# streaming threads, Python's free lists; the test server's log of requests grows by under
# 1 KiB a cycle). One decoded frame kept per cycle would add 225 KiB x 270 = 59 MiB, a
# pipeline kept per cycle far more.
RSS_GROWTH = 8 * 2**20
# Growth over the second half must be noise: a slow leak of 30 KiB a cycle shows as 4 MiB.
RSS_SECOND_HALF_GROWTH = 4 * 2**20
# None: the warm-up cycles have filled GLib's and GStreamer's thread pools.
THREAD_SLACK = 0


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def watcher(bus, message, pipeline) -> bool:
    return True


def with_factory(url: str, on_finalized) -> object:
    pipeline = HTTPPipelineFactory(url=url, pipeline_watcher=watcher, keyframes_only=False).build()
    ref = pipeline.weak_ref(on_finalized)
    try:
        pipeline.wait_until_playing(BUDGET)
        for _ in range(FRAMES):
            assert pipeline.appsink.try_pull_sample(int(BUDGET * Gst.SECOND)) is not None
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(BUDGET)
        pipeline.release_resources()
    del pipeline
    return ref


def with_reader(url: str, on_finalized) -> object:
    with open_stream(url, timeout=BUDGET, frame_timeout=BUDGET) as stream:
        ref = stream.pipeline.weak_ref(on_finalized)
        for _ in range(FRAMES):
            assert stream.read() is not None
    return ref


def test_build_play_read_release_cycles_stay_flat(media_url):
    urls = [media_url(name) for name in MEDIA]
    finalized = []
    refs = []  # a GObject weak reference stops watching when it is dropped

    def cycle(i: int) -> None:
        # Factory-level and reader-level cycles in turn, over the three media.
        run = with_factory if (i // len(urls)) % 2 == 0 else with_reader
        refs.append(run(urls[i % len(urls)], lambda: finalized.append(i)))

    for i in range(WARM_UP):
        cycle(i)
    gc.collect()
    resources, rss_start = Resources.take(), rss()
    started = time.monotonic()
    half = WARM_UP + (CYCLES - WARM_UP) // 2
    for i in range(WARM_UP, half):
        cycle(i)
    gc.collect()
    rss_half = rss()
    for i in range(half, CYCLES):
        cycle(i)
    gc.collect()
    rss_end = rss()
    elapsed = time.monotonic() - started

    assert len(finalized) == CYCLES, f"{CYCLES - len(finalized)} pipelines were never finalized"
    resources.assert_released(thread_slack=THREAD_SLACK)
    mib = 2**20
    report = (
        f"RSS {rss_start / mib:.1f} -> {rss_half / mib:.1f} -> {rss_end / mib:.1f} MiB over "
        f"{CYCLES - WARM_UP} cycles in {elapsed:.1f} s"
    )
    if os.environ.get("VANTLE_SANITIZERS"):
        # AddressSanitizer keeps freed memory in quarantine: RSS says nothing there.
        return
    assert rss_end - rss_start < RSS_GROWTH, report
    assert rss_end - rss_half < RSS_SECOND_HALF_GROWTH, report
