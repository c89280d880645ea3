"""The command line: the built-in demo stream, progress, summary, contact sheet, errors."""

from __future__ import annotations

import os
import pty
import subprocess
import sys

import numpy as np
import pytest
from support.media import decode_frames, picture_difference, run_appsink

from vantle.demo import DEMO_HEIGHT, DEMO_PATTERN, DEMO_WIDTH, ContactSheet

pytestmark = [pytest.mark.network, pytest.mark.timeout(120)]


def vantle(*args, stderr=subprocess.PIPE):
    return subprocess.run(
        [sys.executable, "-m", "vantle", *args], stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=100
    )


def summary(stdout):
    return dict(line.split(": ", 1) for line in stdout.splitlines() if ": " in line)


def pattern_picture():
    frames = []

    def take(sample):
        buffer = sample.get_buffer()
        data = np.frombuffer(buffer.extract_dup(0, buffer.get_size()), np.uint8)
        frames.append(data.reshape(DEMO_HEIGHT, DEMO_WIDTH, 4)[:, :, :3].copy())

    run_appsink(
        f"videotestsrc num-buffers=1 pattern={DEMO_PATTERN} ! "
        f"video/x-raw,format=BGRx,width={DEMO_WIDTH},height={DEMO_HEIGHT} ! appsink name=sink",
        take,
    )
    return frames[0]


def test_demo_reads_the_built_in_stream_and_writes_the_snapshot(tmp_path):
    snapshot = tmp_path / "sheet.png"
    result = vantle("--snapshot", str(snapshot))
    assert result.returncode == 0, result.stderr
    lines = summary(result.stdout)
    assert lines["demo stream"].startswith("http://127.0.0.1:")
    assert lines["frames"] == "300" and lines["resolution"] == f"{DEMO_WIDTH}x{DEMO_HEIGHT}"
    assert float(lines["fps"]) > 0 and lines["dropped"] == "0"
    assert lines["snapshot"] == str(snapshot)

    # The sheet holds six thumbnails (each frame halved) of the static test picture.
    (sheet,) = decode_frames(f'filesrc location="{snapshot}"')
    thumb_h, thumb_w = DEMO_HEIGHT // 2, DEMO_WIDTH // 2
    assert sheet.shape == (2 * thumb_h, 3 * thumb_w, 3)
    expected = pattern_picture()[::2, ::2]
    for row in range(2):
        for column in range(3):
            thumb = sheet[row * thumb_h : (row + 1) * thumb_h, column * thumb_w : (column + 1) * thumb_w]
            # The bars of the picture; its lower band holds noise that no codec keeps.
            assert picture_difference(thumb[: thumb_h * 2 // 3], expected[: thumb_h * 2 // 3]) < 8


def test_progress_line_on_a_terminal_and_frame_limit():
    controller, terminal = pty.openpty()
    try:
        result = vantle("--frames", "5", "--keyframes-only", stderr=terminal)
    finally:
        os.close(terminal)
    output = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    os.close(controller)
    assert result.returncode == 0
    assert summary(result.stdout)["frames"] == "5"
    assert b"\rframes       5  fps" in output and f"{DEMO_WIDTH}x{DEMO_HEIGHT}".encode() in output


def test_frame_limit_stops_early():
    result = vantle("--frames", "7")
    assert result.returncode == 0 and summary(result.stdout)["frames"] == "7"


def test_failing_stream_exits_with_the_error(http_server):
    result = vantle(http_server.url("/status/404"), "--timeout", "5")
    assert result.returncode == 1
    assert result.stderr.startswith("error: Not found (HTTP status 404): ") and result.stdout == ""


def test_bad_arguments_are_refused():
    result = vantle("--frames", "0")
    assert result.returncode == 2 and "--frames must be at least 1" in result.stderr


def test_contact_sheet_keeps_frames_spread_over_the_stream():
    sheet = ContactSheet(count=4)
    for index in range(100):
        sheet.offer(np.full((4, 6, 3), index, np.uint8))
    assert [int(frame[0, 0, 0]) for frame in sheet.chosen()] == [0, 32, 64, 96]
    assert sheet.render(columns=2, scale=2).shape == (4, 6, 3)
    few = ContactSheet(count=4)
    for index in range(3):
        few.offer(np.full((4, 6, 3), index, np.uint8))
    assert few.render(columns=2, scale=1).shape == (8, 12, 3)
    assert ContactSheet().render() is None
