"""A reader's life beyond its own calls: the process it belongs to, and what happens to its
pipeline when the reader is collected without close().

A process made by fork() gets a new epoch (vantle.utils.engine.epoch), and a reader or set
opened in another epoch was inherited. A fork copies GStreamer's objects but not its threads,
nor the locks those threads held: the child must neither use nor finalise them (a finaliser
takes locks that may never be released, and the bus's wake-up descriptors are shared with the
parent, so taking a message in the child leaves the parent's bus waiting for ever).
"""

from __future__ import annotations

import ctypes
import threading
from typing import List, Optional

from vantle.errors import StreamSetupError
from vantle.pipeline_factories.base import pipelines_started_by_a_parent
from vantle.stream_reader.session import NULL_SECONDS, Session
from vantle.utils import engine

# What inherited readers held of GStreamer, kept for the child's whole life. The list holds one
# reference of its own that is never given back, so that not even the interpreter's shutdown
# frees what it holds.
_INHERITED: List[object] = []
ctypes.pythonapi.Py_IncRef(ctypes.py_object(_INHERITED))


def refuse_inherited_gstreamer(url: object = None) -> None:
    """Refuses to start a stream in a process made by fork() from one that ran pipelines:
    GStreamer's threads did not come along, and a pipeline would now and then wait for them for
    ever. Such a process must be started with multiprocessing's "spawn" or "forkserver" method
    (or fork before the first stream).

    :raises StreamForkedError: This process inherited GStreamer from a parent that used it
    """
    if pipelines_started_by_a_parent():
        raise StreamSetupError(
            "This process was made by fork() from one that had started GStreamer pipelines, whose "
            "threads it does not have: start it with multiprocessing's 'spawn' or 'forkserver' "
            "method (multiprocessing.get_context('spawn')), or fork before the first stream",
            kind="forked",
            url=url if isinstance(url, str) else None,
        )


def epoch() -> int:
    """This process's epoch: one more in each generation of children made by fork()."""
    return engine.epoch()


class Slot:
    """Where a reader keeps its current session: shared with the reader's finaliser, which must
    not hold the reader itself."""

    __slots__ = ("session", "epoch")

    def __init__(self) -> None:
        self.session: Optional[Session] = None
        self.epoch = engine.epoch()


def release(slot: Slot) -> None:
    """Brings the slot's session down: the finaliser of a reader that is collected (or still
    alive when the interpreter exits). In a child made by fork(), it only keeps it."""
    session, slot.session = slot.session, None
    if session is None:
        return
    if slot.epoch != engine.epoch():
        _INHERITED.append(session)
        return
    if isinstance(threading.current_thread(), threading._DummyThread):
        # Collected on a thread that Python did not make: a streaming thread that ran a handler
        # in Python, perhaps one of this very pipeline. It must not wait for a pipeline to stop.
        session.stop_later()
        return
    try:
        # Down before the interpreter may end: no thread of GStreamer's runs Python after it.
        session.stop(wait=NULL_SECONDS)
    except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
        pass
