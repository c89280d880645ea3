"""The package as a type checker sees it from a user's script: mypy --strict, with the GObject
bindings' stubs, over short scripts. Uses that are right must pass; each wrong use must fail
with its error code, which proves that GStreamer's types reach the user as themselves, not Any.

mypy runs once, over every script, in a subprocess of this interpreter (so it finds the
installed package and stubs) with its cache in a temporary folder.
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
from typing import Dict, List, Tuple

import pytest


def _stubs_installed() -> bool:
    try:
        importlib.metadata.distribution("pygobject-stubs")
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
    pytest.mark.skipif(not _stubs_installed(), reason="pygobject-stubs is not installed"),
]

# What every script starts with.
PRELUDE = """\
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
from gi.repository import Gst, GstApp
from typing_extensions import assert_type

import vantle
from vantle import Frame, StreamReader, StreamSet, StreamStats, open_stream, open_streams
from vantle.errors import StreamSetupError
from vantle.pipeline_factories.custom import CustomPipelineFactory
from vantle.pipeline_factories.http import HTTPPipelineFactory
from vantle.utils.gstreamer import Pipeline, sample_as_ndarray, sample_to_ndarray

URL = "http://127.0.0.1:8000/clip.mp4"
LAUNCH = "souphttpsrc location={url} ! jpegdec ! videoconvert ! appsink name=main_sink"


