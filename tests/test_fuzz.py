"""Arbitrary Python objects in every argument position: only the documented
exceptions may come out, nothing crashes, and no argument gains or loses a
reference. The same holds for any use of the callables and their type as
objects."""

import contextlib
import copy
import gc
import inspect
import operator
import os
import pickle
import subprocess
import sys

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import write_video

import velmar
import velmar._engine
import velmar.ccapture as ccapture
from velmar.ccapture import check_motion_gray, check_motion_rgb, vcapture
from velmar.recording.engine_hooks import EngineHooks, split


class Refusal(Exception):
    """Raised by the argument objects below from their own conversions."""


class Convertible:
    """An object whose number and truth conversions return `value` or raise."""

    def __init__(self, value):
        self.value = value

    def _give(self):
        if self.value == "raise":
            raise Refusal("conversion")
        return self.value

    __index__ = __int__ = __float__ = __bool__ = _give


class UnusableCv2:
    """Stands in for OpenCV in vcapture runs: a session that gets past its
    argument checks stops at its first library call."""

    def __getattr__(self, name):
        raise Refusal(name)


class StrSubclass(str):
    pass


dtypes = st.sampled_from(["u1", "i1", "<i4", ">i4", "<i8", "<f4", ">f8", "?", "<u2"])
arrays = st.builds(
    lambda a, step, writeable: _finish(a[..., ::step] if a.ndim else a, writeable),
    hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5)),
    st.integers(1, 2), st.booleans(),
)


def _finish(array, writeable):
    array.flags.writeable = writeable
    return array


scalars = st.one_of(
    st.integers(), st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(),
    st.text(max_size=5), st.builds(StrSubclass, st.text(max_size=3)), st.binary(max_size=3),
    st.lists(st.integers(), max_size=2),
    st.builds(Convertible, st.one_of(st.integers(), st.floats(), st.text(max_size=2),
                                     st.just("raise"), st.just(None))),
)
anything = st.one_of(scalars, arrays)

EXPECTED = (TypeError, ValueError, OverflowError, Refusal)


# Fresh objects only: shared ones (None, small ints) move with the interpreter.
FRESH = (np.ndarray, Convertible, StrSubclass, list)


def call_checked(function, args, kwargs):
    objects = [o for o in list(args) + list(kwargs.values()) if isinstance(o, FRESH)]
    before = [sys.getrefcount(o) for o in objects]
    try:
        function(*args, **kwargs)
    except EXPECTED:
        pass
    except Exception as error:  # OpenCV refuses odd frames with its own error type
        assert type(error).__name__ == "error", repr(error)
    assert [sys.getrefcount(o) for o in objects] == before


def split(values, names, cut):
    """The first `cut` values by position, the rest by keyword."""
    return values[:cut], dict(zip(names[cut:], values[cut:]))


fuzz = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("check", [check_motion_gray, check_motion_rgb])
@fuzz
@given(values=st.lists(anything, min_size=5, max_size=8), cut=st.integers(0, 8))
def test_motion_checks_take_anything(check, values, cut):
    names = list(check.__signature__.parameters) + ["extra"]
    args, kwargs = split(values, names, min(cut, len(values)))
    call_checked(check, args, kwargs)


frames = st.builds(  # well-typed frames of any size, layout and writability
    lambda a, step, writeable: _finish(a[::step, ::step], writeable),
    hnp.arrays(np.uint8, hnp.array_shapes(min_dims=2, max_dims=3, min_side=0, max_side=24)),
    st.integers(1, 2), st.booleans(),
)
levels = st.integers(-(2**31), 2**31 - 1) | st.integers(-3, 300)


# Kernel widths stay small: OpenCV would try to allocate a huge kernel.
@pytest.mark.parametrize("check", [check_motion_gray, check_motion_rgb])
@fuzz
@given(arrays=st.lists(frames, min_size=3, max_size=3), threshold=levels, min_area=levels,
       kernel_width=st.integers(-3, 41), show_diff=st.booleans())
def test_motion_checks_take_any_frames(check, arrays, threshold, min_area, kernel_width,
                                       show_diff, windowless):
    call_checked(check, (*arrays, threshold, min_area, kernel_width, show_diff), {})


class WindowlessCv2:
    """OpenCV with the diagnostic windows' calls made harmless."""

    def __getattr__(self, name):
        if name in ("namedWindow", "imshow"):
            return lambda *args: None
        return getattr(cv2, name)


