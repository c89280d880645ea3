# The reader's names are bound on first use by the package's __getattr__; they are named here
# so that a type checker sees them with their real types instead of Any.
from vantle.frame import Frame as Frame
from vantle.logger import logger as logger
from vantle.stream_reader.frames_at import read_frames_at as read_frames_at
from vantle.stream_reader.info import StreamInfo as StreamInfo
from vantle.stream_reader.info import probe as probe
from vantle.stream_reader.many import StreamSet as StreamSet
from vantle.stream_reader.many import open_streams as open_streams
from vantle.stream_reader.reader import StreamReader as StreamReader
from vantle.stream_reader.reader import open_stream as open_stream
from vantle.stream_reader.stats import StreamStats as StreamStats

__all__ = [
    "Frame",
    "logger",
    "open_stream",
    "open_streams",
    "probe",
    "read_frames_at",
    "StreamInfo",
    "StreamReader",
    "StreamSet",
    "StreamStats",
]
