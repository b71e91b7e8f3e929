"""The halvex package on the simulated board of one kernel generation: each service end
to end, and every failure raising halvex.Error with nothing left open."""

import array
import errno
import os
import subprocess
import sys
import textwrap

import pytest

import halvex
from conftest import core_report, pulses, steer, wait_for

UNITS = {1: "48300180", 2: "48302180", 3: "48304180"}


def test_the_library_loaded_is_the_one_the_package_was_written_for():
    assert halvex.library_version.split(".")[0] == halvex.__version__.split(".")[0]
    assert tuple(int(x) for x in halvex.library_version.split(".")[:2]) >= (1, 0)


def test_encoders_follow_the_wheels_and_channel_4_the_firmware(nothing_left_open):
    with halvex.Encoders(channels=(1, 2, 3, 4)) as enc:
        assert [enc.read(ch) for ch in (1, 2, 3, 4)] == [0, 0, 0, 0]
        # The eQEP units' raw counts, as the kernel's attribute shows them (signed).
        for ch, count in ((1, 1234), (2, -16), (3, 2**31 - 1)):
            steer(f"count {UNITS[ch]} {count % 2**32}")
            assert enc.read(ch) == count
        enc.write(2, 500)
        assert enc.read(2) == 500
        # Channel 4: steps on PRU core 0's inputs, counted by the firmware.
        steer("pru 0 walk 2000 " + "+" * 40)
        assert wait_for(lambda: enc.read(4) == 40), enc.read(4)
        enc.write(4, 1000)
        steer("pru 0 walk 2000 " + "-" * 10)
        assert wait_for(lambda: enc.read(4) == 990), enc.read(4)
        assert core_report(0)["state"] == "running"
    # Leaving the block stopped the firmware it started.
    assert core_report(0)["state"] == "offline"


def test_two_encoders_share_the_firmware_until_the_last_closes(nothing_left_open):
    a = halvex.Encoders(channels=(4,))
    b = halvex.Encoders(channels=(1, 4))
    steer("pru 0 walk 2000 +++")
    assert wait_for(lambda: b.read(4) == 3)
    a.close()
    assert core_report(0)["state"] == "running" and b.read(4) == 3
    b.close()
    assert core_report(0)["state"] == "offline"
    with pytest.raises(ValueError):
        b.read(1)


def test_dot_and_sumsq_on_every_kind_of_buffer():
    a = array.array("d", [1.0, 2.0, 3.0, 4.0, 5.0])
    b = array.array("d", [2.0] * 5)
    assert halvex.dot(a, b) == 30.0
    assert halvex.dot(memoryview(a), [2.0] * 5) == 30.0
    assert halvex.sumsq(a) == 55.0
    # A read-only buffer (ctypes points only into writable ones: it is copied once).
    assert halvex.sumsq(memoryview(bytes(a)).cast("d")) == 55.0
    assert halvex.dot([], []) == 0.0 and halvex.sumsq(array.array("d")) == 0.0
    with pytest.raises(ValueError):
        halvex.dot(a, [1.0])
    with pytest.raises(TypeError):
        halvex.sumsq(array.array("f", [1.0]))
    np = pytest.importorskip("numpy")
    x = np.arange(1000, dtype=np.float64)
    assert halvex.dot(x, x) == pytest.approx(float(x @ x), rel=1e-12)
    assert halvex.sumsq(x[::2].copy()) == pytest.approx(float((x[::2] ** 2).sum()), rel=1e-12)
    with pytest.raises(ValueError):
        halvex.sumsq(x[::2])


def test_a_serial_loopback_echoes(nothing_left_open):
    with halvex.Serial(1, baud=115200, timeout=0.2) as s:
        s.flush()
        assert s.write(b"hello\nworld") == 11
        assert s.readline() == b"hello\n"
        assert s.read(5) == b"world"
        # Nothing more came within the time-out.
        assert s.read(4) == b"" and s.readline() == b""
        s.write(b"abcdefgh\n")
        assert s.readline(size=4) == b"abcd"


