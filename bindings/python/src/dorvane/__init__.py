"""Dorvane from Python: JTAG through FTDI MPSSE pods, over the library's C exports (ctypes).

    import dorvane

    with dorvane.Controller(address="USB") as c:
        c.tms_reset()
        print([hex(d.idcode) for d in c.detect()])
        idcodes = c.scan_dr(0, 64)

Every failure raises DorvaneError with the library's public error number (.code) and message.
Controller.call(name, ...) reaches any x_ export with the handle filled in; library() gives
the raw ctypes library with every export declared.
"""
import ctypes
from collections import namedtuple

from . import _library

__version__ = "0.1.0"
__all__ = ["Controller", "Deferred", "Device", "DorvaneError", "NotSupportedError", "library",
           "RESET", "IDLE", "DRPAUSE", "IRPAUSE", "BUFFERING_OFF", "BUFFERING_TDO", "BUFFERING_DEFERRED"]

# Stable TAP states, as the library numbers them.
RESET, IDLE, DRPAUSE, IRPAUSE = 1, 2, 3, 4
# Buffering types: off; scans that return TDO wait for it; nothing waits (results deferred).
BUFFERING_OFF, BUFFERING_TDO, BUFFERING_DEFERRED = 0, 1, 9
_FLUSH, _DISCARD = 2, 3

_lib = None


def library():
    """The Dorvane library with every export declared to ctypes, loaded on first use."""
    global _lib
    if _lib is None:
        _lib = _library.load()
    return _lib


def _text(raw):
    return raw.decode("utf-8", "replace") if raw else ""


class DorvaneError(Exception):
    """A call the library refused: .code is its public error number, .message its text."""

    def __init__(self, code, message, call=None):
        self.code, self.message, self.call = code, message, call
        where = "%s failed: " % call if call else ""
        super().__init__("%serror %d (%s)" % (where, code, message))


class NotSupportedError(DorvaneError):
    """The controller does not support the call (the library's result 2)."""


Device = namedtuple("Device", "position idcode ir_length jep106_bank jep106_code")
Device.__doc__ = "A device of the chain, TDO end first; idcode None for a device in BYPASS, ir_length None when unknown."


def _words(value, bits):
    if value < 0:
        raise ValueError("scan values are non-negative integers")
    if value >> bits:
        raise ValueError("value 0x%X does not fit in %d bits" % (value, bits))
    n = (bits + 15) // 16
    return (ctypes.c_uint16 * max(n, 1))(*[(value >> (16 * i)) & 0xFFFF for i in range(n)])


