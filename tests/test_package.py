"""The package as its modules rely on it: clean imports, the logger, the error classes, GStreamer
initialised on import, and the top-level names of the GStreamer module."""

import abc
import importlib
import importlib.util
import pickle
import pkgutil
import subprocess
import sys

import pytest

import vantle
import vantle.errors as errors
import vantle.utils.gstreamer as gstreamer
from vantle.utils.gstreamer import GObject, Gst

pytestmark = pytest.mark.timeout(120)


def run(code, *options):
    return subprocess.run([sys.executable, *options, "-c", code], capture_output=True, text=True, timeout=60)


MODULES = [
    # vantle.ray needs the `ray` extra, which an environment may lack.
    pytest.param(name, marks=pytest.mark.skipif(importlib.util.find_spec("ray") is None, reason="no ray"))
    if name == "vantle.ray"
    else name
    for name in ["vantle"] + sorted(m.name for m in pkgutil.walk_packages(vantle.__path__, "vantle."))
]


@pytest.mark.parametrize("module", MODULES)
def test_import_emits_no_warning(module):
    result = run(f"import {module}", "-W", "error")
    assert (result.returncode, result.stderr) == (0, "")


def test_package_logger_reached_every_way():
    code = (
        "import vantle.logger\n"
        "from vantle import logger\n"
        "logger.warning('through the package')\n"
        "import vantle.utils.timing as timing\n"
        "timing.logger.warning('through timing')\n"
        "from vantle.logger import logger\n"
        "logger.warning('through the module')\n"
    )
    result = run(code)
    assert result.returncode == 0
    assert result.stderr.splitlines() == ["through the package", "through timing", "through the module"]


@pytest.mark.parametrize(
    "name", "NotLinkedError StreamSetupError InvalidCustomPipelineError InvalidRuntimeOptionError".split()
)
def test_error_classes_take_one_message(name):
    cls = getattr(errors, name)
    with pytest.raises(cls) as error:
        raise cls("the message")
    assert isinstance(error.value, Exception) and error.value.args == ("the message",)
    assert str(error.value) == "the message"


# Each kind of stream failure is its family's class, and the standard exception a caller catches.
KINDS = [
    ("timeout", errors.StreamTimeoutError, TimeoutError),
    ("refused", errors.StreamConnectionError, ConnectionError),
    ("disconnected", errors.StreamConnectionError, ConnectionError),
    ("not-found", errors.StreamNotFoundError, FileNotFoundError),
    ("unauthorized", errors.StreamUnauthorizedError, PermissionError),
    ("closed", errors.StreamClosedError, ValueError),
    ("forked", errors.StreamForkedError, RuntimeError),
    ("unsupported-source", errors.UnsupportedSourceError, ValueError),
    ("too-large", errors.FrameTooLargeError, errors.StreamError),
    ("http-status", errors.StreamSetupError, errors.StreamError),
]


@pytest.mark.parametrize("kind, cls, standard", KINDS)
def test_stream_errors_are_caught_by_kind(kind, cls, standard):
    error = errors.StreamSetupError("went wrong", kind=kind, status=404, url="http://h/v")
    assert type(error) is cls and isinstance(error, standard) and isinstance(error, errors.StreamSetupError)
    assert (str(error), error.args, error.kind, error.status, error.url) == (
        "went wrong",
        ("went wrong",),
        kind,
        404,
        "http://h/v",
    )
    for copy in (pickle.loads(pickle.dumps(error)), error.copy()):
        assert (type(copy), str(copy), copy.kind, copy.status, copy.url) == (
            cls,
            "went wrong",
            kind,
            404,
            "http://h/v",
        )


def test_gstreamer_is_initialised_by_the_import():
    code = (
        "from vantle.utils.gstreamer import Gst\n"
        "print(Gst.is_initialized(), Gst.ElementFactory.make('fakesink').get_factory().get_name())\n"
    )
    result = run(code)
    assert (result.returncode, result.stdout) == (0, "True fakesink\n")


# The module's top-level names in the order in which they come into being, each imported one with
# where it comes from.
IMPORTED = """inspect=inspect ABCMeta=abc:ABCMeta abstractmethod=abc:abstractmethod sleep=time:sleep
Any=typing:Any Callable=typing:Callable List=typing:List Tuple=typing:Tuple np=numpy GLib=gi.repository.GLib
GObject=gi.repository.GObject Gst=gi.repository.Gst GstApp=gi.repository.GstApp
NotLinkedError=vantle.errors:NotLinkedError StreamSetupError=vantle.errors:StreamSetupError
logger=vantle.logger:logger Timeout=vantle.utils.timing:Timeout""".split()
DEFINED = """Pipeline ABCGObjectMeta framerate_from_structure is_video_pad is_rtp_audio_pad pad_to_string
find_element_factory find_element UnknownPropertyError try_set_property SampleConversionError
sample_to_ndarray _BufferMapping sample_as_ndarray""".split()


