from typing import Optional, Tuple

from gi.repository import Gst as Gst

from vantle._urls import source_properties as source_properties
from vantle.utils.gstreamer import Pipeline as Pipeline

from .base import _APPSINK_PROPERTIES as _APPSINK_PROPERTIES
from .base import _FRAMERATE_LIMIT as _FRAMERATE_LIMIT
from .base import _PIPELINE_WATCHER as _PIPELINE_WATCHER
from .base import PipelineFactory as PipelineFactory
from .credentials import lend_credentials as lend_credentials

class HTTPPipelineFactory(PipelineFactory):
    _pipeline_watcher: _PIPELINE_WATCHER
    def __init__(
        self,
        *,
        url: Optional[str],
        pipeline_watcher: _PIPELINE_WATCHER,
        keyframes_only: bool,
        drop_frames: bool = True,
        size: Optional[Tuple[int, int]] = None,
        max_frame_bytes: Optional[int] = None,
        format: Optional[str] = "bgr",
        rotate: bool = False,
        fps: Optional[float] = None,
    ) -> None: ...
    def build(self) -> Pipeline: ...
