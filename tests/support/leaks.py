"""Counts of the process's threads and file descriptors, for tests that check for leaks."""

from __future__ import annotations

import gc
import os
import time
from dataclasses import dataclass
from typing import Dict


def thread_count() -> int:
    """Threads of this process, native ones included (GStreamer's, the core's)."""
    return len(os.listdir("/proc/self/task"))


def open_fds() -> Dict[int, str]:
    """Open file descriptors of this process and what they point to."""
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor os.listdir itself used, closed by now
    return fds


def fd_count() -> int:
    return len(open_fds())


@dataclass
class Resources:
    """A snapshot of threads and descriptors, to compare with later."""

    threads: int
    fds: Dict[int, str]

    @classmethod
    def take(cls) -> Resources:
        # Garbage first, as assert_released collects it: what it holds (a stream of an earlier
        # test) would otherwise be counted here and be gone by then.
        gc.collect()
        return cls(thread_count(), open_fds())

    @classmethod
    def settled(cls, timeout: float = 5.0) -> Resources:
        """A snapshot once the thread count has held still for a moment (up to `timeout`): the
        threads of what an earlier test let go may still be ending, and what they do meanwhile
        is theirs."""
        deadline = time.monotonic() + timeout
        last, still = thread_count(), 0
        while still < 3 and time.monotonic() < deadline:
            time.sleep(0.1)
            gc.collect()
            count = thread_count()
            still = still + 1 if count == last else 0
            last = count
        return cls.take()

    def assert_released(self, timeout: float = 5.0, thread_slack: int = 0, fd_slack: int = 0) -> None:
        """Wait up to `timeout` for the counts to come back to the snapshot's (plus slack).
        Garbage cycles are collected first: a frame caught in one (by a traceback, say) holds its
        buffer pool until then."""
        deadline = time.monotonic() + timeout
        while True:
            gc.collect()
            threads, fds = thread_count(), open_fds()
            if threads <= self.threads + thread_slack and len(fds) <= len(self.fds) + fd_slack:
                return
            if time.monotonic() > deadline:
                new = {fd: _described(target) for fd, target in fds.items() if self.fds.get(fd) != target}
                raise AssertionError(
                    f"threads {self.threads} -> {threads}, descriptors {len(self.fds)} -> {len(fds)}; "
                    f"new descriptors: {new}"
                )
            time.sleep(0.05)


def _described(target: str) -> str:
    """A socket's kind and addresses (from /proc/self/net), else the descriptor's target."""
    if not target.startswith("socket:["):
        return target
    inode = target[len("socket:[") : -1]
    for kind in ("tcp", "tcp6", "udp", "udp6", "unix"):
        try:
            with open(f"/proc/self/net/{kind}") as table:
                for line in table:
                    fields = line.split()
                    if kind == "unix" and len(fields) > 6 and fields[6] == inode:
                        return f"{target} unix {' '.join(fields[7:]) or '(unnamed)'}"
                    if kind != "unix" and len(fields) > 9 and fields[9] == inode:
                        return f"{target} {kind} {fields[1]} -> {fields[2]} state {fields[3]}"
        except OSError:
            pass
    return target