def test_top_level_names_in_order():
    imported = dict(entry.split("=") for entry in IMPORTED)
    assert [n for n in vars(gstreamer) if not n.startswith("__")] == [*imported, *DEFINED]
    for name, origin in imported.items():
        module, _, attribute = origin.partition(":")
        expected = importlib.import_module(module)
        assert getattr(gstreamer, name) is (getattr(expected, attribute) if attribute else expected), name
    for name in DEFINED:
        assert getattr(gstreamer, name).__module__ == "vantle.utils.gstreamer", name


@pytest.mark.parametrize(
    "cls, doc",
    [
        (
            gstreamer.SampleConversionError,
            "Raised when a GStreamer sample can't be properly converted to a Numpy ndarray",
        ),
        (gstreamer.UnknownPropertyError, "Raised when a non-existent property is referenced"),
    ],
)
def test_module_exception_classes(cls, doc):
    # Exception as the only base: nothing of vantle.errors above it.
    assert cls.__bases__ == (Exception,) and cls.__doc__ == doc


def test_abc_gobject_meta_shape():
    meta = gstreamer.ABCGObjectMeta
    assert meta.__bases__ == (type(GObject.Object), abc.ABCMeta)
    assert meta.__mro__.index(type(GObject.Object)) < meta.__mro__.index(abc.ABCMeta)
    # Its one member asks for the interpreter's refusal of abstract classes, which
    # PyGObject's instance creation skips.
    assert set(vars(meta)) == {"__module__", "__doc__", "__call__"} and "abstractmethod" in meta.__doc__

    class Shape(GObject.Object, metaclass=meta):
        @abc.abstractmethod
        def area(self): ...

    class Square(Shape):
        def area(self):
            return 4

    assert Square().area() == 4 and Shape.__abstractmethods__ == frozenset({"area"})


def test_abc_gobject_meta_refuses_abstract_instances():
    class Abstract(abc.ABC):
        @abc.abstractmethod
        def process(self): ...

    with pytest.raises(TypeError) as expected:
        Abstract()

    class Abstract(Gst.Element, metaclass=gstreamer.ABCGObjectMeta):  # noqa: F811 (same name, same message)
        @abc.abstractmethod
        def process(self): ...

    with pytest.raises(TypeError) as got:
        Abstract()
    assert str(got.value) == str(expected.value)


def test_errors_of_modules_loaded_after_gstreamer_do_not_crash():
    code = (
        "import vantle.utils.gstreamer as g\n"
        "from vantle.utils.timing import Timeout\n"
        "from vantle.stream_reader.varnow import check_varnow\n"
        "calls = (lambda: bool(Timeout(0)), lambda: check_varnow({1: 2}, {}), lambda: Timeout.__init__())\n"
        "for call in calls:\n"
        "    try:\n"
        "        call()\n"
        "    except Exception as error:\n"
        "        print(type(error).__name__)\n"
    )
    result = run(code)
    assert (result.returncode, result.stdout) == (0, "TimeoutError\nInvalidRuntimeOptionError\nTypeError\n")


# A missing PyGObject, and typelibs that the bindings cannot find.
HIDE_GI = "sys.modules['gi'] = None\n"
REFUSE_NAMESPACES = (
    "import gi\n"
    "def refuse(namespace, version):\n"
    "    raise ValueError(f'Namespace {namespace} not available')\n"
    "gi.require_version = refuse\n"
)


@pytest.mark.parametrize(
    "prelude, error, cause, named",
    [
        (HIDE_GI, "ModuleNotFoundError", "ModuleNotFoundError", "python3-gi"),
        (REFUSE_NAMESPACES, "ImportError", "ValueError", "gir1.2-gstreamer-1.0"),
    ],
)
def test_missing_bindings_name_the_system_packages(prelude, error, cause, named):
    code = (
        f"import sys\n{prelude}"
        "try:\n"
        "    import vantle\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, type(error.__cause__).__name__)\n"
        "    print(error)\n"
    )
    result = run(code)
    kind, _, text = result.stdout.partition("\n")
    assert (result.returncode, kind) == (0, f"{error} {cause}")
    assert named in text and "--system-site-packages" in text
