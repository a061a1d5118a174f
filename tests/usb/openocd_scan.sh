#!/bin/sh
# Debian's openocd, with its ftdi adapter, scans the default board's chain through the
# USB-level virtual pod given as $1 (preloaded in place of libusb).
command -v openocd >/dev/null 2>&1 || { echo "openocd is not installed: test skipped"; exit 77; }
out=$(LD_PRELOAD="$1" openocd -c "adapter driver ftdi" -c "ftdi vid_pid 0x0403 0x6010" -c "ftdi channel 0" \
      -c "ftdi layout_init 0x0008 0x000b" -c "adapter speed 1000" -c "transport select jtag" \
      -c "init" -c "shutdown" 2>&1)
echo "$out"
echo "$out" | grep -q "tap/device found: 0x4ba00477" && echo "$out" | grep -q "tap/device found: 0x06413041"