def watch(bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
    return message.type != Gst.MessageType.ERROR
"""

# Right uses, one script each: every one must type-check without a single error. New public
# API gets a script of its own here (and its wrong uses a row in WRONG).
GOOD: Dict[str, str] = {
    "reader": """
def frame_sizes(url: str, count: int) -> List[Tuple[int, int]]:
    sizes: List[Tuple[int, int]] = []
    with open_stream(url, timeout=5.0, keyframes_only=False, frame_timeout=2.0) as reader:
        assert_type(reader, StreamReader)
        for frame in reader:
            height, width = frame.shape[:2]
            sizes.append((int(height), int(width)))
            if not frame.flags.writeable and len(sizes) == count:
                break
        stats: StreamStats = reader.stats
        rate: float = stats.fps
        first: Optional[float] = stats.time_to_first_frame
        seen: int = stats.frames + stats.dropped + stats.reconnects
        print(rate, first, seen, [gap.seconds for gap in stats.gaps])
    return sizes


def one_frame(url: str) -> Optional[npt.NDArray[np.uint8]]:
    reader = StreamReader(url, pipeline=LAUNCH, drop_frames=True, reconnect=2)
    opener: Callable[..., StreamReader] = vantle.open_stream
    print(opener, vantle.StreamStats().frames)
    reader.open()
    try:
        frame = reader.read()
        return None if frame is None else frame.astype(np.uint8)
    finally:
        reader.close()
""",
    "frames": """
def keyframe_times(url: str) -> List[float]:
    times: List[float] = []
    with open_stream(url) as reader:
        for frame in reader.frames():
            assert_type(frame, Frame)
            image: npt.NDArray[np.uint8] = frame.image
            pts: Optional[float] = frame.pts
            if frame.keyframe and pts is not None and image.shape[0] > 0:
                times.append(pts)
            print(frame.index + 1, frame.received - 1.0, frame.source.upper())
        last: Optional[Frame] = reader.read_frame()
        print(last)
    return times
""",
    "many": """
def brightness(cameras: Dict[str, str]) -> Dict[str, float]:
    seen: Dict[str, float] = {}
    with open_streams(cameras, drop_frames=True, reconnect=3) as streams:
        assert_type(streams, StreamSet)
        for frame in streams:
            assert_type(frame, Frame)
            seen[frame.source] = float(frame.image.mean())
        failed: Dict[str, StreamSetupError] = streams.errors
        counts: Dict[str, StreamStats] = streams.stats
        print({key: error.kind for key, error in failed.items()}, counts)
    urls = open_streams([URL, URL + "?2"], timeout=5.0)
    per_stream = open_streams({"a": {"url": URL, "keyframes_only": True}, "b": URL})
    nxt: Optional[Frame] = urls.read_frame()
    urls.close()
    per_stream.close()
    print(nxt)
    return seen
""",
    "factories": """
def pull_one(url: str) -> Optional[npt.NDArray[np.uint8]]:
    pipeline = HTTPPipelineFactory(url=url, pipeline_watcher=watch, keyframes_only=True).build()
    try:
        pipeline.wait_until_playing(5.0)
        appsink = pipeline.appsink
        assert_type(appsink, GstApp.AppSink)
        sample = appsink.try_pull_sample(Gst.SECOND)
        if sample is None:
            return None
        frame = sample_to_ndarray(sample)
        assert_type(frame, npt.NDArray[np.uint8])
        return frame
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(5.0)
        pipeline.release_resources()


def custom(url: str) -> Gst.Element:
    pipeline = CustomPipelineFactory(LAUNCH, url=url, pipeline_watcher=watch, keyframes_only=False).build()
    assert_type(pipeline, Pipeline)
    source = pipeline.new_element("videotestsrc", properties={"is-live": True}, auto_play=False)
    return pipeline.new_element("queue", link_to=source)
""",
    "zero_copy": """
def held_frames(sink: GstApp.AppSink, count: int) -> List[npt.NDArray[np.uint8]]:
    frames: List[npt.NDArray[np.uint8]] = []
    while len(frames) < count:
        sample = sink.try_pull_sample(Gst.SECOND)
        if sample is None:
            break
        frame = sample_as_ndarray(sample)
        assert_type(frame, npt.NDArray[np.uint8])
        frames.append(frame[::2, ::2])
    return frames
""",
}

# What wrong-use scripts work on, after the prelude.
SUBJECTS = """
pipeline = HTTPPipelineFactory(url=URL, pipeline_watcher=watch, keyframes_only=False).build()
reader = open_stream(URL)
frame = next(iter(reader))
timed = next(reader.frames())
"""

# Wrong uses, each with the error code mypy must give it; each becomes a script of its own.
WRONG: List[Tuple[str, str, str]] = [
    ("str_for_element", 'pipeline.new_element("queue", link_to="videotestsrc")', "arg-type"),
    ("frame_as_str", "text: str = frame", "assignment"),
    ("appsink_as_bin", 'pipeline.appsink.get_by_name("decoder")', "attr-defined"),
    ("maybe_no_sample", "sample_to_ndarray(pipeline.appsink.try_pull_sample(Gst.SECOND))", "arg-type"),
    ("zero_copy_of_nothing", "sample_as_ndarray(pipeline.appsink.try_pull_sample(Gst.SECOND))", "arg-type"),
    ("state_as_str", 'pipeline.set_state("PLAYING")', "arg-type"),
    (
        "watcher_shape",
        "HTTPPipelineFactory(url=URL, pipeline_watcher=lambda bus: True, keyframes_only=False)",
        "arg-type",
    ),
    (
        "factory_keyword",
        "HTTPPipelineFactory(url=URL, pipeline_watcher=watch, keyframe_only=False)",
        "call-arg",
    ),
    ("option_type", 'open_stream(URL, keyframes_only="yes")', "arg-type"),
    ("stats_field", "started: str = reader.stats.time_to_first_frame", "assignment"),
    ("frame_read_only", "timed.pts = 0.0", "misc"),
    ("frame_pts_maybe_none", "seconds: float = timed.pts", "assignment"),
    ("read_frame_maybe_none", "reader.read_frame().image", "union-attr"),
    ("unknown_name", "vantle.open_straem(URL)", "attr-defined"),
    ("many_from_one_url", "open_streams(1)", "arg-type"),
    ("many_frame_maybe_none", "open_streams([URL]).read_frame().source", "union-attr"),
]

_ERROR = re.compile(r"^(?P<file>[\w.]+\.py):(?P<line>\d+): error: .*?(?:\s+\[(?P<code>[\w-]+)\])?$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory: pytest.TempPathFactory) -> Dict[str, List[Tuple[str, str]]]:
    """Runs mypy --strict once over every script: the errors of each, as (code, line text)."""
    folder = tmp_path_factory.mktemp("typing")
    scripts = {f"good_{name}.py": PRELUDE + body for name, body in GOOD.items()}
    scripts.update({f"wrong_{name}.py": PRELUDE + SUBJECTS + line + "\n" for name, line, _ in WRONG})
    for file_name, text in scripts.items():
        (folder / file_name).write_text(text)
    # An empty configuration: nothing of the repository's or the user's own applies.
    (folder / "mypy.ini").write_text("[mypy]\n")
    # Nothing on the search paths but the installed package and stubs; and no sanitizer runtime
    # (the sanitizer run preloads one): mypy loads none of the package's native code.
    hidden = ("MYPYPATH", "PYTHONPATH", "LD_PRELOAD")
    env = {key: value for key, value in os.environ.items() if key not in hidden}
    command = [sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini"]
    command += ["--cache-dir", str(folder / "cache"), "--no-pretty", "--no-color-output"]
    command += ["--show-error-codes", "--hide-error-context", "--no-error-summary", *sorted(scripts)]
    done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True, timeout=100)
    output = done.stdout + done.stderr
    assert done.returncode in (0, 1), f"mypy failed to run:\n{output}"
    errors: Dict[str, List[Tuple[str, str]]] = {file_name: [] for file_name in scripts}
    for line in output.splitlines():
        match = _ERROR.match(line)
        if match is not None:
            errors.setdefault(match["file"], []).append((match["code"] or "", line))
        else:
            assert ": note: " in line, f"unexpected mypy output: {line}"
    return errors


@pytest.mark.parametrize("name", sorted(GOOD))
def test_right_use_type_checks(mypy_errors: Dict[str, List[Tuple[str, str]]], name: str) -> None:
    assert mypy_errors[f"good_{name}.py"] == []


@pytest.mark.parametrize("name, line, code", WRONG, ids=[case[0] for case in WRONG])
def test_wrong_use_is_caught(
    mypy_errors: Dict[str, List[Tuple[str, str]]], name: str, line: str, code: str
) -> None:
    # The script's one wrong line is its last: every error is there, the prelude is clean.
    last = len((PRELUDE + SUBJECTS).splitlines()) + 1
    found = mypy_errors[f"wrong_{name}.py"]
    assert code in {error_code for error_code, _ in found}, f"mypy gave {line!r}: {found}"
    assert all(text.split(":")[1] == str(last) for _, text in found), found
