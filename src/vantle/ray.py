"""The frames of many recorded videos as a Ray dataset, for batch inference on a cluster.

    import vantle.ray

    ds = vantle.ray.read_frames(["http://media.local/a.mp4", "http://media.local/b.mp4"])
    ds = ds.map_batches(Detector, batch_size=32, concurrency=2)   # your model
    ds.write_parquet("/results")

Each source is read by one Ray task, with a StreamReader, wherever Ray places it. The task hands
its frames on while it reads, in blocks of at most Ray Data's target block size
(DataContext.target_max_block_size, 128 MiB unless changed: about 50 frames of 720p), so memory
holds a few blocks per running task whatever the number of videos. Needs the `ray` extra
(pip install 'vantle[ray]').
"""

from __future__ import annotations

import functools
import inspect
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

try:
    import ray.data
    from ray.data.block import Block, BlockAccessor, BlockMetadata
    from ray.data.datasource import Datasource, ReadTask
except ImportError as _missing:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"vantle.ray needs Ray Data, which could not be imported ({_missing}): pip install 'vantle[ray]'"
    ) from _missing

from vantle._sources import Sources, parse_sources
from vantle.frame import Frame
from vantle.pipeline_factories.limits import DEFAULT_MAX_FRAME_BYTES
from vantle.stream_reader.options import (
    DEFAULT_FRAME_TIMEOUT,
    DEFAULT_LATENCY,
    DEFAULT_RECONNECT_BACKOFF,
    DEFAULT_TIMEOUT,
)

__all__ = ["COLUMNS", "read_frames"]

# The dataset's columns: the stream's URL (password hidden) or key, the frame's position among
# the stream's frames, its presentation time in seconds (NaN when the stream has none), whether
# it is a keyframe, and the BGR picture (a uint8 tensor of shape (height, width, 3)).
COLUMNS = ("source", "index", "pts", "keyframe", "image")

# A read task gathers frames into pieces of an eighth of Ray Data's target block size, at most
# _PIECE_BYTES (at least one frame, at most _MAX_PIECE_FRAMES), which Ray Data joins into blocks of
# its target size: small enough that the blocks it cuts come out near that size and that a piece
# holds no frame back much longer than the block would, large enough to cost little per frame.
_PIECE_BYTES = 8 * 1024 * 1024
_MAX_PIECE_FRAMES = 256


def read_frames(
    sources: Sources,
    *,
    ray_remote_args: Optional[Dict[str, Any]] = None,
    pipeline: Optional[str] = None,
    keyframes_only: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT,
    drop_frames: bool = False,
    reconnect: int = 0,
    reconnect_backoff: float = DEFAULT_RECONNECT_BACKOFF,
    size: Optional[Tuple[int, int]] = None,
    max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES,
    rtsp_transport: str = "auto",
    latency: int = DEFAULT_LATENCY,
    format: str = "bgr",
    rotate: bool = True,
    fps: Optional[float] = None,
    start: Optional[float] = None,
    end: Optional[float] = None,
) -> ray.data.Dataset:
    """A dataset of every frame of every source, one read task per source.

    Rows have the columns of COLUMNS. Pictures of different sizes (from different sources)
    make a column of variable-shaped tensors; `map_batches` then gets, for a batch that spans
    them, an object array of arrays instead of one 4-dimensional array.

    :param sources: The URLs to read, or a dict of key to URL (the key is then the rows' source),
        or of key to a dict of that stream's own options with its URL under "url"
    :param ray_remote_args: Arguments of the read tasks, as for ray.remote (num_cpus, memory,
        resources, scheduling_strategy, ...)
    :param pipeline: A launch string for every source; this and the other reader options are
        StreamReader's, checked here, before anything is read
    :return: The dataset (lazy: reading starts when it is consumed)
    :raises TypeError: `sources` is not a list of URLs or a dict of key to URL or to options
    :raises ValueError: `sources` is empty
    :raises InvalidRuntimeOptionError: A reader option is unknown, of the wrong type or out of range
    """
    arguments = dict(locals())  # the parameters, as given
    common = {name: value for name, value in arguments.items() if name not in ("sources", "ray_remote_args")}
    streams = parse_sources(sources, common, "read_frames", unique=False)
    # The reader checks its options when it is made: here, so that a bad option fails the call
    # rather than every read task on the cluster. Nothing is opened.
    from vantle.stream_reader.options import check_names
    from vantle.stream_reader.reader import StreamReader

    for _, url, own in streams:
        check_names(own)
        StreamReader(url, **own)
    return ray.data.read_datasource(
        _FrameSource(streams), override_num_blocks=len(streams), **_read_arguments(ray_remote_args)
    )


