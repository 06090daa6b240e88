"""The example controller (examples/trajectory_demo.py, with examples/demo_support) against
virtual motors on a vcan bus: it must bring every motor into its control mode, make it follow
its trajectory, survive missed replies, disable the motors at the end and on SIGINT, and leave a
readable log and plot."""
import bisect
import csv
import json
import math
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import zlib

import pytest

import jointbus
from virtual_motor import REPO_ROOT, VirtualMotor

IFACE = os.environ.get("JOINTBUS_VCAN")
pytestmark = pytest.mark.skipif(
    not IFACE, reason="needs a CAN interface: run through tools/with-vcan (tools/bus-tests)")

DEMO = REPO_ROOT / "examples" / "trajectory_demo.py"
# Motor 0x2 starts in control mode 3, where the firmware ignores MIT commands; motor 0x3
# starts faulted (0xA, over-current) and refuses to enable until the fault is cleared. Motor 0x4
# is driven in VEL mode, 0x5 in POS_VEL mode, which it starts in.
MOTORS = ["1:0x11:dm4310", "2:0x12:dm4340:mode=3", "3:0x13:dm6006:fault=10",
          "4:0x14:dm4310:vel", "5:0x15:dm4340:pos_vel:mode=2"]
MIT_MOTORS = (1, 2, 3)
MODES = ("mit", "pos_vel", "vel", "force_pos")
DURATION_S = 1.0
RATE_HZ = 500
SETTLE_S = 0.3  # the fade-in; tracking is judged after it
# Shared, noisy machines and User Mode Linux: bounds are loose, but a motor that does not
# move, lags by a large fraction of the motion or is driven in the wrong mode is far outside.
MAX_RMS_ERROR_RAD = 0.05
MIN_CORRELATION = 0.9
# Linux: each frame received comes with the kernel's time of its arrival; a receive buffer
# above the system's limit (root only).
SO_TIMESTAMP, SO_RCVBUFFORCE = 29, 33


def motor_args(motors):
    return [arg for motor in motors for arg in ("--motor", motor)]


def sim_args(motors):
    """The motors for the virtual motor, which takes no control mode by name."""
    return motor_args(":".join(f for f in motor.split(":") if f not in MODES) for motor in motors)


def demo_command(out, *extra, motors=MOTORS):
    return [sys.executable, str(DEMO), "--iface", IFACE, *motor_args(motors),
            "--out", str(out), *extra]


def demo_env():
    # Unbuffered, so that a test reading the output line by line sees it as it comes.
    return {**os.environ, "PYTHONUNBUFFERED": "1"}


def motor_statuses():
    """The status nibble each motor reports now, read with a command that changes nothing
    but a latched fault (clear_error): 0 disabled, 1 enabled."""
    bus = jointbus.SocketCanTransport(IFACE)
    statuses = {}
    for motor in MOTORS:
        motor_id, master_id = (int(field, 0) for field in motor.split(":")[:2])
        statuses[motor_id] = jointbus.Damiao(motor_id, master_id).clear_error(bus).error
    return statuses


def read_log(out):
    with (out / "log.csv").open(newline="") as file:
        return list(csv.DictReader(file))


def rows_of(rows, motor_id):
    return [row for row in rows if int(row["motor_id"]) == motor_id]


def correlation(xs, ys):
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    sxx = sum((x - mx) ** 2 for x in xs)
    syy = sum((y - my) ** 2 for y in ys)
    return sxy / math.sqrt(sxx * syy)


