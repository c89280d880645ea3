"""Elements added to a pipeline while it may be changing state, and started by the handler that
added them: the start gate of the decoder set-up.

The set-up adds elements on streaming threads, in handlers that hold the stream lock of the pad
whose data they wait for, and starts each with its pipeline's state, which takes the element's
state lock. A thread that brings the pipeline down holds the state locks of the elements it stops
and waits for their streaming threads: for an element reading in pull mode (a parsebin after a
typefind or a ring buffer), the thread in the handler. Each would wait for the other for ever.
So elements are started under a lock that the stopping thread takes first (`stop_starting`),
when no state lock is held yet; from then on nothing starts.
"""

from __future__ import annotations

import threading
from typing import Any, Dict, Optional

from gi.repository import Gst

from vantle.errors import NotLinkedError, StreamSetupError
from vantle.utils.gstreamer import Pipeline


class _Starter:
    """Whether a pipeline's elements may still be started, and the lock that starts them."""

    def __init__(self) -> None:
        # Re-entrant: starting an element in pull mode may run its own handlers at once, on
        # the same thread.
        self.lock = threading.RLock()
        self.stopping = False


_STARTERS = threading.Lock()


def _starter(pipeline: Pipeline) -> _Starter:
    starter = getattr(pipeline, "_starter", None)
    if starter is None:
        with _STARTERS:
            starter = getattr(pipeline, "_starter", None)
            if starter is None:
                starter = pipeline._starter = _Starter()  # type: ignore[attr-defined]
    return starter


def start(pipeline: Pipeline, *elements: Gst.Element) -> None:
    """Brings `elements` to the state of their pipeline, in that order, unless it is being
    brought down; those added with add_held are then left to their pipeline's changes."""
    starter = _starter(pipeline)
    with starter.lock:
        if starter.stopping:
            return
        for element in elements:
            element.sync_state_with_parent()
            if element.is_locked_state():
                element.set_locked_state(False)
                # The pipeline may have changed state meanwhile, without this element.
                element.sync_state_with_parent()


def stop_starting(pipeline: Pipeline) -> None:
    """To be called before a pipeline is brought to NULL from a thread of its user: the decoder
    set-up starts no element of it from then on. Waits for one being started."""
    starter = _starter(pipeline)
    with starter.lock:
        starter.stopping = True


def add_held(pipeline: Pipeline, element: Gst.Element, link_to: Optional[Gst.Element] = None) -> Gst.Element:
    """Adds an element to a pipeline that may be changing state on another thread, out of that
    change's reach until `start` starts it.

    A pipeline on its way up on the user's thread takes in the elements added meanwhile, and
    would start one (a parsebin) holding its state lock, which the handler's start waits for,
    while that parsebin's activation in pull mode waits for the handler's stream lock. Held, the
    element is started by the handler alone."""
    element.set_locked_state(True)
    pipeline.add(element)
    if link_to is not None and not link_to.link(element):
        raise NotLinkedError(f"Failed to link {link_to.get_name()} to {element.get_name()}")
    return element


def new_held(
    pipeline: Pipeline,
    factory_name: str,
    link_to: Optional[Gst.Element] = None,
    properties: Optional[Dict[str, Any]] = None,
) -> Gst.Element:
    """A new element of `factory_name`, added as add_held adds it."""
    element = Gst.ElementFactory.make(factory_name)
    if element is None:
        raise StreamSetupError(f"GStreamer has no element {factory_name}: is its plug-in installed?")
    for name, value in (properties or {}).items():
        element.set_property(name, value)
    return add_held(pipeline, element, link_to)