def test_each_servo_send_is_one_pulse_of_its_width(nothing_left_open):
    with halvex.Servos() as servos:
        servos.send_pulse_us(1, 1500)
        assert wait_for(lambda: [p for p in pulses(1) if p[1]])
        servos.send_esc(0, 0.5)  # 1500 us on all eight
        for ch in range(1, 9):
            assert wait_for(lambda: len([p for p in pulses(ch) if p[1]]) >= (2 if ch == 1 else 1)), ch
        # 200 MHz: 1500 us is 300000 cycles.
        assert [f - r for r, f in pulses(1)] == [300000, 300000]
        assert [f - r for r, f in pulses(8)] == [300000]
        assert core_report(1)["state"] == "running"
    assert core_report(1)["state"] == "offline"


def test_every_failure_raises_an_error_with_nothing_left_open(nothing_left_open):
    with pytest.raises(halvex.Error) as e:
        halvex.Serial(3)  # no UART 3 on this board
    assert e.value.errno == errno.ENOENT and isinstance(e.value, OSError)
    with pytest.raises(halvex.Error):
        halvex.Serial(1, baud=12345)
    with pytest.raises(ValueError):
        halvex.Encoders(channels=(5,))
    # The firmware images gone: channel 4 and the servos cannot start, and whatever
    # they had set up on the way is released again.
    image = "/dev/firmware/am335x-pru0-hx-encoder-fw"
    os.rename(image, image + ".away")
    try:
        with pytest.raises(halvex.Error):
            halvex.Encoders(channels=(1, 4))
    finally:
        os.rename(image + ".away", image)
    image = "/dev/firmware/am335x-pru1-hx-servo-fw"
    os.rename(image, image + ".away")
    try:
        with pytest.raises(halvex.Error):
            halvex.Servos()
    finally:
        os.rename(image + ".away", image)
    assert core_report(0)["state"] == "offline" and core_report(1)["state"] == "offline"
    with halvex.Servos() as servos:
        with pytest.raises(halvex.Error):
            servos.send_pulse_us(9, 1500)
    with halvex.Encoders(channels=(1,)) as enc, pytest.raises(ValueError):
        enc.read(2)


def test_the_board_check_finds_what_hx_board_check_prints():
    findings = halvex.board_check()
    printed = subprocess.run([os.environ["HX_BOARD_CHECK"]], capture_output=True, text=True).stdout.splitlines()
    labels = {"missing": ("MISSING", "WRONG"), "not permitted": ("NOT PERMITTED",), "unknown": ("UNKNOWN",)}
    for f in findings:
        line = next(line for line in printed if line.startswith(f"{f.service:<16} "))
        if f.found:
            assert line == f"{f.service:<16} {f.where}"
        else:
            assert line in [f"{f.service:<16} {label}: {f.where}" for label in labels[f.status]]
    # Every line of the program's but its last (whether it runs as root) is a finding.
    services = [line[:16].rstrip() for line in printed if line[:1].isalpha() and line[16:17] == " "]
    assert [f.service for f in findings] == services[:-1] and services[-1] == "privileges"
    # The simulated kernel has no GPIO chip: the buttons are missing; every pad is right.
    by = {f.service: f for f in findings}
    assert (by["buttons"].found, by["buttons"].status) == (False, "missing")
    assert all(by[s].found for s in ("encoder 4 A", "servo 8", "pause button", "serial 5 TX"))
    steer("pad 0x838 0x27")
    wrong = [f for f in halvex.board_check() if f.service == "encoder 4 A"][0]
    steer("pad 0x838 0x36")
    assert (wrong.found, wrong.status) == (False, "missing") and "not mode 6 (PRU0 R31 14)" in wrong.where