class MitCommands:
    """The MIT commands to one motor, each with the time the kernel received it: when it went on
    the bus (the virtual motor's own log would add however late its process was scheduled to
    read it). The socket only queues them while the demo runs, so that reading them disturbs
    nothing; its buffer holds far more than a run sends."""

    def __init__(self, iface, can_id):
        self.socket = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.socket.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                               struct.pack("=II", can_id, 0x7FF))
        self.socket.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
        self.socket.bind((iface,))

    def times(self):
        """Arrival times of the MIT commands received so far."""
        self.socket.settimeout(0.05)
        times = []
        while True:
            try:
                raw, ancillary, _, _ = self.socket.recvmsg(16, 64)
            except socket.timeout:
                return times
            # The fixed commands (enable, disable, ...) are seven FF bytes and a code.
            if raw[8:15] != b"\xff" * 7:
                seconds, micros = struct.unpack("@qq", ancillary[0][2])
                times.append(seconds + micros * 1e-6)


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One short demo run; the tests below look at different parts of its results."""
    out = tmp_path_factory.mktemp("demo")
    with VirtualMotor(IFACE, sim_args(MOTORS)):
        commands = MitCommands(IFACE, 1)
        result = subprocess.run(
            # The rate this machine reaches is not under test here.
            demo_command(out, "--duration", str(DURATION_S), "--rate", str(RATE_HZ),
                         "--ramp", str(SETTLE_S), "--min-rate-fraction", "0"),
            env=demo_env(), capture_output=True, text=True, timeout=300)
        sent = commands.times()
        statuses = motor_statuses()
    return result, out, statuses, sent


def test_demo_finishes_and_reports(run):
    result, out, *_ = run
    assert result.returncode == 0, result.stdout + result.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcome"] == "finished"
    assert summary["files"]["csv"] == str(out / "log.csv")
    # CRLF line ends once broke `awk '$NF!="ok"' log.csv`: its last field carried the "\r".
    assert b"\r" not in (out / "log.csv").read_bytes()
    assert str(out / "plot.png") in result.stdout
    assert "period p50" in result.stdout
    assert result.stdout.splitlines()[-1] == f"finished: {summary['reason']}"


def test_fault_found_at_start_is_reported_before_it_is_cleared(run):
    result, out, *_ = run
    report = result.stdout.index("motor 0x3: found in fault state 0xA over-current, clearing it")
    assert report < result.stdout.index("motor 0x3 (dm6006, MIT): enabled at")
    summary = json.loads((out / "summary.json").read_text())
    assert [m["fault_at_start"] for m in summary["motors"]] == [
        None, None, "0xA over-current", None, None]


def test_schedule_keeps_to_the_clock(run):
    _, out, _, sent = run
    summary = json.loads((out / "summary.json").read_text())
    # Every tick of the schedule was either run or deliberately skipped.
    assert summary["ticks"] + summary["ticks_skipped"] == DURATION_S * RATE_HZ
    for motor in summary["motors"]:
        assert motor["commands"] == summary["ticks"]
        assert motor["commands_per_s"] > 50
    # Seen on the bus: commands leave on the schedule's grid, a whole number of periods
    # apart (more than one where a loaded machine skipped ticks), however long each tick's
    # work took. Each command is judged by where it falls within its period: on a grid most
    # fall in one narrow window, a little after each slot; sleeping a period after the work
    # would stretch every interval by that work and spread them over the whole period. A
    # stall delays the odd command, and only that one: its neighbours stay on the grid.
    assert len(sent) == summary["ticks"]
    period = 1 / RATE_HZ
    phases = sorted(((t - sent[0]) / period) % 1.0 for t in sent)
    window = 0.25  # of a period
    wrapped = phases + [phase + 1.0 for phase in phases]
    most = max(bisect.bisect_right(wrapped, start + window) - i
               for i, start in enumerate(phases))
    assert most > 0.6 * len(sent)
    assert DURATION_S * 0.8 < sent[-1] - sent[0] < DURATION_S + 0.5


@pytest.mark.parametrize("motor_id", MIT_MOTORS)
def test_measured_position_follows_the_command(run, motor_id):
    _, out, *_ = run
    rows = [row for row in rows_of(read_log(out), motor_id)
            if float(row["t"]) >= SETTLE_S and row["reply"] == "ok"]
    assert len(rows) > 50
    commanded = [float(row["q_cmd"]) for row in rows]
    measured = [float(row["position"]) for row in rows]
    # The trajectory really moves, so that following it means something.
    assert max(commanded) - min(commanded) > 0.3
    rms = math.sqrt(sum((m - c) ** 2 for m, c in zip(measured, commanded)) / len(rows))
    assert rms < MAX_RMS_ERROR_RAD
    assert correlation(commanded, measured) > MIN_CORRELATION
    assert {int(row["error"]) for row in rows} == {1}  # enabled throughout


def test_vel_motor_follows_its_velocity_profile(run):
    _, out, *_ = run
    rows = [row for row in rows_of(read_log(out), 4)
            if float(row["t"]) >= SETTLE_S and row["reply"] == "ok"]
    assert len(rows) > 50 and {(row["mode"], row["q_cmd"]) for row in rows} == {("vel", "")}
    commanded = [float(row["dq_cmd"]) for row in rows]
    measured = [float(row["velocity"]) for row in rows]
    swing = max(commanded) - min(commanded)
    assert swing > 2.0 and max(measured) - min(measured) > 0.5 * swing
    rms = math.sqrt(sum((m - c) ** 2 for m, c in zip(measured, commanded)) / len(rows))
    assert rms < 0.2 * swing
    assert correlation(commanded, measured) > MIN_CORRELATION


def test_pos_vel_motor_reaches_each_target_within_its_speed_limit(run):
    _, out, *_ = run
    rows = rows_of(read_log(out), 5)
    assert {(row["mode"], row["dq_cmd"]) for row in rows} == {("pos_vel", "")}
    stretches = []  # runs of rows with one target
    for row in rows:
        if not stretches or stretches[-1][0]["q_cmd"] != row["q_cmd"]:
            stretches.append([])
        stretches[-1].append(row)
    # The last target may have come just before the end; every earlier one was held its time.
    held = stretches[:-1]
    assert len(held) >= 2
    targets = [float(stretch[0]["q_cmd"]) for stretch in held]
    assert abs(targets[1] - targets[0]) > 0.9  # a step of twice the amplitude
    for stretch in held:
        last = [row for row in stretch if row["reply"] == "ok"][-1]
        assert abs(float(last["position"]) - float(last["q_cmd"])) < 0.05
    limit = float(rows[0]["v_limit"])
    assert all(abs(float(row["velocity"])) < 1.05 * limit + 0.05
               for row in rows if row["reply"] == "ok")
    summary = json.loads((out / "summary.json").read_text())
    motor = summary["motors"][4]
    assert (motor["mode"], motor["speed_limit_rad_s"]) == ("pos_vel", limit)
    assert motor["targets_held"] >= 2 and motor["max_settled_error_rad"] < 0.05


def test_motor_outside_its_mode_is_switched(run):
    result, out, *_ = run
    summary = json.loads((out / "summary.json").read_text())
    switched = {m["motor_id"]: m["mode_switched"] for m in summary["motors"]}
    assert switched == {1: False, 2: True, 3: False, 4: True, 5: False}
    assert "motor 0x2: was in another control mode, switched to MIT mode" in result.stdout
    assert "motor 0x4: was in another control mode, switched to VEL mode" in result.stdout
    assert "motor 0x1: already in MIT mode" in result.stdout
    assert "motor 0x5: already in POS_VEL mode" in result.stdout


def test_motors_are_disabled_at_the_end(run):
    result, out, statuses, _ = run
    assert statuses == {1: 0, 2: 0, 3: 0, 4: 0, 5: 0}
    summary = json.loads((out / "summary.json").read_text())
    assert [(m["final_status"], m["disabled"]) for m in summary["motors"]] == [(0, True)] * 5
    for motor_id in range(1, 6):
        assert f"motor 0x{motor_id}: disabled (status 0 disabled)" in result.stdout


def test_log_has_a_row_per_command(run):
    _, out, *_ = run
    rows = read_log(out)
    # The columns of the MIT-only log keep their place; reply stays the last (awk '$NF').
    assert list(rows[0]) == ["t", "motor_id", "q_cmd", "dq_cmd", "tau_cmd", "position",
                             "velocity", "torque", "t_mos", "t_rotor", "error", "mode",
                             "v_limit", "i_limit", "reply"]
    summary = json.loads((out / "summary.json").read_text())
    assert len(rows) == sum(m["commands"] for m in summary["motors"])
    times = [float(row["t"]) for row in rows]
    assert times == sorted(times)
    # The virtual motors start at ambient temperature and warm up only slowly.
    assert all(20 <= int(row["t_mos"]) <= 100 for row in rows if row["reply"] == "ok")


def test_plot_is_a_valid_png(run):
    _, out, *_ = run
    data = (out / "plot.png").read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert (length, kind) == (13, b"IHDR")
    header = data[16:16 + length]
    (crc,) = struct.unpack(">I", data[16 + length:20 + length])
    assert crc == zlib.crc32(kind + header)
    width, height = struct.unpack(">II", header[:8])
    assert width > 600 and height > 400
    assert data.endswith(b"IEND\xaeB`\x82")


def test_missed_replies_are_counted_and_the_run_goes_on(tmp_path):
    # Motor 0x3 withholds every 25th reply: each such command times out.
    motors = ["1:0x11:dm4310", "3:0x13:dm6006:drop_every=25"]
    command = demo_command(tmp_path, "--duration", str(DURATION_S), "--rate", str(RATE_HZ),
                           "--ramp", str(SETTLE_S), "--timeout-ms", "10",
                           "--min-rate-fraction", "0", motors=motors)
    with VirtualMotor(IFACE, motor_args(motors)):
        result = subprocess.run(command, env=demo_env(), capture_output=True, text=True,
                                timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    dropping = summary["motors"][1]
    rows = rows_of(read_log(tmp_path), 3)
    timed_out = [float(row["t"]) for row in rows if "timeout" in row["reply"]]
    assert dropping["timeouts"] == len(timed_out)
    # Any 25 frames in a row hold a dropped one; a busy machine can only add timeouts.
    assert len(timed_out) >= dropping["commands"] // 25 >= 1
    assert dropping["replies"] == dropping["commands"] - len(timed_out)
    assert any(row["reply"] == "ok" and float(row["t"]) > timed_out[0] for row in rows)
    assert all(row["position"] == "" for row in rows if "timeout" in row["reply"])
    assert f"{len(timed_out)} timeouts" in result.stdout


@pytest.mark.parametrize("motors, outcome, reason, logged", [
    # 5 ms per reply allows 200 commands/s at most.
    (["1:0x11:dm4310:latency=5"], "too slow", "commands/s per motor, below 90% of the 1000 "
     "requested", True),
    (["1:0x11:dm4310", "3:0x13:dm6006:silent"], "failed",
     "motor 0x3 did not come up: transport error: timeout waiting for frame", False),
])
def test_a_run_that_falls_short_says_why_and_fails(tmp_path, motors, outcome, reason, logged):
    with VirtualMotor(IFACE, motor_args(motors)):
        result = subprocess.run(
            demo_command(tmp_path, "--duration", "0.5", "--rate", "1000", motors=motors),
            env=demo_env(), capture_output=True, text=True, timeout=300)
    assert result.returncode == 1, result.stdout + result.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["outcome"] == outcome
    assert reason in summary["reason"]
    # The verdict is the last line, after every disable attempt, with the load it ran under;
    # a run too slow names the options that would pass, a failure names the doctor.
    assert re.fullmatch(r"load \d+\.\d\d (on|in) .*CPU.*", summary["load"])
    last = f"{outcome}: {summary['reason']}, at {summary['load']}"
    if outcome == "failed":
        assert summary["next_step"] == (f"jointbus-doctor {IFACE} --motor 0x1:0x11:dm4310 "
                                        "--motor 0x3:0x13:dm6006")
        last += f"; next step: {summary['next_step']}"
    else:
        advice = re.fullmatch(r"pass --rate (\d+), or --min-rate-fraction (0\.\d+) to accept "
                              r"this rate", summary["advice"])
        kept = int(summary["reason"].split()[0])
        assert int(advice[1]) <= kept and float(advice[2]) <= kept / 1000
        last += f"; {summary['advice']}"
    assert result.stdout.splitlines()[-1] == last
    # A run that never streamed leaves no header-only log and no empty plot.
    assert sorted(path.name for path in tmp_path.iterdir()) == (
        ["log.csv", "plot.png", "summary.json"] if logged else ["summary.json"])


def test_sigint_disables_the_motors(tmp_path):
    with VirtualMotor(IFACE, sim_args(MOTORS)):
        demo = subprocess.Popen(demo_command(tmp_path, "--duration", "60", "--rate", "200"),
                                env=demo_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        try:
            # The live table's first line comes after the first tick's commands.
            streaming = any(line.startswith("t=") for line in demo.stdout)
            assert streaming and demo.poll() is None, demo.stderr.read()
            demo.send_signal(signal.SIGINT)
            demo.wait(timeout=120)
            stdout, stderr = demo.stdout.read(), demo.stderr.read()
        finally:
            if demo.poll() is None:
                demo.kill()
                demo.wait()
        statuses = motor_statuses()
    assert demo.returncode == 130, stdout + stderr
    assert statuses == {1: 0, 2: 0, 3: 0, 4: 0, 5: 0}
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["outcome"] == "interrupted"
    assert summary["elapsed_s"] < 30
    assert all(m["disabled"] for m in summary["motors"])
    assert (tmp_path / "plot.png").exists()
