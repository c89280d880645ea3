"""Our C++ function objects seen from Python, through the real modules' functions: the attributes
of a plain `def`, `inspect.signature`, method binding, and binding errors worded as the interpreter
words them (checked against a plain `def` with the same signature)."""

import collections
import copy
import importlib
import inspect
import pickle
import re
import types

import pytest

import vantle.stream_reader.varnow as varnow
from vantle.utils.gstreamer import Gst, Pipeline

pytestmark = pytest.mark.timeout(60)

MODULES = {
    "G": "vantle.utils.gstreamer",
    "T": "vantle.utils.timing",
    "V": "vantle.stream_reader.varnow",
    "H": "vantle.pipeline_factories.http",
    "C": "vantle.pipeline_factories.custom",
    "R": "vantle.pipeline_factories.rtsp",
    "F": "vantle.pipeline_factories.file",
}
# Every public function and method, as "<module key> <path in the module> <signature>"; a path ending
# in .fget/.fset names a property's getter/setter.
SIGNATURES = [
    "G Pipeline.__init__ (self, name: 'str')",
    "G Pipeline.from_launch_string (launch: 'str', name: 'str') -> 'Pipeline'",
    "G Pipeline.connect_signal_handler (self, element: 'Gst.Element', signal: 'str', callback: 'Callable', "
    "*args)",
    "G Pipeline.add_bus_watch (self, callback: 'Callable', *args)",
    "G Pipeline.add_pad_probe (self, pad: 'Gst.Pad', pad_probe_type: 'Gst.PadProbeType', "
    "callback: 'Callable', *args)",
    "G Pipeline.post_error (self, message: 'str')",
    "G Pipeline.release_resources (self)",
    "G Pipeline.wait_until_playing (self, timeout: 'int')",
    "G Pipeline.wait_until_null (self, timeout: 'int')",
    "G Pipeline.appsink.fget (self) -> 'GstApp.AppSink'",
    "G Pipeline.appsink.fset (self, element: 'GstApp.AppSink')",
    "G Pipeline.new_element (self, factory_name: 'str', link_to: 'Gst.Element' = None, "
    "properties: 'dict' = None, auto_play=True) -> 'Gst.Element'",
    "G Pipeline.filter_caps (self, link_to: 'Gst.Element', options: 'List[str]', auto_play=True) "
    "-> 'Tuple[Gst.Element, str]'",
    "G Pipeline.__del__ (self)",
    "G framerate_from_structure (structure)",
    "G is_video_pad (pad)",
    "G is_rtp_audio_pad (pad)",
    "G pad_to_string (pad: 'Gst.Pad') -> 'str'",
    "G find_element_factory (caps: 'Gst.Caps', type_) -> 'Gst.ElementFactory'",
    "G find_element (caps: 'Gst.Caps', type_) -> 'Gst.Element'",
    "G UnknownPropertyError.__init__ (self, element: 'Gst.Element', property_name: 'str')",
    "G try_set_property (element: 'Gst.Element', name: 'str', value: 'Any') -> 'None'",
    "G sample_to_ndarray (sample: 'Gst.Sample') -> 'np.ndarray'",
    "T Timeout.__init__ (self, time_seconds, raise_error=True, print_timeout=False)",
    "T Timeout.reset (self)",
    "T Timeout.__bool__ (self)",
    "V check_varnow (supplied, supported)",
    "H HTTPPipelineFactory.__init__ (self, *, url: 'str', pipeline_watcher: '_PIPELINE_WATCHER', "
    "keyframes_only: 'bool', drop_frames: 'bool' = True, size: 'Optional[Tuple[int, int]]' = None, "
    "max_frame_bytes: 'Optional[int]' = None, format: 'str' = 'bgr', rotate: 'bool' = False, "
    "fps: 'Optional[float]' = None)",
    "H HTTPPipelineFactory.build (self) -> 'Pipeline'",
    "C CustomPipelineFactory.__init__ (self, pipeline_str: 'str', *, url: 'str', "
    "pipeline_watcher: '_PIPELINE_WATCHER', keyframes_only: 'bool', drop_frames: 'bool' = True, "
    "max_frame_bytes: 'Optional[int]' = None, format: 'str' = 'bgr', fps: 'Optional[float]' = None)",
    "C CustomPipelineFactory.build (self) -> 'Pipeline'",
    "R RTSPPipelineFactory.__init__ (self, *, url: 'str', pipeline_watcher: '_PIPELINE_WATCHER', "
    "keyframes_only: 'bool', drop_frames: 'bool' = True, size: 'Optional[Tuple[int, int]]' = None, "
    "max_frame_bytes: 'Optional[int]' = None, format: 'str' = 'bgr', rotate: 'bool' = False, "
    "fps: 'Optional[float]' = None, rtsp_transport: 'str' = 'auto', "
    "latency: 'int' = 200, tcp_timeout: 'Optional[float]' = None)",
    "R RTSPPipelineFactory.build (self) -> 'Pipeline'",
    "F FilePipelineFactory.__init__ (self, *, url: 'str', pipeline_watcher: '_PIPELINE_WATCHER', "
    "keyframes_only: 'bool', drop_frames: 'bool' = True, size: 'Optional[Tuple[int, int]]' = None, "
    "max_frame_bytes: 'Optional[int]' = None, format: 'str' = 'bgr', rotate: 'bool' = False, "
    "fps: 'Optional[float]' = None)",
    "F FilePipelineFactory.build (self) -> 'Pipeline'",
]
ROWS = [(MODULES[key], path, signature) for key, path, signature in (s.split(" ", 2) for s in SIGNATURES)]
UNDOCUMENTED = {
    *("Pipeline." + name for name in "__init__ connect_signal_handler add_bus_watch add_pad_probe".split()),
    *("Pipeline." + name for name in "release_resources appsink.fget appsink.fset".split()),
    *"framerate_from_structure pad_to_string UnknownPropertyError.__init__ Timeout.__bool__".split(),
    *"HTTPPipelineFactory.build CustomPipelineFactory.build".split(),
    *"RTSPPipelineFactory.build FilePipelineFactory.build".split(),
}


