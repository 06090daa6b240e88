"""The examples users copy run against a virtual motor and leave it disabled."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_minimal_example_enables_commands_and_disables(virtual_motor, capture, iface):
    virtual_motor("--motor", "1:0x11:dm4310")
    done = subprocess.run([sys.executable, str(ROOT / "examples/minimal.py"), iface, "1", "0x11"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    commands = [data for (ident, data, fd, extended) in capture.frames() if ident == 0x001]
    assert commands[0] == bytes([0xFF] * 7 + [0xFC])  # enable first
    assert len(commands) == 3
    assert commands[-1] == bytes([0xFF] * 7 + [0xFD])  # and disable last
    assert "disabled: MotorState(motor_id=1, error=0," in done.stdout
