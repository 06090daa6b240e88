"""The virtual motor's own behaviour on a real interface: faults that only the wire shows, and
an interface that goes down and comes back."""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

import jointbus
from jointbus import Damiao
from virtual_motor import VirtualMotor

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CANFD_MTU = 72


def frames_for(iface, seconds, action=lambda: None):
    """Every frame on `iface` while `action` runs and for `seconds` after it, as
    (number, extended, remote, fd, data)."""
    with socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as sock:
        sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        sock.bind((iface,))
        action()
        got = []
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            sock.settimeout(left)
            try:
                raw = sock.recv(CANFD_MTU)
            except socket.timeout:
                break
            can_id, length = struct.unpack_from("=IB", raw)
            extended = bool(can_id & CAN_EFF_FLAG)
            number = can_id & (0x1FFFFFFF if extended else 0x7FF)
            got.append((number, extended, bool(can_id & CAN_RTR_FLAG), len(raw) == CANFD_MTU,
                        bytes(raw[8:8 + length])))
        return got


def send_commands(iface, number, payloads):
    with socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as sock:
        sock.bind((iface,))
        for payload in payloads:
            sock.send(struct.pack("=IB3x8s", number, len(payload), payload))
            time.sleep(0.01)


ENABLE, DISABLE = (bytes([0xFF] * 7 + [last]) for last in (0xFC, 0xFD))


