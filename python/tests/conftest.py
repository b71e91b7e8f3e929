"""The simulated board, as the Python tests steer and read it. The whole pytest run
happens inside `simboard --kernel PROFILE -- python3 -m pytest ...`: /sys is the
simulated kernel's, /dev/ttyS0, 1, 2 and 5 are loopbacks, /dev/mem holds the PRU
memories with the PRU core model running the shipped firmware behind them."""

import os
import time
from typing import Dict, List, Tuple

import pytest


def steer(command: str) -> None:
    with open("/sys/hxsim/ctl", "w") as f:
        f.write(command)


def profile() -> str:
    with open("/sys/hxsim/profile") as f:
        return f.read().strip()


def core_report(core: int) -> Dict[str, str]:
    """The simulated kernel's report on a PRU core: "core N key value ..." a line."""
    with open("/sys/hxsim/pru") as f:
        for line in f:
            words = line.split()
            if len(words) > 1 and words[0] == "core" and int(words[1]) == core:
                return dict(zip(words[2::2], words[3::2]))
    return {}


# Servo channel 1..8's R30 bit, as the board wires the header.
SERVO_BIT = {1: 8, 2: 10, 3: 9, 4: 11, 5: 6, 6: 7, 7: 4, 8: 5}


def pulses(ch: int) -> List[Tuple[int, int]]:
    """Servo channel ch's pulses in PRU core 1's R30 record: (rise, fall) cycles."""
    out: List[Tuple[int, int]] = []
    high = False
    with open("/sys/hxsim/r30") as f:
        for line in f:
            core, cycle, value = line.split()
            if core != "1":
                continue
            bit = bool(int(value, 16) >> SERVO_BIT[ch] & 1)
            if bit and not high:
                out.append((int(cycle), 0))
            elif high and not bit:
                out[-1] = (out[-1][0], int(cycle))
            high = bit
    return out


def wait_for(what, limit_s: float = 10.0):  # type: ignore[no-untyped-def]
    """what() once true; None after limit_s of real time. Real time is only a limit:
    what is awaited happens in the PRU core's time, which the model runs at about the
    board's pace or faster."""
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        v = what()
        if v:
            return v
        time.sleep(0.002)
    return None


# The PRU memories the library maps once a process and keeps (hx_pru_shared_mem_ptr
# stays valid): the shared RAM and PRU core 1's data RAM, by physical address.
PRU_MEMORIES = {0x4A310000, 0x4A302000}


def open_files() -> List[str]:
    """What this process holds open of the board, and its /dev/mem mappings other than
    the PRU memories the library keeps."""
    fds = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds.append(os.readlink(f"/proc/self/fd/{fd}"))
        except FileNotFoundError:  # the directory's own descriptor, closed by now
            pass
    fds.sort()
    with open("/proc/self/maps") as f:
        maps = sorted(line.split()[2] for line in f
                      if line.rstrip().endswith("/dev/mem") and int(line.split()[2], 16) not in PRU_MEMORIES)
    return [fd for fd in fds if not fd.startswith(("pipe:", "anon_inode:", "/proc/"))] + maps


@pytest.fixture
def nothing_left_open():  # type: ignore[no-untyped-def]
    """Asserts that the test left no descriptor or mapping of the board behind."""
    before = open_files()
    yield
    assert open_files() == before
