"""A folder of videos sampled at one frame a second into one stacked array, as a model takes it.

    python examples/sample_folder.py FOLDER [--fps 1] [--size 224 224] [--out samples.npz]

Every video is read once, at its own pace, keeping `fps` frames a second of its time, evenly
spaced; the other frames are decoded (a frame needs the ones before it) but never converted.
Frames come out upright (a phone's video included), in RGB, at the model's size, written by
the converter in its one pass. The result is an array of shape (frames, height, width, 3) with,
beside it, where each frame came from: the video and the frame's time in seconds.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import List, Tuple

import numpy as np

from vantle import open_stream
from vantle.errors import StreamError

VIDEO_SUFFIXES = {".mp4", ".mkv", ".webm", ".mov", ".ts", ".avi"}


def sample_folder(
    folder: Path, fps: float, size: Tuple[int, int]
) -> Tuple[np.ndarray, List[str], List[float]]:
    """The sampled frames of every video in `folder`, stacked, with their videos and times."""
    images: List[np.ndarray] = []
    sources: List[str] = []
    times: List[float] = []
    for path in sorted(p for p in folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES):
        try:
            with open_stream(str(path), fps=fps, size=size, format="rgb") as stream:
                for frame in stream.frames():
                    images.append(frame.image)  # read-only; np.stack copies it into the batch
                    sources.append(path.name)
                    times.append(frame.pts if frame.pts is not None else float("nan"))
        except StreamError as error:  # one bad file does not stop the others
            print(f"skipped {path.name}: {error.kind}: {error}")
    if not images:
        return np.empty((0, size[1], size[0], 3), np.uint8), sources, times
    return np.stack(images), sources, times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--fps", type=float, default=1.0, help="frames a second of video time to keep")
    parser.add_argument("--size", type=int, nargs=2, default=(224, 224), metavar=("WIDTH", "HEIGHT"))
    parser.add_argument("--out", type=Path, default=Path("samples.npz"))
    args = parser.parse_args()
    batch, sources, times = sample_folder(args.folder, args.fps, tuple(args.size))
    np.savez(args.out, images=batch, sources=np.array(sources), times=np.array(times))
    print(f"{len(batch)} frames from {len(set(sources))} videos, {batch.shape} -> {args.out}")


if __name__ == "__main__":
    main()
