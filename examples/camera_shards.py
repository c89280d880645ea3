"""Live cameras sharded over Ray actors: each actor reads its share of the cameras in one
open_streams loop and keeps a small result per frame; the driver collects the results, never
the frames.

    python examples/camera_shards.py URL [URL ...] [--actors N] [--seconds S]

Without a running cluster, Ray starts a local one. On a cluster, start the script on any node
(`ray.init(address="auto")` finds the cluster): the actors are spread over the nodes, each
decodes its cameras where it runs, and what crosses the network is what `analyse` returns.
A camera that fails (not found, dropped and out of reconnections) is reported and its share
goes on with the others.
"""

from __future__ import annotations

import argparse
import threading
import time
from typing import Any, Dict, List, Mapping, Tuple

import ray

from vantle import Frame, open_streams


def analyse(frame: Frame) -> Dict[str, Any]:
    """What the actor sends on for one frame: put the model here. A few numbers, not pixels."""
    return {
        "source": frame.source,
        "index": frame.index,
        "pts": frame.pts,
        "received": frame.received,
        "brightness": float(frame.image.mean()),
    }


@ray.remote(num_cpus=1)
class CameraShard:
    """Reads a share of the cameras in one loop, on a thread of its own, and keeps the results
    until the driver collects them (poll). The loop ends when every camera of the share has
    failed, or at stop()."""

    def __init__(self, cameras: Mapping[str, str], options: Mapping[str, Any]):
        self._results: List[Dict[str, Any]] = []
        self._lock = threading.Lock()
        # Options are checked here: a bad one fails the actor's creation, seen by the driver.
        self._streams = open_streams(dict(cameras), **options)
        self._thread = threading.Thread(target=self._read, name="camera-shard", daemon=True)
        self._thread.start()

    def _read(self) -> None:
        with self._streams as streams:
            for frame in streams:
                result = analyse(frame)
                with self._lock:
                    self._results.append(result)

    def poll(self) -> Tuple[List[Dict[str, Any]], Dict[str, str], bool]:
        """The results since the last poll, the cameras failed so far (key -> error kind), and
        whether the loop is still going."""
        going = self._thread.is_alive()  # first: once the loop has ended, its errors are all in
        failed = {key: error.kind for key, error in self._streams.errors.items()}
        with self._lock:
            results, self._results = self._results, []
        return results, failed, going

    def stop(self) -> Tuple[List[Dict[str, Any]], Dict[str, str], bool]:
        """Closes every stream of the share; returns what poll() would."""
        self._streams.close()
        self._thread.join(timeout=5.0)
        return self.poll()


def shares(cameras: Mapping[str, str], actors: int) -> List[Dict[str, str]]:
    """The cameras split into `actors` shares of neighbouring keys, as even as can be."""
    keys = list(cameras)
    count = max(1, min(actors, len(keys)))
    bounds = [len(keys) * n // count for n in range(count + 1)]
    return [{key: cameras[key] for key in keys[a:b]} for a, b in zip(bounds, bounds[1:])]


def run(
    cameras: Mapping[str, str], actors: int = 2, seconds: float = 10.0, **options: Any
) -> Tuple[List[Dict[str, Any]], Dict[str, str]]:
    """Reads `cameras` (key -> URL) for `seconds` on `actors` Ray actors (Ray initialised by the
    caller); returns every result and the cameras that failed (key -> error kind, "actor-lost"
    for the cameras of an actor that died). Reader options (reconnect, drop_frames, size...)
    apply to every camera; drop_frames defaults to True, so that a slow model skips pictures
    instead of falling behind."""
    options = {"drop_frames": True, **options}
    readers = {CameraShard.remote(share, options): share for share in shares(cameras, actors)}
    results: List[Dict[str, Any]] = []
    failed: Dict[str, str] = {}

    def collect(method: str) -> bool:
        going = False
        calls = {reader: getattr(reader, method).remote() for reader in readers}
        for reader, call in calls.items():
            try:
                new, lost, alive = ray.get(call)
            except ray.exceptions.RayActorError:
                failed.update(dict.fromkeys(readers.pop(reader), "actor-lost"))
                continue
            results.extend(new)
            failed.update(lost)
            going = going or alive
        return going

    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(min(0.5, max(deadline - time.monotonic(), 0.0)))
            if not collect("poll"):
                break
        collect("stop")
    finally:
        for reader in readers:
            ray.kill(reader)
    return results, failed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("urls", nargs="+", help="camera URLs (HTTP, RTSP, files)")
    parser.add_argument("--actors", type=int, default=2, help="Ray actors to share the cameras")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to read")
    parser.add_argument("--reconnect", type=int, default=3, help="reconnections per camera")
    args = parser.parse_args()

    ray.init(ignore_reinit_error=True)
    cameras = {f"camera{n}": url for n, url in enumerate(args.urls)}
    results, failed = run(cameras, actors=args.actors, seconds=args.seconds, reconnect=args.reconnect)
    for key in cameras:
        mine = [r for r in results if r["source"] == key]
        mean = sum(r["brightness"] for r in mine) / len(mine) if mine else float("nan")
        state = f"failed ({failed[key]})" if key in failed else "ok"
        print(f"{key} ({cameras[key]}): {len(mine)} frames, mean brightness {mean:.1f}, {state}")


if __name__ == "__main__":
    main()
