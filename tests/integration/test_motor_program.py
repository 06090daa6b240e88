"""jointbus-motor against the virtual motor: each action's frame on the bus, the reply it
prints, and its exit status."""
import json
import os
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import jointbus

REPO_ROOT = Path(__file__).resolve().parents[2]
FIXED = {"disable": 0xFD, "stop": 0xFD, "enable": 0xFC, "zero": 0xFE, "clear": 0xFB}


def motor_program(*arguments):
    given = os.environ.get("JOINTBUS_MOTOR")
    path = Path(given) if given else REPO_ROOT / "build/release/motor/jointbus-motor"
    done = subprocess.run([str(path), *arguments], capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout, done.stderr


def run_json(*arguments):
    status, out, err = motor_program(*arguments, "--json")
    assert not err
    return status, json.loads(out)


# The first use: a motor a crashed controller left enabled and holding its last command.
def test_stop_disables_a_motor_left_enabled(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310")
    left = jointbus.Damiao(1, 0x11, jointbus.MitLimits.dm4310(), timeout_ms=100)
    assert left.enable(jointbus.SocketCanTransport(iface)).error == 1
    status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", "stop")
    assert (status, err) == (0, "")
    assert out.startswith("motor 0x01: disabled (0), position ")
    assert out.endswith(" C\n") and len(out.splitlines()) == 1


@pytest.mark.parametrize("action, status_name", [
    ("disable", "disabled"), ("enable", "enabled"), ("zero", "disabled"), ("clear", "disabled"),
])
def test_each_command_sends_its_one_frame_and_prints_the_reply(virtual_motor, capture, iface,
                                                               action, status_name):
    virtual_motor("--motor", "2:0x12:dm4340")
    status, report = run_json(iface, "--motor", "2:0x12:dm4340", action)
    assert status == 0 and report["ok"]
    (motor,) = report["motors"]
    assert motor["state"]["status_name"] == status_name
    assert motor["state"]["motor_number"] == 2
    sent = [data for (ident, data, fd, extended) in capture.frames() if ident == 2]
    assert sent == [bytes([0xFF] * 7 + [FIXED[action]])]


def test_several_motors_at_once_and_a_silent_one_fails_the_exit_status(virtual_motor, capture,
                                                                       iface):
    virtual_motor("--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310:fault=over-voltage",
                  "--motor", "3:0x13:dm4310:silent")
    status, report = run_json(iface, "--motor", "1:0x11", "--motor", "2:0x12", "--motor",
                              "3:0x13", "--timeout-ms", "30", "stop")
    assert status == 1 and not report["ok"]
    states = {m["motor_id"]: m["state"] and m["state"]["status_name"] for m in report["motors"]}
    assert states == {1: "disabled", 2: "over-voltage", 3: None}
    assert report["motors"][2]["error"] == "transport error: timeout waiting for frame"
    # The silent motor is asked three times, the others once.
    sent = [ident for (ident, data, fd, extended) in capture.frames() if ident in (1, 2, 3)]
    assert sorted(sent) == [1, 2, 3, 3, 3]


@pytest.mark.parametrize("settings, words, status, text", [
    (":mode=3", ["mode"], 0, "motor 0x01: control mode 3 (VEL)\n"),
    (":mode=3", ["mode", "mit"], 0, "motor 0x01: control mode 1 (MIT)\n"),
    # A motor that answered but refused the write was reported as "no answer".
    (":mode=2:ignore_mode_writes", ["mode", "mit"], 1,
     "motor 0x01: answered but kept mode 2 (POS_VEL) after a write of 1 (MIT)\n"),
    ("", ["mode", "vel"], 0, "motor 0x01: control mode 3 (VEL)\n"),
    (":mode=3", ["mode", "FORCE_POS"], 0, "motor 0x01: control mode 4 (FORCE_POS)\n"),
    (":mode=3", ["mode", "pos_vel"], 0, "motor 0x01: control mode 2 (POS_VEL)\n"),
    (":pmax=3.1416:timeout=500", ["settings"], 0,
     "motor 0x01: MST_ID 0x11, ESC_ID 0x01, TIMEOUT 500, CTRL_MODE 1 (MIT), PMAX 3.1416, VMAX 30, "
     "TMAX 10\n"),
])
def test_mode_and_settings_read_registers(virtual_motor, iface, settings, words, status, text):
    virtual_motor("--motor", "1:0x11:dm4310" + settings)
    assert motor_program(iface, "--motor", "1:0x11", *words) == (status, text, "")


@pytest.mark.parametrize("arguments, message", [
    (["--motor", "1:0x11", "spin"], "unknown action 'spin'"),
    (["--motor", "1:0x11", "mode", "spin"],
     "unexpected 'spin' after mode (mit, pos_vel, vel or force_pos)"),
    (["--motor", "1:0x11", "vel"], "vel takes 1 number, not 0"),
    (["--motor", "1:0x11", "pos_vel", "1", "fast"], "not a number: 'fast'"),
    # The driver's refusals: nothing is sent to any motor.
    (["--motor", "1:0x11", "--motor", "2:0x12", "vel", "nan"],
     "motor 0x01: invalid VEL command: velocity is NaN (it must be finite); nothing was sent"),
    (["--motor", "1:0x11", "pos_vel", "1", "-2"],
     "invalid POS_VEL command: velocity_limit is -2 (it must be finite and at least 0)"),
    (["--motor", "1:0x11", "force_pos", "1", "101", "0.5"],
     "invalid FORCE_POS command: velocity_limit is 101 (it must be from 0 to 100 rad/s"),
    (["--motor", "1:0x11", "force_pos", "1", "10", "1.5"],
     "invalid FORCE_POS command: current_limit is 1.5 (it must be from 0 to 1"),
    (["--motor", "0x1:0x11", "--motor", "0x500:0x12", "force_pos", "0", "1", "0.5"],
     "motor 0x500: motor id 0x500 cannot take FORCE_POS commands"),
    (["--motor", "1:0x11", "stop", "now"], "unexpected 'now' after stop"),
    (["--motor", "1:0x11:dm4310", "mit", "0", "0", "5", "0.5"], "mit takes 5 numbers, not 4"),
    # Default limits would scale another model's command wrongly; the encoder would clamp.
    (["--motor", "1:0x11", "mit", "0", "0", "5", "0.5", "0"],
     "--motor '1:0x11': mit needs the motor's model"),
    (["--motor", "1:0x11:dm4340", "mit", "0", "11", "5", "0.5", "0"],
     "motor 0x01: DQ 11 is outside the model's range, -10 to 10 rad/s; nothing was sent"),
    (["--motor", "1:0x11:dm4310", "mit", "0", "0", "nan", "0.5", "0"],
     "motor 0x01: invalid MIT setpoint: kp is NaN"),
    (["--motor", "1", "stop"], "--motor '1': "),
    (["stop"], "--motor is required"),
])
def test_usage_errors_exit_2_and_send_nothing(iface, capture, arguments, message):
    status, out, err = motor_program(iface, *arguments)
    assert (status, out) == (2, "")
    assert message in err
    assert capture.frames(settle=0.1) == []


# One command of each mode after `mode` switched to it; the frame on the wire is the mode's.
@pytest.mark.parametrize("words, ident, data", [
    (["pos_vel", "1.5", "2"], 0x101, struct.pack("<ff", 1.5, 2.0)),
    (["vel", "-3"], 0x201, struct.pack("<f", -3.0)),
    (["force_pos", "1", "10", "0.5"], 0x301, struct.pack("<fHH", 1.0, 1000, 5000)),
])
def test_each_mode_command_gets_a_reply(virtual_motor, capture, iface, words, ident, data):
    virtual_motor("--motor", "1:0x11:dm4310")
    motor = ["--motor", "1:0x11:dm4310"]
    assert motor_program(iface, *motor, "mode", words[0])[0] == 0
    assert motor_program(iface, *motor, "enable")[0] == 0
    capture.frames()
    status, report = run_json(iface, *motor, *words)
    (reply,) = report["motors"]
    assert (status, reply["error"], reply["unconfirmed"]) == (0, None, None)
    assert reply["state"]["status_name"] == "enabled"
    assert [(i, d) for (i, d, fd, extended) in capture.frames() if i == ident] == [(ident, data)]


# One MIT command scaled by the model's limits: with dm4310's (v_max 30, t_max 10) instead of
# dm4340's (10, 28) DQ and TAU would be 0x888 and 0xD98.
def test_mit_sends_one_command_with_the_models_limits(virtual_motor, capture, iface):
    virtual_motor("--motor", "1:0x11:dm4340")
    motor = ["--motor", "1:0x11:dm4340"]
    assert motor_program(iface, *motor, "enable")[0] == 0
    capture.frames()
    status, out, err = motor_program(iface, *motor, "mit", "0", "2", "5", "0.5", "7")
    assert (status, err) == (0, "")
    assert out.startswith("motor 0x01: enabled (1), position ") and len(out.splitlines()) == 1
    sent = [data for (ident, data, fd, extended) in capture.frames() if ident == 1]
    assert sent == [bytes.fromhex("7F FF 99 90 28 19 99 FF")]


# A disabled motor answers but does not act: the reply does not confirm the command.
def test_a_mode_command_to_a_disabled_motor_is_not_confirmed(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310:mode=3")
    status, out, err = motor_program(iface, "--motor", "1:0x11", "vel", "1")
    assert (status, err) == (1, "")
    assert out.splitlines()[1] == ("  not confirmed: reports disabled (0): a disabled motor does "
                                   "not act on commands (action enable first)")


# `enable` on an over-current motor printed "over-current (10)" and exited 0.
@pytest.mark.parametrize("settings, action, status, note", [
    ("", "enable", 0, None),
    ("", "stop", 0, None),
    (":fault=over-current", "enable", 1, "reports the fault over-current (10): clear it"),
    (":fault=over-current", "stop", 1, "reports the fault over-current (10): clear it"),
    (":fault=over-current", "clear", 0, None),
])
def test_the_exit_status_says_whether_the_motor_reports_what_the_action_leaves(
        virtual_motor, iface, settings, action, status, note):
    virtual_motor("--motor", "1:0x11:dm4310" + settings)
    done_status, report = run_json(iface, "--motor", "1:0x11", action)
    (motor,) = report["motors"]
    assert (done_status, report["ok"]) == (status, status == 0)
    assert (motor["unconfirmed"] or "").startswith(note or "")
    assert (motor["unconfirmed"] is None) == (note is None)


STREAM = """
import sys, time, jointbus
bus = jointbus.SocketCanTransport(sys.argv[1])
motor = jointbus.Damiao(1, 0x11)
motor.enable(bus)
print("streaming", flush=True)
while True:
    try:
        motor.mit_control(bus, jointbus.MitSetpoint(0.0, 0.0, 0.0, 0.0, 0.0))
    except RuntimeError:
        pass
    time.sleep(0.001)
"""


# `stop` while a robot ran printed "motor 0x02: enabled (1)", the robot's reply, and exited 0.
def test_a_reply_while_another_program_drives_the_motor_confirms_nothing(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310")
    stream = subprocess.Popen([sys.executable, "-c", STREAM, iface], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert stream.stdout.readline() == "streaming\n"
        status, out, err = motor_program(iface, "--motor", "1:0x11", "stop")
    finally:
        stream.kill()
        stream.wait()
        stream.stdout.close()
    assert (status, err) == (1, "")
    assert out.startswith("motor 0x01: ")
    assert out.splitlines()[1].startswith("  not confirmed: another program drives it (")
    assert out.endswith("this reply may be that program's, so it confirms nothing\n")


# Killed by SIGTERM mid-exchange it said nothing; Ctrl-C the same.
@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_ends_it_after_the_exchange_in_progress(virtual_motor, capture, iface, stop):
    virtual_motor("--motor", "1:0x11:dm4310:silent", "--motor", "2:0x12:dm4310")
    given = os.environ.get("JOINTBUS_MOTOR")
    path = Path(given) if given else REPO_ROOT / "build/release/motor/jointbus-motor"
    started = time.monotonic()
    process = subprocess.Popen([str(path), iface, "--motor", "1:0x11", "--motor", "2:0x12",
                                "--timeout-ms", "1500", "stop"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    time.sleep(1.0)  # listening (0.2 s) is over: motor 1's first disable waits for its reply
    process.send_signal(stop)
    out, err = process.communicate(timeout=30)
    elapsed = time.monotonic() - started
    assert (process.returncode, err) == (128 + stop, "")
    assert out == ("motor 0x01: no answer: transport error: timeout waiting for frame\n"
                   f"motor 0x02: no answer: not asked: stopped by {stop.name}\n")
    # Three attempts of 1.5 s would have ended after 4.7 s at the earliest.
    assert elapsed < 4.2
    sent = [ident for (ident, data, fd, extended) in capture.frames() if ident in (1, 2)]
    assert sent == [1]