@pytest.fixture(scope="module")
def windowless():
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(ccapture, "cv2", WindowlessCv2())
        yield


@fuzz
@given(data=st.data(), cut=st.integers(0, 26))
def test_vcapture_takes_anything(data, cut, monkeypatch_session):
    names = list(vcapture.__signature__.parameters)
    values = [data.draw(anything) for _ in names]
    args, kwargs = split(values, names, cut)
    call_checked(vcapture, args, kwargs)


@pytest.fixture(scope="module")
def monkeypatch_session():
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(ccapture, "cv2", UnusableCv2())
        patch.setattr(ccapture, "os", UnusableCv2())
        patch.setattr(ccapture, "print", lambda *args: None, raising=False)
        yield


FunctionType, NONE = type(vcapture), type(None)
CALLABLES = (check_motion_gray, check_motion_rgb, vcapture)


def refused(action):
    """Nothing may make a function, nor change one or its type."""
    def check(*args):
        with pytest.raises((TypeError, AttributeError)):
            action(*args)
    return check


def same(transform):
    """Copies give the object itself back: functions travel by reference."""
    def check(t, name, descriptor, value, protocol):
        assert transform(t, protocol) is t
    return check


def compare(t, value):
    hash(t)
    for relation in (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge):
        for left, right in ((t, value), (value, t)):
            with contextlib.suppress(TypeError):  # functions have no order
                relation(left, right)


# Each takes the target, an attribute name, one of the type's own descriptors,
# another object and a pickle protocol.
OPERATIONS = {
    "create": refused(lambda t, name, d, value, p: FunctionType(value)),
    "allocate": refused(lambda *_: object.__new__(FunctionType)),
    "read": lambda t, name, *_: getattr(t, name),
    "call attribute": lambda t, name, *_: getattr(t, name)(),
    "write": refused(lambda t, name, d, value, p: setattr(t, name, value)),
    "delete": refused(lambda t, name, *_: delattr(t, name)),
    "descriptor get": lambda t, name, d, value, p: d.__get__(value),
    "descriptor set": refused(lambda t, name, d, value, p: d.__set__(value, t)),
    "descriptor call": lambda t, name, d, value, p: d(value),
    "copy": same(lambda t, p: copy.copy(t)),
    "deepcopy": same(lambda t, p: copy.deepcopy(t)),
    "pickle": same(lambda t, p: pickle.loads(pickle.dumps(t, p))),
    "compare": lambda t, name, d, value, p: compare(t, value),
    "show": lambda t, *_: (repr(t), str(t), [getattr(t, name) for name in dir(t)]),
    "collect": lambda t, *_: (gc.collect(), gc.get_referents(t), gc.is_tracked(t)),
}

others = anything | st.sampled_from([*CALLABLES, FunctionType, object(), len, ccapture])
names = st.sampled_from(sorted(set(dir(vcapture)) | set(dir(FunctionType)))) | st.text(max_size=3)