def _value(words, bits):
    v = 0
    for i in range((bits + 15) // 16):
        v |= int(words[i]) << (16 * i)
    return v & ((1 << bits) - 1)


class Deferred:
    """The TDO of a scan made with deferred results: .value once Controller.flush() has run."""

    def __init__(self, words, bits):
        self._words, self._bits, self._ready = words, bits, False

    @property
    def ready(self):
        return self._ready

    @property
    def value(self):
        if not self._ready:
            raise RuntimeError("the TDO is not delivered yet: call flush() first")
        return _value(self._words, self._bits)


class Controller:
    """One open controller (a context manager). address is a Dorvane controller address."""

    def __init__(self, address="USB"):
        lib = library()
        handle = ctypes.c_uint32(0xFFFFFFFF)
        if lib.x_openKpx(ctypes.byref(handle), address.encode()) != 0:
            raise DorvaneError(lib.kpx_error_nbr(), _text(lib.kpx_error_msg()), "opening " + address)
        self._h = handle.value
        self.address = address
        self._buffering = BUFFERING_OFF
        self._deferred = []

    # -- life cycle

    @property
    def handle(self):
        """The x_ handle, for calls through library()."""
        if self._h is None:
            raise DorvaneError(61, "invalid KPX handle", "using a closed controller")
        return self._h

    @property
    def closed(self):
        return self._h is None

    def close(self):
        """Closes the controller (waiting for what it still has to send); a second close does nothing."""
        if self._h is None:
            return
        h, self._h = self._h, None
        lib = library()
        rc = lib.x_closeKpx(h)
        self._settle()
        if rc != 0:
            raise DorvaneError(lib.kpx_error_nbr(), _text(lib.kpx_error_msg()), "x_closeKpx")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # -- any export

    def call(self, name, *args):
        """Calls the x_ export `name` with the handle first; raises on results 1 and 2."""
        rc = getattr(library(), name)(self.handle, *args)
        self._check(rc, name)
        return rc

    def _check(self, rc, name):
        if rc in (1, 2):
            lib = library()
            error = NotSupportedError if rc == 2 else DorvaneError
            raise error(lib.x_kpxErrorNbr(self._h), _text(lib.x_kpxErrorMsg(self._h)), name)

    # -- controller

    def info(self):
        """A copy of the controller information record (tckKHz, maxTckKHz, serialNumber, ...)."""
        p = ctypes.POINTER(_library.ControllerInfo)()
        self.call("x_kpxGetControllerInfo", ctypes.byref(p))
        copy = _library.ControllerInfo()
        ctypes.pointer(copy)[0] = p[0]
        return copy

    @property
    def frequency(self):
        """The TCK frequency in force, kHz."""
        return self.info().tckKHz

    def set_frequency(self, khz):
        """Sets TCK (kHz); above the chip's maximum it is clamped, below 1 kHz it fails."""
        self.call("x_setScanFrequency", int(khz))

    def set_buffering(self, kind):
        """BUFFERING_OFF, BUFFERING_TDO or BUFFERING_DEFERRED."""
        if kind == BUFFERING_OFF:
            self.flush()
        self.call("x_scanSetBuffering", kind)
        self._buffering = kind

    def flush(self):
        """Sends what buffering holds back and waits until every result is delivered."""
        if self._h is not None:
            self.compare_errors()

    def discard(self):
        """Drops what buffering holds back; deferred results of dropped scans never arrive."""
        self.call("x_scanSetBuffering", _DISCARD)
        for d in self._deferred:
            d._words = (ctypes.c_uint16 * len(d._words))()
        self._settle()

    def _settle(self):
        for d in self._deferred:
            d._ready = True
        self._deferred = []

    def compare_errors(self):
        """True when a compare scan found a difference since the last clear (waits for all results)."""
        flag = ctypes.c_uint32(0)
        self.call("x_getCmpErrors", ctypes.byref(flag))
        self._settle()
        return bool(flag.value)

    def clear_compare_errors(self):
        self.call("x_clearCmpErrors")
        self._settle()

    # -- TAP

    def tms_reset(self, tap=1):
        self.call("x_tmsReset", tap)

    def trst_reset(self, tap=1):
        self.call("x_trstReset", tap)

    def set_trst(self, active, tap=1):
        """Holds TRST active (True) or releases it (False)."""
        self.call("x_setTrst", tap, 0 if active else 1)

    @property
    def state(self):
        """The TAP's recorded state: 0 unknown, RESET, IDLE, DRPAUSE or IRPAUSE."""
        s = ctypes.c_uint32(0)
        self.call("x_scanGetState", 1, ctypes.byref(s))
        return s.value

    def move_to(self, state, tap=1):
        self.call("x_moveToState", tap, state)

    def assume_state(self, state, tap=1):
        self.call("x_scanAssumeState", tap, state)

    def set_stop_state(self, state):
        """The state that completed IR and DR scans end in."""
        self.call("x_scanSetStopState", state)

    def wait_tck(self, count):
        self.call("x_waitTck", count)

    def wait_time(self, time, unit=1):
        """unit: 0 s, 1 ms, 2 us, 3 ns; with 0x80000000 set the time is clocked as TCKs."""
        self.call("x_waitTime", time, unit)

    def scan_ir(self, value, bits, tap=1):
        """Shifts `bits` bits of value (bit 0 first) through the IR; returns the captured TDO as an int."""
        return self._scan("x_scanLIr", value, bits, tap)

    def scan_dr(self, value, bits, tap=1):
        """Shifts `bits` bits of value (bit 0 first) through the DR; returns the captured TDO as an int."""
        return self._scan("x_scanLDr", value, bits, tap)

    def _scan(self, name, value, bits, tap):
        if bits < 1:
            raise ValueError("a scan has at least one bit")
        tdi = _words(value, bits)
        tdo = (ctypes.c_uint16 * len(tdi))()
        self.call(name, tap, tdi, bits, tdo, None, None)
        if self._buffering == BUFFERING_DEFERRED:
            # The library writes the TDO later: keep the array alive until a flush delivers it.
            d = Deferred(tdo, bits)
            self._deferred.append(d)
            return d
        return _value(tdo, bits)

    def detect(self, max_devices=32):
        """Resets the chain and returns its devices, TDO end first (IDCODE, IR length, JEP106 bank/code)."""
        self.tms_reset()
        dr_bits = 32 * max_devices + 32
        captured = self.scan_dr((1 << dr_bits) - 1, dr_bits)
        devices, pos = [], 0
        while pos < dr_bits:
            if not (captured >> pos) & 1:
                devices.append(None)   # BYPASS captures 0
                pos += 1
                continue
            idcode = (captured >> pos) & 0xFFFFFFFF
            if idcode == 0xFFFFFFFF or pos + 32 > dr_bits:
                break   # the ones shifted in behind the last device
            devices.append(idcode)
            pos += 32
        # Zeros fill every IR, then the first one out of the chain marks its total length.
        fill = 512
        raw = self.scan_ir(((1 << fill) - 1) << fill, 2 * fill)
        out = raw >> fill
        total = (out & -out).bit_length() - 1 if out else 0
        lengths = _split_ir(raw & ((1 << total) - 1), total, len(devices)) if total else None
        self.tms_reset()
        return [Device(k, idcode, lengths[k] if lengths else None,
                       ((idcode >> 8) & 0xF) + 1 if idcode else None, (idcode >> 1) & 0x7F if idcode else None)
                for k, idcode in enumerate(devices)]


def _split_ir(bits, n, devices):
    """IR lengths from the n captured bits (each IR captures ...01 at its TDO end), or None."""
    best = [None, 0]

    def walk(at, left, cur):
        if left == 0:
            if at == n:
                extra = sum(sum((bits >> (p + i)) & 1 for i in range(2, length)) for p, length in _starts(cur))
                if best[0] is None or extra < best[1]:
                    best[0], best[1] = list(cur), extra
            return
        if at + 2 > n or not (bits >> at) & 1 or (bits >> (at + 1)) & 1:
            return
        for length in range(2, n - at + 1):
            walk(at + length, left - 1, cur + [length])

    if 0 < devices <= 8 and n <= 64:
        walk(0, devices, [])
    return best[0]


def _starts(lengths):
    pos = 0
    for length in lengths:
        yield pos, length
        pos += length
