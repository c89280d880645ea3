"""open_streams interrupted by Ctrl-C in a process of its own: reads the URLs given on the command
line in one loop, prints "waiting" once frames flow, and after SIGINT one JSON line: whether and
when KeyboardInterrupt came, and whether every thread and descriptor came back."""

from __future__ import annotations

import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from support.leaks import Resources  # noqa: E402
from vantle import open_streams  # noqa: E402

# SIGINT is ignored in a process started in the background; the test sends it all the same.
signal.signal(signal.SIGINT, signal.default_int_handler)


def read(urls: list) -> None:
    with open_streams(urls) as streams:
        for frame in streams:
            if frame.index == 3 and frame.source == urls[0]:
                print("waiting", flush=True)


if __name__ == "__main__":
    urls = sys.argv[1:]
    with open_streams(urls[:1]) as warm:  # what the first streams make lives for the process
        next(iter(warm))
    resources = Resources.take()
    result: dict = {"interrupted": False}
    try:
        read(urls)
    except KeyboardInterrupt:
        result = {"interrupted": True, "at": time.monotonic()}
    try:
        resources.assert_released()
        result["released"] = True
    except AssertionError as error:
        result["released"] = str(error)
    print(json.dumps(result), flush=True)
