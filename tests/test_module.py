import csv
import datetime
import inspect
import os
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

import caputil
import velmar.ccapture as ccapture

MOTION = "blurred_prev blurred_cur threshold min_area kernel_width show_diff"
CALLABLES = {
    "check_motion_rgb": ("current " + MOTION, (21, False)),
    "check_motion_gray": ("gray_cur " + MOTION, (21, False)),
    "vcapture": ("input_ output fmt fps interactive width height roi_x roi_y roi_w roi_h "
                 "interval duration max_frames motion_based config threshold min_area "
                 "kernel_width timestamp show_diff tb tc tx ty fs", None),
}


def test_namespace_holds_exactly_the_imports_callables_and_dunders():
    dunders = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    imports = dict(sys=sys, os=os, time=time, datetime=datetime.datetime, csv=csv, np=np,
                   timedelta=datetime.timedelta, cv2=cv2, caputil=caputil)
    assert set(vars(ccapture)) == dunders | set(imports) | set(CALLABLES)
    assert all(getattr(ccapture, name) is module for name, module in imports.items())


@pytest.mark.parametrize("name", CALLABLES)
def test_callables_look_like_module_level_functions(name):
    parameters, defaults = CALLABLES[name]
    function = getattr(ccapture, name)
    assert (function.__module__, function.__name__, function.__qualname__, function.__doc__,
            function.__defaults__) == ("velmar.ccapture", name, name, None, defaults)
    signature = inspect.signature(function)
    assert [(p.name, p.kind) for p in signature.parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in parameters.split()]
    assert tuple(p.default for p in signature.parameters.values()
                 if p.default is not p.empty) == (defaults or ())


def test_contour_result_shape_matches_the_declared_opencv_generation():
    result = cv2.findContours(np.ones((3, 3), np.uint8), cv2.RETR_LIST, cv2.CHAIN_APPROX_NONE)
    assert len(result) == {3: 3, 4: 2}[caputil.CV2_MAJOR]


# With `feature` set, NumPy's C-API table is a copy that reports that feature level.
IMPORT = """
import ctypes, sys, types; sys.path.insert(0, {path!r})
if {feature}:
    import numpy, cv2, caputil
    api, pointer = ctypes.pythonapi, ctypes.c_void_p
    api.PyCapsule_GetPointer.restype, api.PyCapsule_New.restype = pointer, ctypes.py_object
    real = (sys.modules.get("numpy._core._multiarray_umath")
            or sys.modules["numpy.core._multiarray_umath"])
    table = (pointer * 400)()
    ctypes.memmove(table, api.PyCapsule_GetPointer(ctypes.py_object(real._ARRAY_API), None),
                   300 * ctypes.sizeof(pointer))
    query = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {feature})
    table[211] = ctypes.cast(query, pointer).value
    fake = types.ModuleType(real.__name__)
    fake._ARRAY_API = api.PyCapsule_New(pointer(ctypes.addressof(table)), None, None)
    # NumPy 1.26 also answers to the NumPy 2 name, through a shim: fake both.
    for name in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"):
        sys.modules[name] = fake
try:
    import velmar.ccapture
    print("imported")
except BaseException as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("module, text, feature, expected", [
    (None, None, 0xd, "ImportError"), (None, None, 0xe, "imported"),  # NumPy 1.20's level
    ("cv2", "raise LookupError('no cv2 here')", 0, "LookupError no cv2 here"),
    ("caputil", "1 / 0", 0, "ZeroDivisionError")])
def test_import(tmp_path, module, text, feature, expected):
    if module:
        (tmp_path / f"{module}.py").write_text(text)
    done = subprocess.run([sys.executable, "-c", IMPORT.format(path=str(tmp_path),
                          feature=feature)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.startswith(expected), done.stderr
