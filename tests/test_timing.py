"""Timeout against a fake clock and a recording logger, both put in the module's globals, which the
class looks up at every use."""

import time

import pytest

import vantle.utils.timing as timing
from vantle.utils.timing import Timeout

pytestmark = pytest.mark.timeout(30)

START = 1000.0


class Clock:
    """Returns `now`, or the next of `steps` (one per read) while any are left."""

    def __init__(self):
        self.now, self.steps, self.reads = START, [], 0

    def __call__(self):
        self.reads += 1
        if self.steps:
            self.now = self.steps.pop(0)
        return self.now


class Logger:
    def __init__(self):
        self.warnings = []

    def warning(self, *args, **kwargs):
        self.warnings.append((args, kwargs))


class Untouchable:
    def __bool__(self):
        raise AssertionError("read while time is left")


@pytest.fixture
def clock(monkeypatch):
    fake = Clock()
    monkeypatch.setattr(timing, "time", fake)
    return fake


@pytest.fixture
def log(monkeypatch):
    fake = Logger()
    monkeypatch.setattr(timing, "logger", fake)
    return fake


def warned(*texts):
    return [((text,), {}) for text in texts]


def test_construction_reads_the_clock_once_and_stores_the_arguments(clock):
    budget, raise_error, print_timeout = 300, "", [1]
    t = Timeout(budget, raise_error, print_timeout)
    assert clock.reads == 1
    assert list(vars(t).items()) == [
        ("start", START),
        ("time_seconds", budget),
        ("raise_error", raise_error),
        ("print_timeout", print_timeout),
    ]
    assert vars(t)["raise_error"] is raise_error and vars(t)["print_timeout"] is print_timeout
    assert list(vars(Timeout(5, False, True)).values()) == [START, 5, False, True]
    assert list(vars(Timeout(5)).values()) == [START, 5, True, False]


@pytest.mark.parametrize(
    "budget, elapsed, message",
    [
        (0, 0.0, "Timer of 0 seconds timed out at 0.0 seconds!"),
        (-5, 0.0, "Timer of -5 seconds timed out at 0.0 seconds!"),
        (300, 300.5, "Timer of 300 seconds timed out at 300.5 seconds!"),
        (300, 300.0, "Timer of 300 seconds timed out at 300.0 seconds!"),
        (2.5, 2.5, "Timer of 2.5 seconds timed out at 2.5 seconds!"),
        (300, 299.5, None),
    ],
)
def test_spent_budgets(clock, log, budget, elapsed, message):
    t = Timeout(budget)
    clock.now = START + elapsed
    if message is None:
        assert t.__bool__() is True
    else:
        with pytest.raises(TimeoutError) as error:
            bool(t)
        assert type(error.value) is TimeoutError and error.value.args == (message,)
        t.raise_error = False
        assert t.__bool__() is False
    assert log.warnings == []


def test_warning_comes_before_the_error_and_every_read_is_separate(clock, log):
    t = Timeout(300, print_timeout=True)
    clock.steps = [START + 300.5, START + 300.75, START + 301.0]
    with pytest.raises(TimeoutError) as error:
        bool(t)
    assert str(error.value) == "Timer of 300 seconds timed out at 301.0 seconds!"
    assert log.warnings == warned("Timer timed out! Time: 300.75")
    assert clock.reads == 4


def test_quiet_false_logs_again_at_every_test(clock, log):
    t = Timeout(5, False, True)
    clock.now = START + 4.999
    assert t.__bool__() is True and log.warnings == []
    clock.now = START + 300.5
    assert [bool(t), bool(t)] == [False, False]
    assert log.warnings == warned("Timer timed out! Time: 300.5", "Timer timed out! Time: 300.5")


def test_flags_are_read_only_once_the_budget_is_spent(clock, log):
    t = Timeout(10, Untouchable(), Untouchable())
    clock.now = START + 9.5
    assert bool(t) is True
    clock.now = START + 10
    with pytest.raises(AssertionError, match="read while time is left"):
        bool(t)


def test_reset_starts_a_full_budget_again(clock, log):
    t = Timeout(10, raise_error=False)
    clock.now = START + 10
    assert bool(t) is False
    assert t.reset() is None
    assert vars(t) == {"start": START + 10, "time_seconds": 10, "raise_error": False, "print_timeout": False}
    assert bool(t) is True
    clock.now = START + 20
    assert bool(t) is False


def test_attribute_changes_take_effect_at_the_next_test(clock, log):
    t = Timeout(10, raise_error=False)
    clock.now = START + 300.5
    assert bool(t) is False
    t.time_seconds = 400
    assert bool(t) is True
    t.time_seconds, t.print_timeout = 300, 1
    assert bool(t) is False and log.warnings == warned("Timer timed out! Time: 300.5")
    t.raise_error = "yes"
    with pytest.raises(TimeoutError, match=r"^Timer of 300 seconds timed out at 300.5 seconds!$"):
        bool(t)
    t.start = START + 200
    assert bool(t) is True


@pytest.mark.parametrize(
    "change, operation",
    [
        (lambda t: setattr(t, "time_seconds", "5"), lambda now, t: now - t.start < "5"),
        (lambda t: setattr(t, "start", "then"), lambda now, t: now - "then"),
    ],
)
def test_non_numbers_fail_with_pythons_own_error(clock, change, operation):
    t = Timeout(5)
    change(t)
    with pytest.raises(TypeError) as expected:
        operation(clock(), t)
    with pytest.raises(TypeError) as got:
        bool(t)
    assert str(got.value) == str(expected.value)


def test_names_are_looked_up_in_the_module_then_in_builtins(clock, log, monkeypatch):
    class Spent(Exception):
        pass

    monkeypatch.setattr(timing, "TimeoutError", Spent, raising=False)
    with pytest.raises(Spent, match=r"^Timer of 0 seconds timed out at 0.0 seconds!$"):
        bool(Timeout(0))
    monkeypatch.delattr(timing, "logger")
    with pytest.raises(NameError, match=r"^name 'logger' is not defined$"):
        bool(Timeout(0, False, True))


def test_real_clock_ends_the_loop():
    assert timing.time is time.time
    began = time.time()
    t = Timeout(0.05, raise_error=False)
    while t:
        time.sleep(0.005)
    assert 0.05 <= time.time() - began < 5
    with pytest.raises(TimeoutError, match=r"^Timer of 0.01 seconds timed out at "):
        t = Timeout(0.01)
        while t:
            time.sleep(0.005)


def test_class_and_module_shape():
    assert Timeout.__mro__ == (Timeout, object)
    assert Timeout.__module__ == "vantle.utils.timing" and "__slots__" not in vars(Timeout)
    assert "while timeout:" in Timeout.__doc__ and timing.__doc__ is None
    assert {n for n in vars(timing) if not n.startswith("__")} == {"time", "logger", "Timeout"}
    assert hasattr(timing.logger, "warning")
