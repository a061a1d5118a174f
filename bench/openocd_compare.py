#!/usr/bin/env python3
"""Host CPU per scan of Debian's openocd (ftdi adapter) and of Dorvane (libftdi provider) on the
same workloads, both through the USB-level virtual pod on the default board at 30 MHz TCK.

Each program runs twice per workload, with no scans and with COUNT scans; the difference of
the process's CPU (user + system, from wait4) divided by COUNT is the host CPU per scan. The
emulation inside the stand-in libusb is the chip's work: it writes its own CPU to the file
DORVANE_VPOD_STATS names, and that is taken out too ("host - emulator").

    bench/openocd_compare.py BUILD_DIR [--count N] [--reps R]

BUILD_DIR holds bench/bench_host and vpod/usb/libdorvane_vpod_usb.so (the `bench` preset,
with libftdi1 and libusb-1.0 development files installed). Python standard library only.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

# The default board's chain: the DAP's TAP (IR 4 bits) nearest TDO, then the FPGA's (IR 5 bits).
OPENOCD_SETUP = [
    "adapter driver ftdi", "ftdi vid_pid 0x0403 0x6010", "ftdi channel 0",
    "ftdi layout_init 0x0008 0x000b", "adapter speed 30000", "transport select jtag",
    "jtag newtap dap tap -irlen 4 -expected-id 0x4ba00477",
    "jtag newtap fpga tap -irlen 5 -expected-id 0x06413041",
    "init",
]

# What each workload is for openocd (a Tcl body run COUNT times; the DAP's TAP holds IDCODE,
# the other TAP is in BYPASS, so 33 bits cross the chain) and for bench_host (--run NAME
# COUNT: the same instructions, scans one bit longer than the name says).
WORKLOADS = {
    "dr32": ("32-bit DR scan with TDO, each waiting for its answer",
             "drscan dap.tap 32 0x12345678", "dr32"),
    "dr32-batch": ("32-bit DR scans with TDO, as a batch (Dorvane: buffering type 9)",
                   "drscan dap.tap 32 0x12345678", "dr32-batch"),
    "dr-1mbit": ("1 Mbit DR scan with TDO (per scan)",
                 "drscan dap.tap 1048576 $bits", "dr-1mbit"),
}


def run(cmd, env):
    """Runs cmd, returns (user + system CPU seconds, emulator CPU seconds)."""
    fd, stats = tempfile.mkstemp(prefix="vpodstats")
    os.close(fd)
    env = dict(env, DORVANE_VPOD_STATS=stats)
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    emu_ns = 0
    with open(stats) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2:
                emu_ns += int(parts[1])
    os.unlink(stats)
    if code != 0:
        sys.exit(f"{cmd[0]} failed ({code}):\n{err[-2000:]}")
    return usage.ru_utime + usage.ru_stime, emu_ns / 1e9


def openocd_cmd(tcl_body, count, tmp):
    script = os.path.join(tmp, "work.tcl")
    with open(script, "w") as f:
        f.write("irscan dap.tap 0xe\n")   # IDCODE; openocd puts the other TAP in BYPASS
        f.write("set bits 0x[string repeat 5a 131072]\n")
        f.write(f"for {{set i 0}} {{$i < {count}}} {{incr i}} {{ {tcl_body} }}\n")
    cmd = ["openocd"]
    for c in OPENOCD_SETUP:
        cmd += ["-c", c]
    return cmd + ["-f", script, "-c", "shutdown"]


def per_scan(measure, count, reps):
    """Medians over reps of (host, emulator) CPU per scan: (run of count) - (run of none)."""
    host, emu = [], []
    for _ in range(reps):
        h0, e0 = measure(0)
        h1, e1 = measure(count)
        host.append((h1 - h0) / count)
        emu.append((e1 - e0) / count)
    return statistics.median(host), statistics.median(emu)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", help="build directory (bench preset)")
    ap.add_argument("--count", type=int, default=2000,
                    help="scans per measured run (batches: ten times as many; 1 Mbit: one)")
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    bench = os.path.join(args.build, "bench", "bench_host")
    usb = os.path.join(args.build, "vpod", "usb", "libdorvane_vpod_usb.so")
    for path in (bench, usb):
        if not os.path.exists(path):
            sys.exit(f"missing {path}: build the bench preset with libftdi1 and libusb-1.0 installed")
    if not shutil.which("openocd"):
        sys.exit("openocd is not installed (Debian package openocd)")
    usb_dir = os.path.join(args.build, "vpod", "usb", "libusb")
    base = {k: v for k, v in os.environ.items() if not k.startswith("DORVANE_")}
    ours_env = dict(base, DORVANE_DRIVER="libftdi", LD_LIBRARY_PATH=usb_dir)
    openocd_env = dict(base, LD_PRELOAD=os.path.abspath(usb))

    print(f"host CPU per scan in microseconds, medians of {args.reps} (each a run of N scans less a run of none);")
    print("'emulator' is the virtual pod's share inside the stand-in libusb, 'library' = host - emulator\n")
    print(f"{'workload':<58} {'N':>6} {'openocd':>9} {'(lib)':>9} {'dorvane':>9} {'(lib)':>9} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for key, (label, tcl, ours) in WORKLOADS.items():
            # OpenOCD takes seconds per megabit (its Tcl value handling): one scan is plenty.
            count = {"dr32": args.count, "dr32-batch": 10 * args.count, "dr-1mbit": 1}[key]
            o_host, o_emu = per_scan(lambda n: run(openocd_cmd(tcl, n, tmp), openocd_env), count, args.reps)
            d_host, d_emu = per_scan(lambda n: run([bench, "--run", ours, str(n)], ours_env), count, args.reps)
            ratio = (d_host - d_emu) / (o_host - o_emu) if o_host - o_emu > 0 else float("nan")
            print(f"{label:<58} {count:>6} {o_host * 1e6:>9.1f} {(o_host - o_emu) * 1e6:>9.1f} "
                  f"{d_host * 1e6:>9.1f} {(d_host - d_emu) * 1e6:>9.1f} {ratio:>6.2f}")
    print("\nratio = Dorvane's library CPU / OpenOCD's; below 1 means Dorvane needs less host CPU.")


if __name__ == "__main__":
    main()
