"""Finding the Dorvane shared library and declaring its exports to ctypes."""
import ctypes
import ctypes.util
import os
import sys

# The controller information record (a live view owned by the library). Pointer slots are
# pointer-sized; on 32-bit builds every field is one 32-bit word.
_P32 = ctypes.POINTER(ctypes.c_uint32)


class ControllerInfo(ctypes.Structure):
    _fields_ = [
        ("identification", ctypes.c_uint32), ("word4", ctypes.c_uint32), ("word8", ctypes.c_uint32),
        ("controllerType", ctypes.c_uint32), ("maxTckKHz", ctypes.c_int32), ("word20", ctypes.c_uint32),
        ("words24", ctypes.c_uint32 * 6), ("podTapType", ctypes.c_uint32), ("word52", ctypes.c_uint32),
        ("pair56", _P32), ("pair60", _P32), ("pair64", _P32), ("value68", _P32),
        ("tckKHz", ctypes.c_uint32), ("word76", ctypes.c_uint32), ("capabilities", ctypes.c_uint32),
        ("serialNumber", ctypes.c_char_p), ("words88", ctypes.c_uint32 * 3), ("word100", ctypes.c_uint32),
        ("pair104", _P32), ("pair108", _P32), ("pair112", _P32), ("pair116", _P32), ("value120", _P32),
        ("pair124", _P32), ("pair128", _P32), ("pair132", _P32), ("value136", _P32), ("pair140", _P32),
        ("word144", ctypes.c_uint32),
    ]


_TYPES = {
    "u32": ctypes.c_uint32,
    "i32": ctypes.c_int32,
    "text": ctypes.c_char_p,
    "pu32": _P32,
    "pu16": ctypes.POINTER(ctypes.c_uint16),
    "pu8": ctypes.POINTER(ctypes.c_uint8),
    "ppinfo": ctypes.POINTER(ctypes.POINTER(ControllerInfo)),
}