def test_stamp_counts_commands_and_remote_precedes_every_reply(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310:stamp:remote")
    enable, disable = ENABLE, DISABLE
    frames = frames_for(iface, 0.2, lambda: send_commands(iface, 0x001,
                                                          [enable, disable, enable]))
    replies = [(remote, data[0], data[6:]) if not remote else (remote, len(data))
               for (number, _, remote, _, data) in frames if number == 0x11]
    assert replies == [(True, 8), (False, 0x11, b"\x00\x01"),
                       (True, 8), (False, 0x01, b"\x00\x02"),
                       (True, 8), (False, 0x11, b"\x00\x03")]


@pytest.mark.parametrize("mode, number, name, data", [
    (2, 0x100, "POS_VEL", struct.pack("<ff", 1.0, 2.0)),
    (3, 0x200, "VEL", struct.pack("<f", 2.0)),
    (4, 0x300, "FORCE_POS", struct.pack("<fHH", 1.0, 200, 5000)),
])
def test_each_modes_identifier_is_answered_from_the_master_id(virtual_motor, iface, mode, number,
                                                               name, data):
    sim = virtual_motor("--motor", f"2:0x12:dm4310:mode={mode}", "--log")
    enable = bytes([0xFF] * 7 + [0xFC])

    def enable_and_command():
        send_commands(iface, 0x002, [enable])
        send_commands(iface, 0x002 + number, [data] * 30)

    frames = frames_for(iface, 0.2, enable_and_command)
    replies = [payload for (sender, extended, _, _, payload) in frames
               if sender == 0x12 and not extended]
    assert len(replies) == 31
    assert all(reply[0] == 0x12 for reply in replies)  # enabled, motor 2
    # 16 bits over -12.5..12.5 rad: it moved toward 1 rad, at 2 rad/s for 0.3 s or more.
    position = int.from_bytes(replies[-1][1:3], "big") / 65535 * 25.0 - 12.5
    assert position > 0.2
    assert f"motor 0x002 {name} command, enabled" in sim.stderr()


def test_foreign_frames_of_every_kind_on_a_motors_reply_identifier(virtual_motor, iface):
    kinds = ["classic", "short", "fd", "extended", "remote"]
    virtual_motor("--motor", "1:0x11:dm4310", "--foreign-rate", "500", "--foreign-id", "0x11",
                  "--seed", "1", *(arg for kind in kinds for arg in ("--foreign-kind", kind)))
    seen = set()
    for number, extended, remote, fd, data in frames_for(iface, 1.0):
        assert number == 0x11
        if remote:
            seen.add("remote")
        elif fd:
            seen.add("fd")
        elif extended:
            seen.add("extended")
        else:
            seen.add("classic" if len(data) == 8 else "short")
    assert seen == set(kinds)


def test_the_motor_survives_its_interface_going_down_and_up(virtual_motor, iface):
    sim = virtual_motor("--motor", "1:0x11:dm4310")
    motor = Damiao(1, 0x11, timeout_ms=500)
    assert motor.enable(jointbus.SocketCanTransport(iface)).error == 1

    subprocess.run(["ip", "link", "set", iface, "down"], check=True)
    try:
        deadline = time.monotonic() + 10
        while "is down" not in sim.stderr() and time.monotonic() < deadline:
            time.sleep(0.02)
        assert sim.process.poll() is None, sim.stderr()
    finally:
        subprocess.run(["ip", "link", "set", iface, "up"], check=True)

    # A fresh socket: the old one holds the "network is down" error of its own.
    assert motor.disable(jointbus.SocketCanTransport(iface)).error == 0
    assert sim.stderr().count("is down; waiting for it to come back") == 1
    assert sim.stderr().count("is back; answering again") == 1


def ignore_sigint():
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def test_started_with_sigint_ignored_it_outlives_sigint(iface):
    # Started as a script starts its background jobs.
    with VirtualMotor(iface, ["--motor", "1:0x11:dm4310"], preexec_fn=ignore_sigint) as sim:
        os.kill(sim.pid, signal.SIGINT)
        # Had a handler caught it, the loop would end before it read another frame.
        motor = Damiao(1, 0x11, timeout_ms=500)
        assert motor.enable(jointbus.SocketCanTransport(iface)).error == 1
        assert sim.process.poll() is None, sim.stderr()
    # Leaving the block sent SIGTERM and checked that it ended the program with status 0.
    assert sim.returncode == 0


KILLED_ROBOT = """\
import sys
import jointbus, jointbus_robot as r
robot = r.Robot([r.Bus(sys.argv[1], [r.Motor(1, 0x11, "dm4310", timeout_ms=1000),
                                     r.Motor(2, 0x12, "dm4340", timeout_ms=1000)])],
                watchdog_ms=0)
robot.enable_all()
print("ready", flush=True)
while True:
    robot.tick([jointbus.MitSetpoint(kd=0.5)] * 2)
"""


@pytest.mark.parametrize("timeout, status", [(1000, 13), (0, 1)], ids=["50ms", "off"])
def test_motors_of_a_robot_killed_while_enabled_let_go_after_their_can_timeout(
        virtual_motor, iface, timeout, status):
    # SIGKILL runs nothing of the program: only the motor's own timeout disables it (13,
    # communication lost); with the timeout off, the motors stay enabled (1).
    sim = virtual_motor("--motor", f"1:0x11:dm4310:timeout={timeout}",
                        "--motor", f"2:0x12:dm4340:timeout={timeout}", "--log")
    program = subprocess.Popen([sys.executable, "-c", KILLED_ROBOT, iface],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert program.stdout.readline() == "ready\n", program.stderr.read()
        time.sleep(0.3)
        assert program.poll() is None, program.stderr.read()
    finally:
        program.kill()
        program.wait()
    time.sleep(0.05 + 1.0)  # the timeout and a wide margin
    # A fresh program asks each motor with a command that drives nothing.
    bus = jointbus.SocketCanTransport(iface)
    states = [Damiao(i, m, timeout_ms=1000).mit_control(bus, jointbus.MitSetpoint())
              for i, m in ((1, 0x11), (2, 0x12))]
    assert [state.error for state in states] == [status, status]
    # Both motors time out at about the same moment, in either order.
    said = sorted(line[line.index("motor "):] for line in sim.stderr().splitlines()
                  if "received no command" in line)
    assert said == [f"motor {motor} received no command for 50 ms (TIMEOUT 1000 x 50 us): "
                    "disabled itself, status 13 (communication-lost)"
                    for motor in (("0x001", "0x002") if timeout else ())]


def register_request(motor, operation, register, value=0):
    return struct.pack("<HBBI", motor, operation, register, value)


def store_request(motor):
    return struct.pack("<HBB4x", motor, 0xAA, 0x01)


def test_a_store_survives_a_restart_which_brings_the_stored_ids_into_effect(iface, tmp_path):
    state = tmp_path / "motors.json"
    args = ["--motor", "1:0x11:dm4310", "--state", str(state)]
    with VirtualMotor(iface, args):
        writes = [register_request(1, 0x55, 8, 5), register_request(1, 0x55, 7, 0x15),
                  register_request(1, 0x55, 9, 2000), store_request(1),
                  register_request(1, 0x55, 9, 3000), register_request(1, 0x33, 9)]
        replies = [data for number, _, _, _, data in
                   frames_for(iface, 1.0, lambda: send_commands(iface, 0x7FF, writes))
                   if number != 0x7FF]
        # Stored, answered from the ids it started with; a later write is read back at once.
        assert replies == [store_request(1)[:4] + b"\x01\0\0\0",
                           register_request(1, 0x33, 9, 3000)]
    assert json.loads(state.read_text())["motors"]["0x001"]["9"] == 2000

    with VirtualMotor(iface, args) as sim:
        assert "motor 0x001 answers as 0x005 from 0x015, the ids stored in" in sim.stderr()
        frames = frames_for(iface, 1.0, lambda: (
            send_commands(iface, 0x001, [ENABLE]), send_commands(iface, 0x005, [ENABLE]),
            send_commands(iface, 0x7FF, [register_request(5, 0x33, 9)])))
        replies = [(number, data) for number, _, _, _, data in frames
                   if number not in (0x001, 0x005, 0x7FF)]
        # Enabled motor 5 (0x15), and the stored timeout; nothing answers to 1 any more.
        assert [(number, data[0]) for number, data in replies[:1]] == [(0x15, 0x15)]
        assert replies[1:] == [(0x15, register_request(5, 0x33, 9, 2000))]
