"""
Resampling a table with the command
===================================

The ``velarix`` command reads a table as it comes (commas, semicolons or
tabs, a header, a units row, dates) and writes the resampled curve as CSV.
Here it resamples the thermocouple table at 31 evenly spaced temperatures
with the first and second derivatives (``-d``), as a shell would run it.
"""

import csv
import io
import subprocess
import sys

import matplotlib.pyplot as plt

from velarix import datasets

command = [sys.executable, "-m", "velarix", "--example", "calibration", "-n", "31", "-d"]
result = subprocess.run(command, capture_output=True, text=True, check=True)
print("$ velarix --example calibration -n 31 -d")
print("\n".join(result.stdout.splitlines()[:5]), "\n...")
rows = list(csv.DictReader(io.StringIO(result.stdout)))

x, y = datasets.calibration()
fig, ax = plt.subplots(figsize=(7, 4))
ax.plot([float(r["x"]) for r in rows], [float(r["value"]) for r in rows], ".-",
        label="resampled by the command")
ax.plot(x, y, "o", mfc="none", label="the table")
ax.set_xlabel("temperature (°C)")
ax.set_ylabel("EMF (mV)")
ax.legend()
fig.tight_layout()
