"""A robot program in Python, as the ARM VM runs it on Debian 11's own Python with the
packages installed: the buttons (pause and mode, on the GPIO simulator's lines, pressed
by vmcheck while this waits), the serial bus wired RX to TX, the vector kernels, and the
encoders, which this machine has none of: that must be a halvex.Error, nothing else.
One "RESULT" line each."""
import sys
import threading

import halvex


def result(name, ok, text):
    print(f"RESULT python-{name} {'PASS' if ok else 'FAIL'} {text}", flush=True)


events, done = [], threading.Event()


def note(what):
    events.append(what)
    if len(events) == 4:
        done.set()


print(f"python {sys.version.split()[0]}, halvex {halvex.__version__} on libhalvex {halvex.library_version}",
      flush=True)
with halvex.Button(2, 5, on_press=lambda: note("pause pressed"), on_release=lambda: note("pause released")), \
     halvex.Button(2, 4, on_press=lambda: note("mode pressed"), on_release=lambda: note("mode released")):
    open("/tmp/python.ready", "w").close()
    done.wait(20)
result("buttons", events == ["pause pressed", "pause released", "mode pressed", "mode released"],
       f"callbacks in order: {events}")

with halvex.Serial(1, baud=115200, timeout=1.0) as s:
    s.flush()
    s.write(b"Hello from Python\n")
    line = s.readline(size=64)
result("serial", line == b"Hello from Python\n", f"the UART echoed {line!r}")

a = [float(i) for i in range(1000)]
result("vecmath", halvex.dot(a, a) == halvex.sumsq(a) == 332833500.0, f"dot = sumsq = {halvex.sumsq(a)}")

try:
    halvex.Encoders(channels=(1, 2, 3))
    result("encoders", False, "channels 1-3 set up on a machine without eQEP units")
except halvex.Error as e:
    result("encoders", True, f"no eQEP units on this machine: halvex.Error (errno {e.errno})")