# Every export: name, result type, argument types (the C header's order).
PROTOTYPES = (
    ("open_kpx", "u32", ('text',)),
    ("x_openKpx", "u32", ('pu32', 'text')),
    ("close_kpx", "u32", ()),
    ("x_closeKpx", "u32", ('u32',)),
    ("resume_kpx", "u32", ('text',)),
    ("x_resumeKpx", "u32", ('pu32', 'text')),
    ("suspend_kpx", "u32", ()),
    ("x_suspendKpx", "u32", ('u32',)),
    ("kpx_error_nbr", "i32", ()),
    ("x_kpxErrorNbr", "i32", ('u32',)),
    ("kpx_error_msg", "text", ()),
    ("x_kpxErrorMsg", "text", ('u32',)),
    ("kpx_get_controller_info", "u32", ('ppinfo',)),
    ("x_kpxGetControllerInfo", "u32", ('u32', 'ppinfo')),
    ("kpx_get_controller_type", "u32", ('pu32',)),
    ("x_kpxGetControllerType", "u32", ('u32', 'pu32')),
    ("kpx_get_interface_type", "u32", ('pu32', 'pu32', 'pu32')),
    ("x_kpxGetInterfaceType", "u32", ('u32', 'pu32', 'pu32', 'pu32')),
    ("kpx_get_pod_type", "u32", ('pu32',)),
    ("x_kpxGetPodType", "u32", ('u32', 'pu32')),
    ("kpx_get_tap_type", "u32", ('i32', 'pu32')),
    ("x_kpxGetTapType", "u32", ('u32', 'i32', 'pu32')),
    ("kpx_reset_controller", "u32", ()),
    ("x_kpxResetController", "u32", ('u32',)),
    ("scan_assume_state", "u32", ('u32', 'i32')),
    ("x_scanAssumeState", "u32", ('u32', 'u32', 'i32')),
    ("scan_get_state", "u32", ('u32', 'pu32')),
    ("x_scanGetState", "u32", ('u32', 'u32', 'pu32')),
    ("scan_set_stop_state", "u32", ('i32',)),
    ("x_scanSetStopState", "u32", ('u32', 'i32')),
    ("move_to_state", "u32", ('u32', 'i32')),
    ("x_moveToState", "u32", ('u32', 'u32', 'i32')),
    ("common_move_to_state", "u32", ('u32', 'i32')),
    ("x_commonMoveToState", "u32", ('u32', 'u32', 'i32')),
    ("common_move_to_state_tl", "u32", ('pu32', 'u32', 'i32')),
    ("x_commonMoveToStateTl", "u32", ('u32', 'pu32', 'u32', 'i32')),
    ("tms_reset", "u32", ('u32',)),
    ("x_tmsReset", "u32", ('u32', 'u32')),
    ("trst_reset", "u32", ('u32',)),
    ("x_trstReset", "u32", ('u32', 'u32')),
    ("set_trst", "u32", ('u32', 'i32')),
    ("x_setTrst", "u32", ('u32', 'u32', 'i32')),
    ("scan_ir", "u32", ('u32', 'pu16', 'u32', 'pu16')),
    ("x_scanIr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16')),
    ("scan_dr", "u32", ('u32', 'pu16', 'u32', 'pu16')),
    ("x_scanDr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16')),
    ("scan_to_pause_ir", "u32", ('u32', 'pu16', 'u32', 'pu16')),
    ("x_scanToPauseIr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16')),
    ("scan_to_pause_dr", "u32", ('u32', 'pu16', 'u32', 'pu16')),
    ("x_scanToPauseDr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16')),
    ("scan_tdio", "u32", ('u32', 'pu16', 'u32', 'pu16')),
    ("x_scanTdio", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16')),
    ("scan_ir_cmp", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanIrCmp", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scan_dr_cmp", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanDrCmp", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scan_to_pause_ir_cmp", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanToPauseIrCmp", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scan_to_pause_dr_cmp", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanToPauseDrCmp", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scan_tdio_cmp", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanTdioCmp", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scanLir", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanLIr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scanLdr", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanLDr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("scanLto_pause_dr", "u32", ('u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("x_scanLToPauseDr", "u32", ('u32', 'u32', 'pu16', 'u32', 'pu16', 'pu16', 'pu16')),
    ("multi_scan_ir", "u32", ('u32', 'pu16', 'u32', 'u32')),
    ("x_multiScanIr", "u32", ('u32', 'u32', 'pu16', 'u32', 'u32')),
    ("multi_scan_dr", "u32", ('u32', 'pu16', 'u32', 'u32', 'pu16')),
    ("x_multiScanDr", "u32", ('u32', 'u32', 'pu16', 'u32', 'u32', 'pu16')),
    ("scan_set_buffering", "u32", ('u32',)),
    ("x_scanSetBuffering", "u32", ('u32', 'u32')),
    ("get_cmp_errors", "u32", ('pu32',)),
    ("x_getCmpErrors", "u32", ('u32', 'pu32')),
    ("clear_cmp_errors", "u32", ()),
    ("x_clearCmpErrors", "u32", ('u32',)),
    ("scan_protocol", "u32", ('u32', 'u32')),
    ("x_scanProtocol", "u32", ('u32', 'u32', 'u32')),
    ("set_scan_frequency", "u32", ('i32',)),
    ("x_setScanFrequency", "u32", ('u32', 'i32')),
    ("wait_tck", "u32", ('u32',)),
    ("x_waitTck", "u32", ('u32', 'u32')),
    ("wait_time", "u32", ('u32', 'u32')),
    ("x_waitTime", "u32", ('u32', 'u32', 'u32')),
    ("scan_set_tck_idle_state", "u32", ('u32',)),
    ("x_scanSetTckIdleState", "u32", ('u32', 'u32')),
    ("set_voltage", "u32", ('u32',)),
    ("x_setVoltage", "u32", ('u32', 'u32')),
    ("set_tap_voltage", "u32", ('u32', 'u32', 'u32')),
    ("x_setTapVoltage", "u32", ('u32', 'u32', 'u32', 'u32')),
    ("set_tap_millivoltage", "u32", ('u32', 'u32', 'u32')),
    ("x_setTapMillivoltage", "u32", ('u32', 'u32', 'u32', 'u32')),
    ("set_multi_tap_millivoltage", "u32", ('u32', 'u32', 'u32', 'u32')),
    ("x_setMultiTapMillivoltage", "u32", ('u32', 'u32', 'u32', 'u32', 'u32')),
    ("get_pod_signal", "u32", ('u32', 'u32', 'u32')),
    ("x_getPodSignal", "u32", ('u32', 'u32', 'u32', 'u32')),
    ("set_pod_signal", "u32", ('u32', 'u32', 'u32')),
    ("x_setPodSignal", "u32", ('u32', 'u32', 'u32', 'u32')),
    ("tap_distribute", "u32", ('u32', 'u32')),
    ("x_tapDistribute", "u32", ('u32', 'u32', 'u32')),
    ("kpx_scan_direct", "u32", ('u32', 'pu8', 'u32', 'pu32')),
    ("x_kpxScanDirect", "u32", ('u32', 'u32', 'pu8', 'u32', 'pu32')),
    ("set_mode", "u32", ('u32', 'pu32')),
    ("x_setMode", "u32", ('u32', 'u32', 'pu32')),
    ("kpx_handle", "u32", ()),)

_NAMES = ("Dorvane.dll",) if sys.platform == "win32" else ("libdorvane.so", "libdorvane.so.0", "libdorvane.dylib")


def candidates():
    """The library files to try, in order: DORVANE_LIBRARY, beside the package, the system's."""
    found = []
    named = os.environ.get("DORVANE_LIBRARY")
    if named:
        found.append(named)
    here = os.path.dirname(os.path.abspath(__file__))
    found.extend(os.path.join(here, n) for n in _NAMES)
    system = ctypes.util.find_library("dorvane") or ctypes.util.find_library("Dorvane")
    found.extend([system] if system else [])
    found.extend(_NAMES)   # the loader's own search path (LD_LIBRARY_PATH, PATH)
    return found


def declare(lib):
    for name, result, args in PROTOTYPES:
        fn = getattr(lib, name)
        fn.restype = _TYPES[result]
        fn.argtypes = [_TYPES[a] for a in args]
    return lib


def load():
    """Loads and declares the library; OSError naming every place tried when none loads."""
    named = os.environ.get("DORVANE_LIBRARY")
    tried = []
    for path in candidates():
        if os.path.sep in path and not os.path.exists(path):
            if path == named:
                raise OSError("DORVANE_LIBRARY names %s, which does not exist" % path)
            continue
        try:
            return declare(ctypes.CDLL(path))
        except OSError as e:
            if path == named:
                raise
            tried.append("%s (%s)" % (path, e))
    raise OSError("the Dorvane library was not found; tried: " + "; ".join(tried) +
                  ". Set DORVANE_LIBRARY to the path of libdorvane.so / Dorvane.dll.")