def _read_arguments(ray_remote_args: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """The read tasks' arguments for read_datasource: those it names as parameters of its own
    (num_cpus, memory, resources, ...; recent versions deprecate them in ray_remote_args), the rest
    in ray_remote_args."""
    if not ray_remote_args:
        return {}
    named = set(inspect.signature(ray.data.read_datasource).parameters) - {
        "datasource",
        "parallelism",
        "override_num_blocks",
        "ray_remote_args",
        "read_args",
    }
    arguments = {name: value for name, value in ray_remote_args.items() if name in named}
    rest = {name: value for name, value in ray_remote_args.items() if name not in named}
    if rest:
        arguments["ray_remote_args"] = rest
    return arguments


class _FrameSource(Datasource):
    """One read task per stream; the tasks read with StreamReader and yield blocks as they go."""

    def __init__(self, streams: List[Tuple[str, str, Dict[str, Any]]]):
        self._streams = streams

    def get_name(self) -> str:
        return "VantleFrames"

    def estimate_inmemory_data_size(self) -> Optional[int]:
        return None  # unknown until the streams are decoded

    def get_read_tasks(
        self, parallelism: int, per_task_row_limit: Optional[int] = None, data_context: Any = None
    ) -> List[ReadTask]:
        # One task per stream whatever the parallelism asked for: a stream is read from its start
        # to its end by one reader, and its frames cannot be split between tasks before decoding.
        limit = {} if per_task_row_limit is None else {"per_task_row_limit": per_task_row_limit}
        return [
            ReadTask(
                functools.partial(_read_stream, label, url, options),
                BlockMetadata(num_rows=None, size_bytes=None, exec_stats=None, input_files=None),
                **limit,
            )
            for label, url, options in self._streams
        ]


def _read_stream(label: str, url: str, options: Dict[str, Any]) -> Iterator[Block]:
    """Reads one stream to its end, yielding its frames in pieces as it goes (runs in a Ray task)."""
    from vantle.pipeline_factories import threads
    from vantle.stream_reader.reader import StreamReader

    # The task was given its share of the node (one CPU unless ray_remote_args say otherwise);
    # its decoder keeps to it rather than start a thread for every core, beside the other tasks.
    assigned = ray.get_runtime_context().get_assigned_resources().get("CPU")
    if assigned:
        threads.limit_cores(max(1, round(assigned)))
    reader = StreamReader(url, **options)
    reader.source = label
    target = ray.data.DataContext.get_current().target_max_block_size
    pieces = _Pieces(min(_PIECE_BYTES, target // 8) if target else _PIECE_BYTES)
    with reader:
        for frame in reader.frames():
            yield from pieces.add(frame)
    yield from pieces.flush()


class _Pieces:
    """Gathers frames into pieces of a block. Each picture is copied once, into the piece's own
    array, when it arrives: the reader's array (and the pipeline memory behind it) is free again
    at once."""

    def __init__(self, piece_bytes: int) -> None:
        self._piece_bytes = piece_bytes
        self._images: Optional[np.ndarray] = None
        self._count = 0
        self._source = ""
        self._first_index = 0
        self._pts: List[Optional[float]] = []
        self._keyframes: List[bool] = []

    def add(self, frame: Frame) -> Iterator[Block]:
        """Takes a frame; yields the pieces it finishes (the one it fills, and the one before it
        when the picture size changed)."""
        image = frame.image
        images = self._images
        if images is not None and images.shape[1:] != image.shape:
            yield from self.flush()
            images = None
        if images is None:
            capacity = max(1, min(_MAX_PIECE_FRAMES, self._piece_bytes // image.nbytes))
            images = self._images = np.empty((capacity, *image.shape), np.uint8)
            self._source, self._first_index = frame.source, frame.index
        images[self._count] = image
        self._pts.append(frame.pts)
        self._keyframes.append(frame.keyframe)
        self._count += 1
        if self._count == len(images):
            yield from self.flush()

    def flush(self) -> Iterator[Block]:
        """Yields the piece of the frames gathered so far, if there are any."""
        if self._images is None or self._count == 0:
            return
        count = self._count
        batch = {
            "source": np.array([self._source] * count, dtype=object),
            "index": np.arange(self._first_index, self._first_index + count, dtype=np.int64),
            "pts": np.array(self._pts, dtype=np.float64),  # None becomes NaN
            "keyframe": np.array(self._keyframes, dtype=np.bool_),
            # The piece takes the array as it is (no copy); the next piece gets a new one.
            "image": self._images[:count],
        }
        self._images, self._count, self._pts, self._keyframes = None, 0, [], []
        yield BlockAccessor.batch_to_block(batch)
