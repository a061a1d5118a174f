#!/usr/bin/env python3
"""The export table of the library: one row per operation, and the files generated from it.

  include/dorvane/dorvane_exports.inc  prototypes of the 107 exported names
  exports/dorvane.exports              the exported names, sorted
  exports/Dorvane.def                  module-definition file (aliases where two names share one entry point)
  src/api/plain_layer.inc              the plain layer's forwarding to the x_ operations
  src/core/export_impl.h               declarations of the x_ implementations (dorvane::impl)
  src/api/export_guard.inc             the exported x_ functions: each calls its implementation inside
                                       guardExport, so that no C++ exception leaves the library

Run it after changing the table and commit the generated files. With --check it writes nothing
and fails naming each file that differs from what the table generates (a ctest runs this).
"""
import argparse, os, sys

U = "uint32_t"; I = "int32_t"
TDI = ("const uint16_t*", "tdi"); TDO = ("uint16_t*", "tdo")
EXP = ("const uint16_t*", "expected"); MSK = ("const uint16_t*", "mask")
TAP = (U, "tapId"); N = (U, "bitCount")

# (plain name, x name, args after handle, return type, owner layer)
OPS = [
 ("open_kpx", "x_openKpx", [("const char*", "address")], U, "api"),
 ("close_kpx", "x_closeKpx", [], U, "api"),
 ("resume_kpx", "x_resumeKpx", [("const char*", "address")], U, "persist"),
 ("suspend_kpx", "x_suspendKpx", [], U, "persist"),
 ("kpx_error_nbr", "x_kpxErrorNbr", [], I, "api"),
 ("kpx_error_msg", "x_kpxErrorMsg", [], "const char*", "api"),
 ("kpx_get_controller_info", "x_kpxGetControllerInfo", [("const DorvaneControllerInfo**", "info")], U, "api"),
 ("kpx_get_controller_type", "x_kpxGetControllerType", [(U + "*", "type")], U, "api"),
 ("kpx_get_interface_type", "x_kpxGetInterfaceType", [(U + "*", "interfaceType"), (U + "*", "logicalUnit"), (U + "*", "third")], U, "api"),
 ("kpx_get_pod_type", "x_kpxGetPodType", [(U + "*", "podType")], U, "api"),
 ("kpx_get_tap_type", "x_kpxGetTapType", [(I, "tapId"), (U + "*", "tapType")], U, "api"),
 ("kpx_reset_controller", "x_kpxResetController", [], U, "api"),
 ("scan_assume_state", "x_scanAssumeState", [TAP, (I, "state")], U, "jtag"),
 ("scan_get_state", "x_scanGetState", [TAP, (U + "*", "state")], U, "jtag"),
 ("scan_set_stop_state", "x_scanSetStopState", [(I, "state")], U, "jtag"),
 ("move_to_state", "x_moveToState", [TAP, (I, "state")], U, "jtag"),
 ("common_move_to_state", "x_commonMoveToState", [(U, "tapMask"), (I, "state")], U, "jtag"),
 ("common_move_to_state_tl", "x_commonMoveToStateTl", [("const uint32_t*", "tapList"), (U, "listLength"), (I, "state")], U, "jtag"),
 ("tms_reset", "x_tmsReset", [TAP], U, "jtag"),
 ("trst_reset", "x_trstReset", [TAP], U, "jtag"),
 ("set_trst", "x_setTrst", [TAP, (I, "level")], U, "pod"),
 ("scan_ir", "x_scanIr", [TAP, TDI, N, TDO], U, "jtag"),
 ("scan_dr", "x_scanDr", [TAP, TDI, N, TDO], U, "jtag"),
 ("scan_to_pause_ir", "x_scanToPauseIr", [TAP, TDI, N, TDO], U, "jtag"),
 ("scan_to_pause_dr", "x_scanToPauseDr", [TAP, TDI, N, TDO], U, "jtag"),
 ("scan_tdio", "x_scanTdio", [TAP, TDI, N, TDO], U, "jtag"),
 ("scan_ir_cmp", "x_scanIrCmp", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scan_dr_cmp", "x_scanDrCmp", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scan_to_pause_ir_cmp", "x_scanToPauseIrCmp", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scan_to_pause_dr_cmp", "x_scanToPauseDrCmp", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scan_tdio_cmp", "x_scanTdioCmp", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scanLir", "x_scanLIr", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scanLdr", "x_scanLDr", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("scanLto_pause_dr", "x_scanLToPauseDr", [TAP, TDI, N, TDO, EXP, MSK], U, "jtag"),
 ("multi_scan_ir", "x_multiScanIr", [TAP, TDI, N, (U, "count")], U, "jtag"),
 ("multi_scan_dr", "x_multiScanDr", [TAP, TDI, N, (U, "count"), TDO], U, "jtag"),
 ("scan_set_buffering", "x_scanSetBuffering", [(U, "type")], U, "transport"),
 ("get_cmp_errors", "x_getCmpErrors", [(U + "*", "errorFlag")], U, "jtag"),
 ("clear_cmp_errors", "x_clearCmpErrors", [], U, "jtag"),
 ("scan_protocol", "x_scanProtocol", [TAP, (U, "protocol")], U, "jtag"),
 ("set_scan_frequency", "x_setScanFrequency", [(I, "kHz")], U, "jtag"),
 ("wait_tck", "x_waitTck", [(U, "count")], U, "jtag"),
 ("wait_time", "x_waitTime", [(U, "time"), (U, "unit")], U, "jtag"),
 ("scan_set_tck_idle_state", "x_scanSetTckIdleState", [(U, "idleState")], U, "jtag"),
 ("set_voltage", "x_setVoltage", [(U, "arg1")], U, "pod"),
 ("set_tap_voltage", "x_setTapVoltage", [(U, "arg1"), (U, "arg2"), (U, "arg3")], U, "pod"),
 ("set_tap_millivoltage", "x_setTapMillivoltage", [(U, "arg1"), (U, "arg2"), (U, "arg3")], U, "pod"),
 ("set_multi_tap_millivoltage", "x_setMultiTapMillivoltage", [(U, "arg1"), (U, "arg2"), (U, "arg3"), (U, "arg4")], U, "pod"),
 ("get_pod_signal", "x_getPodSignal", [(U, "arg1"), (U, "arg2"), (U, "arg3")], U, "pod"),
 ("set_pod_signal", "x_setPodSignal", [(U, "arg1"), (U, "arg2"), (U, "arg3")], U, "pod"),
 ("tap_distribute", "x_tapDistribute", [(U, "arg1"), (U, "arg2")], U, "pod"),
 ("kpx_scan_direct", "x_kpxScanDirect", [TAP, ("const uint8_t*", "steps"), (U, "stepCount"), (U + "*", "mismatchCount")], U, "pod"),
 ("set_mode", "x_setMode", [(U, "modeId"), (U + "*", "params")], U, "persist"),
]
# Names that share one entry point in the DLL (alias = target).
ALIASES = {
 "x_setTapVoltage": "x_setVoltage", "x_setTapMillivoltage": "x_setVoltage",
 "x_setMultiTapMillivoltage": "x_setVoltage", "x_getPodSignal": "x_setPodSignal",
 "set_tap_millivoltage": "set_tap_voltage", "get_pod_signal": "set_pod_signal",
}
NAMES = [n for op in OPS for n in (op[0], op[1])] + ["kpx_handle"]
assert len(NAMES) == 107 and len(set(NAMES)) == 107

def params(args, handle):
    ps = (["uint32_t handle"] if handle else []) + [f"{t} {n}" for t, n in args]
    return ", ".join(ps) if ps else "void"

def x_params(op):
    plain, x, args, ret, owner = op
    if x in ("x_openKpx", "x_resumeKpx"):
        return f"uint32_t* handle, {args[0][0]} {args[0][1]}"
    return params(args, True)

def prototypes():
    out = []
    for op in OPS:
        plain, x, args, ret, owner = op
        out.append(f"DORVANE_API {ret} DORVANE_CALL {plain}({params(args, False)});")
        out.append(f"DORVANE_API {ret} DORVANE_CALL {x}({x_params(op)});")
    out.append("DORVANE_API uint32_t DORVANE_CALL kpx_handle(void);")
    return "/* Generated by scripts/exports.py from its export table; do not edit. */\n" + "\n".join(out) + "\n"

def export_list():
    return "\n".join(sorted(NAMES)) + "\n"

def module_definition():
    deflines = ["LIBRARY Dorvane.dll", "EXPORTS"]
    for n in NAMES:
        deflines.append(f"    {n}={ALIASES[n]}" if n in ALIASES else f"    {n}")
    return "\n".join(deflines) + "\n"

def guarded():
    """The x_ implementations' declarations and the guarded exports that call them."""
    decls = ["/* Generated by scripts/exports.py; do not edit. The implementations of the x_ exports. */",
             "#pragma once", "", "#include <cstdint>", "", '#include "dorvane/dorvane.h"', "",
             "namespace dorvane::impl {"]
    wrappers = ["/* Generated by scripts/exports.py; do not edit. Included by src/api/export_guard.cpp. */"]
    for op in OPS:
        plain, x, args, ret, owner = op
        ps = x_params(op)
        names = ["handle"] + [n for _, n in args]
        handle = "kNoHandle" if x in ("x_openKpx", "x_resumeKpx") else "handle"
        decls.append(f"{ret} {x}({ps});")
        wrappers.append(f"DORVANE_API {ret} DORVANE_CALL {x}({ps}) {{")
        wrappers.append(f"    return guardExport<{ret}>({handle}, [&] {{ return impl::{x}({', '.join(names)}); }});")
        wrappers.append("}")
    decls += ["}  // namespace dorvane::impl"]
    return "\n".join(decls) + "\n", "\n".join(wrappers) + "\n"

# Plain names with code of their own in src/api/plain_layer.cpp; the rest forward to their x_
# operation on the default handle.
SPECIAL_PLAIN = {"open_kpx", "close_kpx", "resume_kpx", "suspend_kpx"}

def plain_layer():
    out = ["/* Generated by scripts/exports.py; do not edit. Included by src/api/plain_layer.cpp. */"]
    for op in OPS:
        plain, x, args, ret, owner = op
        if plain in SPECIAL_PLAIN:
            continue
        call = ", ".join(["defaultHandle"] + [n for _, n in args])
        out.append(f"DORVANE_API {ret} DORVANE_CALL {plain}({params(args, False)}) {{")
        out.append(f"    ApiLockGuard guard;")
        out.append(f"    return {x}({call});")
        out.append("}")
    return "\n".join(out) + "\n"

def generated():
    """Each generated file (path relative to the tree) with its text."""
    return {
        "include/dorvane/dorvane_exports.inc": prototypes(),
        "exports/dorvane.exports": export_list(),
        "exports/Dorvane.def": module_definition(),
        "src/api/plain_layer.inc": plain_layer(),
        "src/core/export_impl.h": guarded()[0],
        "src/api/export_guard.inc": guarded()[1],
    }

def main(argv):
    parser = argparse.ArgumentParser(description="Generate the export files from the export table.")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; fail naming each file that differs from the table")
    parser.add_argument("root", nargs="?", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."),
                        help="the source tree (default: the tree holding this script)")
    opts = parser.parse_args(argv)
    stale = []
    for rel, text in generated().items():
        path = os.path.join(opts.root, rel)
        data = text.encode()
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            pass
        if opts.check:
            stale.append(rel)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for rel in stale:
        print(f"exports.py: {rel} is stale; run scripts/exports.py and commit the result", file=sys.stderr)
    return 1 if stale else 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