@fuzz
@given(target=st.sampled_from([*CALLABLES, FunctionType]), operation=st.sampled_from(
       sorted(OPERATIONS)), name=names, own=st.sampled_from(sorted(vars(FunctionType))),
       value=others, protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_callables_and_their_type_take_any_use(target, operation, name, own, value, protocol):
    # A function's own references are watched too, but not its strings: the
    # name is interned, shared with the interpreter.
    referents = gc.get_referents(target) if target is not FunctionType else []
    objects = [target, FunctionType, *(o for o in referents if not isinstance(o, (str, NONE)))]
    objects += [value] if isinstance(value, FRESH) else []
    # Garbage of earlier tests holding the functions must not go in between.
    gc.collect()
    gc.disable()
    try:
        before = [sys.getrefcount(o) for o in objects]
        with contextlib.suppress(TypeError, AttributeError, pickle.PicklingError):
            OPERATIONS[operation](target, name, vars(FunctionType)[own], value, protocol)
        assert [sys.getrefcount(o) for o in objects] == before
    finally:
        gc.enable()


# Apart from pytest: an instance made anyway ends its process when shown.
@pytest.mark.parametrize("expression", ["T()", "object.__new__(T)"])
def test_function_type_makes_no_instances(expression):
    code = ("import velmar.ccapture as c\nT = type(c.vcapture)\n"
            f"try:\n    repr({expression})\nexcept TypeError:\n    pass\n"
            "else:\n    raise SystemExit('made an instance')")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr




OPTIONS = ("input_ output fmt fps width height roi_x roi_y roi_w roi_h interval duration "
           "frames_per_file motion_based config threshold min_area kernel_width timestamp tb tc "
           "tx ty fs timestamps verbose live whole_frame namer progress stop").split()
# Paths stay in the test's folder (tests may run as root); `interactive` and
# `show_diff` stay False: a real window without a display ends the process.
local = anything.filter(lambda v: not (isinstance(v, str) and "/" in v))


def hook(first):  # then free names: a namer giving a taken name forever is asked forever
    return lambda count, *rest: first if count == 0 else f"{count}.avi"


def refuse(*args):
    raise Refusal("hook")


valid = st.fixed_dictionaries({}, optional={
    "frames_per_file": st.integers(0, 4), "motion_based": st.booleans(),
    "timestamp": st.booleans(), "interval": st.floats(0, 0.3), "duration": st.floats(0, 0.5),
    "timestamps": st.sampled_from(["pts", "rate", "clock"]),
    "whole_frame": st.booleans(), "live": st.booleans(), "roi_x": st.integers(0, 70),
    "roi_w": st.integers(0, 70), "kernel_width": st.sampled_from([-1, 1, 4, 21]),
    "namer": st.builds(hook, local), "progress": st.builds(hook, local) | st.just(refuse),
    "stop": st.builds(list)})  # fresh: a shared one is counted by old examples too
keys = st.sampled_from([*OPTIONS, "", "nope", "\ud800", StrSubclass("fps"), 0, None, b"fps"])
sessions = settings(fuzz, max_examples=200)  # each example runs real sessions


@pytest.fixture(scope="module")
def clip_folder(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(tmp_path_factory.mktemp("fuzz"))
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            patch.delenv(name, raising=False)
        write_video("in.avi", 5)
        yield {"in.avi"}


@contextlib.contextmanager
def no_file_left_open(folder):
    """Removes the session's outputs afterwards. The collector waits: garbage of
    earlier examples would otherwise drop its references to the values midway."""
    files = len(os.listdir("/proc/self/fd"))
    gc.disable()
    try:
        yield
    finally:
        gc.enable()
        for name in set(os.listdir(".")) - folder:
            os.remove(name)
    assert len(os.listdir("/proc/self/fd")) == files


def run_engine(options):
    try:
        velmar._engine.run(*split(options))
    except RuntimeError as error:  # a writer that does not open is reported so
        assert str(error).startswith("Could not open video file"), repr(error)
    except FileNotFoundError:  # a missing input file: record() refuses it first
        pass


@pytest.mark.filterwarnings("ignore:stat:DeprecationWarning")  # a namer giving an array
@sessions
@given(valid=valid, arbitrary=st.dictionaries(keys, local, max_size=3))
def test_engine_takes_any_options(clip_folder, valid, arbitrary):
    options = {"input_": "in.avi", "output": "out.avi", "fmt": "FFV1", "roi_w": 64,
               "roi_h": 48, "verbose": False, "tb": np.zeros(3, np.int32),
               "tc": np.zeros(3, np.int32), **valid, **arbitrary,
               "interactive": False, "show_diff": False}
    with no_file_left_open(clip_folder):  # the values ride along to have their references counted
        call_checked(lambda *values: run_engine(options), list(options.values()), {})


# A huge kernel would hang or exhaust memory, a huge rate overflow.
@pytest.mark.parametrize("call, name", [
    (lambda: velmar._engine.run({"input_": "in.avi", "output": "k.avi", "fmt": "FFV1",
                                 "roi_w": 64, "roi_h": 48, "motion_based": True,
                                 "kernel_width": 101}, EngineHooks()), "kernel_width"),
    (lambda: velmar.record("in.avi", "k.avi", camera_fps=2.0**31), "camera_fps"),
])
def test_too_large_values_are_refused(clip_folder, call, name):
    with no_file_left_open(clip_folder), pytest.raises(ValueError, match=name):
        call()


@sessions
@given(arbitrary=st.dictionaries(st.sampled_from(list(inspect.signature(velmar.record)
                                                      .parameters)), local, max_size=3))
def test_record_takes_any_options(clip_folder, arbitrary):
    with no_file_left_open(clip_folder):
        try:
            velmar.record(**{"source": "in.avi", "output": "out.avi", **arbitrary})
        except (TypeError, ValueError, velmar.SourceError, FileNotFoundError,
                IsADirectoryError, Refusal):  # the last from the value's own truth test
            assert set(os.listdir(".")) == clip_folder
