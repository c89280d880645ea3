from typing import Optional

from gi.repository import Gst as Gst
from gi.repository import GstApp as GstApp

from vantle.errors import InvalidCustomPipelineError as InvalidCustomPipelineError
from vantle.utils.gstreamer import Pipeline as Pipeline

from .base import _APPSINK_PROPERTIES as _APPSINK_PROPERTIES
from .base import _FRAMERATE_LIMIT as _FRAMERATE_LIMIT
from .base import _PIPELINE_WATCHER as _PIPELINE_WATCHER
from .base import PipelineFactory as PipelineFactory
from .launch import LaunchTemplate as LaunchTemplate

class CustomPipelineFactory(PipelineFactory):
    _pipeline_str: str
    _launch: LaunchTemplate
    _pipeline_watcher: _PIPELINE_WATCHER
    def __init__(
        self,
        pipeline_str: Optional[str],
        *,
        url: Optional[str],
        pipeline_watcher: _PIPELINE_WATCHER,
        keyframes_only: bool,
        drop_frames: bool = True,
        max_frame_bytes: Optional[int] = None,
        format: Optional[str] = "bgr",
        fps: Optional[float] = None,
    ) -> None: ...
    def build(self) -> Pipeline: ...
