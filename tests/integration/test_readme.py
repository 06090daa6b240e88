"""The README's Python programs run as printed, against virtual motors on this run's buses."""
import contextlib
import os
import re
import subprocess
import sys

import pytest

from virtual_motor import REPO_ROOT, VirtualMotor

BLOCKS = re.findall(r"^```python\n(.*?)^```", (REPO_ROOT / "README.md").read_text(), re.M | re.S)
IFACES = os.environ.get("JOINTBUS_VCANS", os.environ.get("JOINTBUS_VCAN", "")).split()


def test_the_readme_shows_both_modules():
    assert [("jointbus_robot.Robot(" in b) for b in BLOCKS] == [False, True]


@pytest.mark.parametrize("block", BLOCKS, ids=["jointbus", "jointbus_robot"])
def test_each_program_runs_as_printed(block, tmp_path):
    buses = sorted(set(re.findall(r'"(can\d)"', block)))
    if len(IFACES) < len(buses):
        pytest.skip(f"the program uses {len(buses)} buses: JOINTBUS_VCAN_COUNT={len(buses)}")
    program = re.sub(r'"can(\d)"', lambda m: repr(IFACES[int(m.group(1))]), block)
    # Inside User Mode Linux a loaded host stalls the guest for tens of milliseconds, which a
    # 50 ms watchdog would take for a stopped loop.
    program = program.replace("watchdog_ms=50", "watchdog_ms=500")
    # Each bus's motors as the program describes them: Damiao(id, master, MitLimits.model())
    # or Motor(id, master, "model").
    motor = r'(?:Damiao|Motor)\((\w+), (\w+), (?:jointbus\.MitLimits\.(\w+)\(\)|"(\w+)")'
    (tmp_path / "program.py").write_text(program)
    with contextlib.ExitStack() as stack:
        for bus, text in re.findall(r'"(can\d)"(.*?)(?="can\d"|\Z)', block, re.S):
            args = [a for m in re.findall(motor, text)
                    for a in ("--motor", f"{int(m[0], 0)}:{m[1]}:{m[2] or m[3]}")]
            stack.enter_context(VirtualMotor(IFACES[int(bus[3:])], args))
        run = subprocess.run([sys.executable, str(tmp_path / "program.py")],
                             capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    if "print(state)" in block:
        assert re.fullmatch(r"MotorState\(motor_id=1, error=1, .*\)\n", run.stdout), run.stdout