def test_button_callbacks_run_for_scripted_presses(tmp_path):
    """On the fake board (the simulated kernel has no GPIO chip): presses and releases
    played by its script reach the callbacks, on the service's thread."""
    script = tmp_path / "script"
    script.write_text("button 20 2 5 press\nbutton 40 2 5 release\nbutton 60 2 4 press\n")
    program = textwrap.dedent("""
        import threading, time, halvex
        seen, done = [], threading.Event()
        def note(what):
            seen.append((what, threading.current_thread() is not threading.main_thread()))
            if len(seen) == 3: done.set()
        with halvex.Button(2, 5, on_press=lambda: note("pause pressed"),
                           on_release=lambda: note("pause released")), \\
             halvex.Button(2, 4, on_press=lambda: note("mode pressed")):
            done.wait(10)
        print(seen)
    """)
    env = dict(os.environ, LD_LIBRARY_PATH=os.environ["HX_FAKE_BOARD"], HX_FAKE_SCRIPT=str(script),
               HX_FAKE_LOG=str(tmp_path / "log"))
    out = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == str([("pause pressed", True), ("pause released", True), ("mode pressed", True)]), out
    calls = (tmp_path / "log").read_text().split("\n")
    assert [c.split()[1] for c in calls if c and c.split()[1].startswith("hx_")] == [
        "hx_button_init", "hx_button_set_callbacks", "hx_button_init", "hx_button_set_callbacks",
        "hx_button_set_callbacks", "hx_button_set_callbacks", "hx_button_cleanup"]


def test_a_button_closed_while_another_is_open_can_be_had_again(tmp_path):
    script = tmp_path / "script"
    script.write_text("button 100 2 5 press\n")
    program = textwrap.dedent("""
        import threading, halvex
        done = threading.Event()
        mode = halvex.Button(2, 4)
        halvex.Button(2, 5).close()
        with halvex.Button(2, 5, on_press=done.set):
            print(done.wait(10))
        mode.close()
    """)
    env = dict(os.environ, LD_LIBRARY_PATH=os.environ["HX_FAKE_BOARD"], HX_FAKE_SCRIPT=str(script),
               HX_FAKE_LOG=str(tmp_path / "log"))
    out = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "True", out
    inits = [c for c in (tmp_path / "log").read_text().split("\n") if "hx_button_init 2 5" in c]
    assert len(inits) == 1, inits


def run_example(name, *args, env=None):  # type: ignore[no-untyped-def]
    path = os.path.join(os.environ["HX_EXAMPLES"], name)
    return subprocess.run([sys.executable, path, *args], capture_output=True, text=True, timeout=120,
                          env=env or os.environ)


def test_the_examples_run_on_the_board(tmp_path):
    out = run_example("encoders.py", "3")
    assert out.returncode == 0 and out.stdout.splitlines() == ["       0        0        0        0"] * 3, out
    out = run_example("vecmath.py")
    assert out.returncode == 0 and [line.split()[0] for line in out.stdout.splitlines()] == ["dot", "sumsq"], out
    assert run_example("serial_echo.py", "2").returncode == 0
    before = len(pulses(1))
    out = run_example("servos.py")
    # The sweep: 51 widths up and 51 down on servo 1, then 50 at no throttle on all.
    assert out.returncode == 0 and wait_for(lambda: len(pulses(1)) - before == 152), (out, len(pulses(1)) - before)
    out = run_example("board_check.py")
    assert out.returncode == 1 and "buttons          MISSING: " in out.stdout, out
    script = tmp_path / "script"
    script.write_text("button 50 2 5 press\nbutton 80 2 5 release\n")
    env = dict(os.environ, LD_LIBRARY_PATH=os.environ["HX_FAKE_BOARD"], HX_FAKE_SCRIPT=str(script))
    out = run_example("buttons.py", "0.5", env=env)
    assert out.stdout.splitlines() == ["Press buttons to see response", "Pause Pressed", "Pause Released"], out
