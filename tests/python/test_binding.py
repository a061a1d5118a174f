"""The Python binding against the virtual pod's default board (DORVANE_DRIVER=vpod)."""
import os
import re

import pytest

import dorvane
from dorvane import _library

IDCODES = 0x064130414BA00477   # both TAPs' IDCODEs, the TAP nearest TDO first
# The library's public error numbers, as a caller's program compares them.
STATE_UNKNOWN, NOT_SUPPORTED, BAD_ADDRESS_OR_INTERFACE, INVALID_HANDLE = 320, 27, 316, 61


@pytest.fixture
def ctl():
    with dorvane.Controller() as c:
        yield c
    assert c.closed


# detect(), a 64-bit scan_dr and a refused set_frequency are the getting-started page's script,
# run and compared with the page by the docs_python test.
def test_scans_take_and_return_ints(ctl):
    ctl.tms_reset()
    assert ctl.state == dorvane.RESET
    assert ctl.scan_ir(0x1FF, 9) == 0x11           # each IR captures ...01; all BYPASS now
    assert ctl.scan_dr(0b1011, 6) == 0b101100      # two BYPASS bits delay the data
    assert ctl.state == dorvane.IDLE
    ctl.set_frequency(1000)
    assert ctl.frequency == 1000
    ctl.set_stop_state(dorvane.DRPAUSE)
    ctl.scan_dr(0, 2)
    assert ctl.state == dorvane.DRPAUSE


def test_failures_carry_the_library_number_and_message(ctl):
    with pytest.raises(dorvane.DorvaneError) as e:
        ctl.move_to(dorvane.IDLE)                   # the state is unknown until a reset
    assert (e.value.code, e.value.call) == (STATE_UNKNOWN, "x_moveToState")
    assert e.value.message == "current B-Scan state unknown"
    with pytest.raises(dorvane.NotSupportedError) as e:
        ctl.call("x_setVoltage", 3300)
    assert e.value.code == NOT_SUPPORTED
    with pytest.raises(ValueError):
        ctl.scan_dr(0x100, 8)
    with pytest.raises(dorvane.DorvaneError) as e:
        dorvane.Controller(address="USB7")
    assert e.value.code == BAD_ADDRESS_OR_INTERFACE
    ctl.close()
    with pytest.raises(dorvane.DorvaneError) as e:
        ctl.tms_reset()
    assert e.value.code == INVALID_HANDLE


def test_deferred_results_arrive_at_a_flush(ctl):
    ctl.tms_reset()
    ctl.set_buffering(dorvane.BUFFERING_DEFERRED)
    first = ctl.scan_dr(0, 64)
    ctl.move_to(dorvane.RESET)
    second = ctl.scan_dr(0, 64)
    ctl.flush()
    assert (first.value, second.value) == (IDCODES, IDCODES)
    ctl.set_buffering(dorvane.BUFFERING_OFF)
    assert isinstance(ctl.scan_dr(0, 8), int)


def test_library_lookup_order_and_failures(monkeypatch):
    monkeypatch.setenv("DORVANE_LIBRARY", "/nowhere/libdorvane.so")
    places = _library.candidates()
    assert places[0] == "/nowhere/libdorvane.so"
    assert places[1].startswith(os.path.dirname(_library.__file__))
    with pytest.raises(OSError, match="DORVANE_LIBRARY names /nowhere"):
        _library.load()


def test_every_export_is_declared():
    header = os.path.join(os.environ["DORVANE_SOURCE_DIR"], "include", "dorvane", "dorvane_exports.inc")
    exports = {}
    for name, args in re.findall(r"DORVANE_CALL (\w+)\((.*)\);", open(header).read()):
        exports[name] = 0 if args == "void" else args.count(",") + 1
    assert {name: len(args) for name, _, args in _library.PROTOTYPES} == exports
    lib = dorvane.library()
    assert all(getattr(lib, name).argtypes is not None for name in exports)
