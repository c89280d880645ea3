"""Command line: read a stream and report what arrives.

    python -m vantle [URL] [--pipeline LAUNCH] [--keyframes-only] [--frames N] [--snapshot FILE.png]

URL may be an rtsp://, http(s):// or file:// URL or a local path. Without a URL the command
makes a demo clip with GStreamer, serves it over HTTP on 127.0.0.1 and reads it from there.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional, TextIO


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m vantle", description="Read a video stream with vantle.")
    parser.add_argument(
        "url", nargs="?", help="stream URL (default: a built-in demo stream served on 127.0.0.1)"
    )
    parser.add_argument(
        "--pipeline", help='GStreamer launch string with "{url}" and an appsink named main_sink'
    )
    parser.add_argument("--keyframes-only", action="store_true", help="decode keyframes only")
    parser.add_argument(
        "--format", choices=("bgr", "rgb", "gray"), default="bgr", help="the frames' pixels (default bgr)"
    )
    parser.add_argument(
        "--no-rotate", action="store_true", help="keep the coded orientation (default: turned upright)"
    )
    parser.add_argument("--frames", type=int, metavar="N", help="stop after N frames")
    parser.add_argument("--snapshot", metavar="FILE.png", help="write a contact sheet of a few frames")
    parser.add_argument(
        "--timeout", type=float, default=10.0, help="seconds to wait for the stream and each frame"
    )
    return parser


class _Progress:
    """A live progress line on a terminal, redrawn at most ten times a second."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.enabled = stream.isatty()
        self._last = 0.0

    def update(self, stats, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (not force and now - self._last < 0.1):
            return
        self._last = now
        line = f"frames {stats.frames:>7}  fps {stats.fps:7.1f}  {stats.width}x{stats.height}"
        self.stream.write("\r" + line)
        self.stream.flush()

    def finish(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


def _as_bgr(frame, pixels: str):
    """A frame as the contact sheet takes it: BGR."""
    if pixels == "rgb":
        return frame[..., ::-1]
    if pixels == "gray":
        return frame[..., None].repeat(3, axis=2)
    return frame


def _read(url: str, args: argparse.Namespace, out: TextIO) -> int:
    from vantle.demo import ContactSheet, write_png
    from vantle.errors import StreamSetupError
    from vantle.stream_reader.reader import StreamReader

    sheet = ContactSheet() if args.snapshot else None
    progress = _Progress(sys.stderr)
    try:
        # A URL of no supported kind is refused here, as any other failure of the stream.
        reader = StreamReader(
            url,
            pipeline=args.pipeline,
            keyframes_only=args.keyframes_only,
            format=args.format,
            rotate=not args.no_rotate,
            timeout=args.timeout,
            frame_timeout=args.timeout,
        )
        with reader:
            for frame in reader:
                if sheet is not None:
                    sheet.offer(_as_bgr(frame, args.format))
                progress.update(reader.stats)
                if args.frames is not None and reader.stats.frames >= args.frames:
                    break
    except StreamSetupError as error:
        progress.finish()
        print(f"error: {error}", file=sys.stderr)
        return 1
    progress.update(reader.stats, force=True)
    progress.finish()
    stats = reader.stats
    ttff = stats.time_to_first_frame
    print(f"frames: {stats.frames}", file=out)
    print(f"resolution: {stats.width}x{stats.height}", file=out)
    print(f"fps: {stats.fps:.1f}", file=out)
    print(f"time to first frame: {ttff:.3f} s" if ttff is not None else "time to first frame: -", file=out)
    print(f"dropped: {stats.dropped}", file=out)
    if sheet is not None:
        image = sheet.render()
        if image is None:
            print("snapshot: no frame to write", file=sys.stderr)
            return 1
        write_png(args.snapshot, image)
        print(f"snapshot: {args.snapshot}", file=out)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.frames is not None and args.frames < 1:
        _parser().error("--frames must be at least 1")
    try:
        if args.url is not None:
            return _read(args.url, args, sys.stdout)
        from vantle.demo import MediaServer, demo_media

        media = demo_media()
        with MediaServer([media]) as server:
            url = server.url(media)
            print(f"demo stream: {url}", file=sys.stdout)
            return _read(url, args, sys.stdout)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
