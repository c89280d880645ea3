"""check_varnow: the first unsupported or badly typed option raises, with the exact message."""

import pytest

import vantle.stream_reader.varnow as varnow
from vantle.errors import InvalidRuntimeOptionError
from vantle.stream_reader.varnow import check_varnow

pytestmark = pytest.mark.timeout(30)


class Key:
    """A key whose format() and str() differ: messages format it."""

    def __format__(self, spec):
        return "formatted"

    def __str__(self):
        return "str"


KEY = Key()
INT, STR = "<class 'int'>", "<class 'str'>"


def wrong(key, expected, got):
    """The type message: five quotation marks of its own, none after the value's type."""
    return "Option '" + key + "' should be of type '" + expected + "', got '" + got


@pytest.mark.parametrize(
    "supplied, supported, message",
    [
        ({}, {}, None),
        ({}, {"rate": int}, None),
        ({"rate": 5, "name": "a"}, {"rate": int, "name": str, "unused": float}, None),
        ({"flag": True}, {"flag": int}, None),
        ({"scale": 1.5}, {"scale": (int, float)}, None),
        ({"nope": 1}, {"rate": int}, "Unknown option 'nope'"),
        ({5: 1}, {}, "Unknown option '5'"),
        ({KEY: 1}, {}, "Unknown option 'formatted'"),
        ({"rate": "5"}, {"rate": int}, "Option 'rate' should be of type '<class 'int'>', got '<class 'str'>"),
        ({5: None}, {5: str}, wrong("5", STR, "<class 'NoneType'>")),
        ({KEY: 1}, {KEY: str}, wrong("formatted", STR, INT)),
        ({"x": "s"}, {"x": (int, float)}, wrong("x", "(<class 'int'>, <class 'float'>)", STR)),
        ({"bad": "x", "nope": 1}, {"bad": int}, wrong("bad", INT, STR)),
        ({"nope": 1, "bad": "x"}, {"bad": int}, "Unknown option 'nope'"),
        ({"ok": 1, "bad": 2.0}, {"ok": int, "bad": int}, wrong("bad", INT, "<class 'float'>")),
    ],
)
def test_messages_and_order(supplied, supported, message):
    if message is None:
        assert check_varnow(supplied, supported) is None
        return
    with pytest.raises(InvalidRuntimeOptionError) as error:
        check_varnow(supplied, supported)
    assert type(error.value) is InvalidRuntimeOptionError and error.value.args == (message,)


class Mutating(type):
    def __instancecheck__(cls, instance):
        SUPPLIED["added"] = 1
        return True


class Grows(metaclass=Mutating):
    pass


SUPPLIED = {}


@pytest.mark.parametrize(
    "supplied, supported, error, message",
    [
        (None, {}, AttributeError, "'NoneType' object has no attribute 'items'"),
        (SUPPLIED, {"a": Grows, "added": int}, RuntimeError, "dictionary changed size during iteration"),
        ({"a": 1}, {"a": 5}, TypeError, None),
    ],
)
def test_errors_of_the_interpreter_propagate(supplied, supported, error, message):
    SUPPLIED.clear()
    SUPPLIED["a"] = 1
    if message is None:
        with pytest.raises(error) as expected:
            isinstance(1, 5)
        message = str(expected.value)
    with pytest.raises(error) as got:
        check_varnow(supplied, supported)
    assert (type(got.value), str(got.value)) == (error, message)


class Counting(dict):
    lookups = 0

    def __getitem__(self, key):
        Counting.lookups += 1
        return super().__getitem__(key)


class Pairs:
    """Not a dict: anything whose items() yields pairs."""

    def items(self):
        return iter([("b", 1), ("a", "x")])


def test_mappings_and_lookups(monkeypatch):
    with pytest.raises(InvalidRuntimeOptionError):
        check_varnow({"rate": "5"}, Counting(rate=int))
    assert Counting.lookups == 2
    with pytest.raises(InvalidRuntimeOptionError, match="^Unknown option 'b'$"):
        check_varnow(Pairs(), {"a": int})

    class Other(Exception):
        pass

    monkeypatch.setattr(varnow, "InvalidRuntimeOptionError", Other)
    with pytest.raises(Other, match="^Unknown option 'z'$"):
        check_varnow({"z": 1}, {})


def test_module_shape():
    assert varnow.__doc__ is None
    assert {n for n in vars(varnow) if not n.startswith("__")} == {
        "InvalidRuntimeOptionError",
        "check_varnow",
    }
