"""The examples users copy run against a virtual motor and leave it disabled."""
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DISABLE = bytes([0xFF] * 7 + [0xFD])


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


# Regression: SIGTERM (systemd, docker stop, kill) ended a robot program at once, leaving every
# motor enabled and holding its last command.
def test_sigterm_to_the_robot_example_disables_every_motor(virtual_motor, capture, iface):
    motors = ["1:0x11:dm4310", "2:0x12:dm4340"]
    virtual_motor(*[arg for motor in motors for arg in ("--motor", motor)])
    # Wide timeouts: a loaded machine must not stop it before the signal does.
    robot = subprocess.Popen(
        [sys.executable, "-u", str(ROOT / "examples/robot.py"), "--bus", iface,
         *[arg for motor in motors for arg in ("--motor", motor)], "--rate", "100",
         "--duration", "120", "--watchdog-ms", "2000", "--timeout-ms", "200"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert select.select([robot.stdout], [], [], 60)[0], "no line within 60 s"
        assert robot.stdout.readline().startswith("rate 100 Hz (given), watchdog 2000 ms (given)")
        assert robot.stdout.readline().startswith("streaming"), robot.stderr.read()
        time.sleep(1)  # the signal comes amid MIT commands
        robot.send_signal(signal.SIGTERM)
        out, err = robot.communicate(timeout=60)
    finally:
        if robot.poll() is None:
            robot.kill()
            robot.wait()
    assert robot.returncode == 143, err
    assert "all motors disabled" in out and err == ""
    frames = capture.frames()
    for motor_id in (1, 2):
        sent = [data for number, data, fd, extended in frames if number == motor_id]
        streamed = [data for data in sent if data[:7] != DISABLE[:7]]
        assert streamed and sent[-1] == DISABLE, sent[-3:]


def test_a_robot_run_too_slow_says_why_and_what_to_pass(virtual_motor, capture, iface):
    # 5 ms per reply allows 200 ticks/s at most. Motor 0x2 is driven in VEL mode.
    virtual_motor("--motor", "1:0x11:dm4310:latency=5", "--motor", "2:0x12:dm4340")
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples/robot.py"), "--bus", iface, "--motor",
         "1:0x11:dm4310", "--motor", "2:0x12:dm4340:vel", "--rate", "1000", "--duration", "0.5",
         "--watchdog-ms", "2000", "--timeout-ms", "200"],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 1, done.stdout + done.stderr
    last = re.fullmatch(r"too slow: (\d+) Hz of 1000 requested, below 90%, at load "
                        r"\d+\.\d\d (on|in) .*CPU.*; pass --rate (\d+), "
                        r"or --min-rate-fraction (0\.\d+) to accept this rate",
                        done.stdout.splitlines()[-1])
    assert last, done.stdout
    assert int(last[3]) <= int(last[1]) and float(last[4]) <= int(last[1]) / 1000
    vel = [data for number, data, fd, extended in capture.frames() if number == 0x202]
    assert vel and all(len(data) == 4 for data in vel)
