"""The lines every measuring child process starts its measurement with:
`status(field)` reads /proc/self/status in bytes, and the peak resident set
is reset to the current one (after handing freed memory back), so that
`status("VmHWM") - before` is the peak the measured work added."""

PEAK_RESET = r"""
import ctypes
def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
ctypes.CDLL(None).malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident set to the current one
before = status("VmRSS")
"""