def resolve(module_name, path):
    obj = importlib.import_module(module_name)
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def plain_def(module_name, path, signature):
    """A plain `def` with the given signature and the names of ours."""
    namespace = {}
    exec(f"def f{signature}: pass", namespace)
    f = namespace["f"]
    f.__qualname__ = re.sub(r"\.f[gs]et$", "", path)
    f.__name__ = f.__qualname__.rpartition(".")[2]
    f.__module__ = module_name
    return f


rows = pytest.mark.parametrize("module_name, path, signature", ROWS)


@rows
def test_attributes_match_a_plain_def(module_name, path, signature):
    ours, plain = resolve(module_name, path), plain_def(module_name, path, signature)
    assert str(inspect.signature(ours)) == signature
    assert inspect.signature(ours) == inspect.signature(plain)
    for name in "__name__ __qualname__ __module__ __annotations__ __defaults__ __kwdefaults__".split():
        assert getattr(ours, name) == getattr(plain, name), name
    assert repr(ours) == f"<function {plain.__qualname__} at {hex(id(ours))}>"
    assert ours.__globals__ is vars(importlib.import_module(module_name))
    assert copy.copy(ours) is ours and copy.deepcopy(ours) is ours
    if not path.endswith((".fget", ".fset")):
        assert pickle.loads(pickle.dumps(ours)) is ours


@pytest.mark.parametrize("module_name, path", [row[:2] for row in ROWS])
def test_docstrings(module_name, path):
    ours = resolve(module_name, path)
    assert (ours.__doc__ is None) == (path in UNDOCUMENTED)
    for field in (ours.__doc__ or "").split(":param ")[1:]:
        assert field.partition(":")[0] in inspect.signature(ours).parameters


def test_binds_as_a_method():
    pipeline = Pipeline("bind")
    assert vars(Pipeline)["new_element"] is Pipeline.new_element
    bound = pipeline.new_element
    assert type(bound) is types.MethodType and bound.__func__ is Pipeline.new_element
    assert bound.__self__ is pipeline
    assert str(inspect.signature(bound)).startswith("(factory_name: 'str', link_to")
    assert pipeline.from_launch_string is Pipeline.from_launch_string
    assert isinstance(vars(Pipeline)["appsink"], property)
    assert Pipeline.new_element.__get__(None, Pipeline) is Pipeline.new_element


def bad_calls(plain):
    """Calls of `plain` (a function or a bound method) that fail while binding, as (label, args, kwargs)."""
    params = list(inspect.signature(plain).parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    kwonly = {p.name: object() for p in params if p.kind is p.KEYWORD_ONLY}
    varargs = [p.name for p in params if p.kind is p.VAR_POSITIONAL]
    required = [object() for p in positional if p.default is p.empty]
    full = [object() for _ in positional]
    calls = [("non-string keyword", full, {**kwonly, 1: 2})]
    if required or kwonly:
        calls.append(("nothing", [], {}))
    calls += [("unknown keyword", required, {**kwonly, "nonexistent": 1})]
    if len(required) > 1:
        calls.append(("last missing", required[:-1], kwonly))
    if positional:
        calls.append(("given twice", full, {**kwonly, positional[0].name: 1}))
        calls.append(("missing, unknown", [], {positional[-1].name: 1, "bogus": 2}))
    if not varargs:
        calls.append(("one too many", [*full, 1], kwonly))
    if kwonly:
        calls += [("keyword-only by position", [*full, *kwonly.values()], {}), ("no keyword-only", full, {})]
    calls += [("*args as keyword", required, {**kwonly, name: 1}) for name in varargs]
    return calls


@rows
def test_binding_errors_match_a_plain_def(module_name, path, signature):
    ours, plain = resolve(module_name, path), plain_def(module_name, path, signature)
    targets = [(ours, plain)]
    if "self" in inspect.signature(plain).parameters:
        instance = object()
        targets.append((types.MethodType(ours, instance), types.MethodType(plain, instance)))
    for ours_callable, plain_callable in targets:
        for label, args, kwargs in bad_calls(plain_callable):
            with pytest.raises(TypeError) as expected:
                plain_callable(*args, **kwargs)
            with pytest.raises(TypeError) as got:
                ours_callable(*args, **kwargs)
            assert (type(got.value), str(got.value)) == (TypeError, str(expected.value)), label


class StrSub(str):
    pass


class DictSub(dict):
    pass


LONG = type("L" * 250, (str,), {})

WRONG_TYPES = {
    "str": [(b"x", "bytes"), (StrSub("x"), "StrSub"), (LONG("x"), "L" * 200), (1, "int")],
    "dict": [(DictSub(), "DictSub"), (collections.OrderedDict(), "collections.OrderedDict"), ([], "list")],
}
ENFORCED = [
    (module_name, path, name, annotation)
    for module_name, path, signature in ROWS
    for name, annotation in plain_def(module_name, path, signature).__annotations__.items()
    if annotation in WRONG_TYPES and name != "return"
]


@pytest.mark.parametrize("module_name, path, name, annotation", ENFORCED)
def test_exact_type_checked_before_the_body(module_name, path, name, annotation):
    ours = resolve(module_name, path)
    parameters = inspect.signature(ours).parameters
    required = {
        p: None
        for p, v in parameters.items()
        if v.default is v.empty and v.kind in (v.POSITIONAL_OR_KEYWORD, v.KEYWORD_ONLY)
    }
    for value, got in WRONG_TYPES[annotation]:
        with pytest.raises(TypeError) as error:
            ours(**{**required, name: value})
        expected = f"Argument '{name}' has incorrect type (expected {annotation}, got {got})"
        assert (type(error.value), str(error.value)) == (TypeError, expected)


def test_none_and_exact_types_pass_the_check():
    pipeline = Pipeline(None)
    element = pipeline.new_element("identity", None, None, False)
    assert element.get_factory().get_name() == "identity"
    with pytest.raises(TypeError, match=r"^Argument 'properties' has incorrect type"):
        pipeline.new_element("queue", properties=DictSub(), auto_play=False)
    assert [e.get_factory().get_name() for e in pipeline.iterate_elements()] == ["identity"]
    pipeline.set_state(Gst.State.NULL)


@pytest.fixture
def scratch():
    """check_varnow, with every attribute put back afterwards."""
    f = varnow.check_varnow
    names = ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__")
    saved = {n: getattr(f, n) for n in names}
    annotations, instance_dict = f.__annotations__, dict(f.__dict__)
    yield f
    for n, v in saved.items():
        setattr(f, n, v)
    f.__annotations__ = annotations
    f.__dict__ = instance_dict


ATTRIBUTE_OPERATIONS = {
    "set, get, delete": lambda f: (setattr(f, "x", 1), dict(vars(f)), f.x, delattr(f, "x"), dict(vars(f))),
    "delete missing": lambda f: delattr(f, "missing"),
    "get missing": lambda f: f.missing,
    "dict replaced": lambda f: (setattr(f, "__dict__", {"y": 2}), f.y),
    "dict not a dict": lambda f: setattr(f, "__dict__", []),
    "dict deleted": lambda f: delattr(f, "__dict__"),
    "dict shadows a method": lambda f: (setattr(f, "__repr__", 5), f.__repr__),
    "class in dict": lambda f: setattr(f, "__class__", int),
    "name": lambda f: (setattr(f, "__name__", "other"), f.__name__, delattr(f, "__name__")),
    "qualname": lambda f: (setattr(f, "__qualname__", "A.b"), repr(f)),
    "qualname not a string": lambda f: setattr(f, "__qualname__", 1),
    "module": lambda f: (setattr(f, "__module__", 1), f.__module__, delattr(f, "__module__"), f.__module__),
    "doc": lambda f: (setattr(f, "__doc__", 1), f.__doc__, delattr(f, "__doc__"), f.__doc__),
    "globals": lambda f: setattr(f, "__globals__", {}),
    "defaults": lambda f: (setattr(f, "__defaults__", ({},)), str(inspect.signature(f)), f({})),
    "defaults not a tuple": lambda f: setattr(f, "__defaults__", []),
    "defaults deleted": lambda f: (delattr(f, "__defaults__"), f.__defaults__),
    "kwdefaults": lambda f: (
        setattr(f, "__kwdefaults__", {"a": 1}),
        f.__kwdefaults__,
        setattr(f, "__kwdefaults__", 1),
    ),
    "annotations": lambda f: (setattr(f, "__annotations__", {"supplied": "dict"}), str(inspect.signature(f))),
    "annotations deleted": lambda f: (delattr(f, "__annotations__"), f.__annotations__),
    "annotations not a dict": lambda f: setattr(f, "__annotations__", ()),
    "signature set": lambda f: (setattr(f, "__signature__", 5), inspect.signature(f)),
    "non-string name": lambda f: setattr(f, 1, 2),
}


@pytest.mark.parametrize("operation", ATTRIBUTE_OPERATIONS)
def test_attribute_operations_match_a_plain_def(scratch, operation):
    def outcome(f):
        try:
            return repr(ATTRIBUTE_OPERATIONS[operation](f)).replace(hex(id(f)), "ADDR")
        except Exception as error:  # the outcome compared includes the error
            return f"{type(error).__name__}: {error}"

    plain = plain_def(MODULES["V"], "check_varnow", "(supplied, supported)")
    assert outcome(scratch) == outcome(plain)
