"""jointbus-trace on a recorded demo run: from a candump -l log of tools/demo-run (the demo
controller against virtual motors), and live beside it, it must count the commands and replies
that the demo itself reported, and see the control-mode switch in the register traffic."""
import json
import os
import signal
import subprocess
import time

import pytest

from virtual_motor import REPO_ROOT

IFACE = os.environ.get("JOINTBUS_VCAN")
pytestmark = pytest.mark.skipif(
    not IFACE, reason="needs a CAN interface: run through tools/with-vcan (tools/bus-tests)")

TRACE = os.environ.get("JOINTBUS_TRACE",
                       str(REPO_ROOT / "build/release/trace/jointbus-trace"))
# Motor 0x2 starts in another control mode, so the demo writes its mode register; motor 0x3
# withholds every 25th reply, so some commands go unanswered.
MOTORS = ["1:0x11:dm4310", "2:0x12:dm4340:mode=3", "3:0x13:dm6006:drop_every=25"]


def motor_args():
    return [arg for motor in MOTORS for arg in ("--motor", motor)]


def receivers(iface):
    """Sockets receiving every frame on `iface`, from the kernel's table of CAN receivers."""
    with open("/proc/net/can/rcvlist_all") as table:
        return sum(1 for line in table if line.split()[:1] == [iface])


def stop(process):
    process.send_signal(signal.SIGINT)
    try:
        return process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    out = tmp_path_factory.mktemp("trace")
    before = receivers(IFACE)
    candump = subprocess.Popen(["candump", "-l", "-d", IFACE], cwd=out,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    live = subprocess.Popen([TRACE, "--live", IFACE, "-q", "--json", str(out / "live.json"),
                             *motor_args()], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        # Both must be listening before the first frame, or they would count fewer.
        deadline = time.monotonic() + 30
        while receivers(IFACE) < before + 2:
            assert time.monotonic() < deadline, "candump and the live trace never bound"
            assert candump.poll() is None and live.poll() is None
            time.sleep(0.02)
        # A timeout far above any stall of the machine: only the withheld replies go missing.
        # Each costs 100 ms of the schedule, so the rate the demo reaches is not judged here.
        demo = subprocess.run(
            [str(REPO_ROOT / "tools/demo-run"), *motor_args(), "--duration", "1", "--rate", "500",
             "--timeout-ms", "100", "--min-rate-fraction", "0", "--out", str(out / "demo")],
            capture_output=True, text=True, timeout=300)
    finally:
        stop(candump)
        live_status = stop(live)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    assert live_status == 0, live.stderr.read()
    [log] = out.glob("candump-*.log")
    # With the demo's own timeout, a reply that came too late for it counts as the demo saw it.
    result = subprocess.run([TRACE, str(log), "-q", "--json", str(out / "file.json"),
                             "--timeout-ms", "100", *motor_args()],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    demo_summary = json.loads((out / "demo" / "summary.json").read_text())
    return (demo_summary, json.loads((out / "file.json").read_text()),
            json.loads((out / "live.json").read_text()), result.stdout)


def test_log_reproduces_the_demo_counts(recorded):
    demo, trace, _, text = recorded
    assert (trace["malformed"], trace["gaps"], trace["foreign"]) == (0, 0, 0), text
    by_id = {m["motor_id"]: m for m in trace["motors"]}
    for reported in demo["motors"]:
        traced = by_id[reported["motor_id"]]
        assert traced["commands_by_kind"]["mit"] == reported["commands"], text
        assert traced["replies_by_kind"]["mit"] == reported["replies"], text
        assert (traced["commands_by_kind"]["mit"] - traced["replies_by_kind"]["mit"]
                == reported["timeouts"]), text
        assert (traced["unsolicited"], traced["lost_in_capture"]) == (0, 0)
        # Brought up with clear_error and enable, stopped with disable.
        assert traced["commands_by_kind"]["enable"] == 1
        assert traced["replies_by_kind"]["disable"] >= 1
    assert by_id[3]["missed"] > 0
    assert [by_id[i]["missed"] for i in (1, 2)] == [0, 0]


def test_register_traffic_shows_the_mode_switch(recorded):
    demo, trace, _, _ = recorded
    switched = {m["motor_id"]: m["mode_switched"] for m in demo["motors"]}
    for traced in trace["motors"]:
        motor_id = traced["motor_id"]
        # Read, and when the mode differs, write and read back.
        expected = (2, 1) if switched[motor_id] else (1, 0)
        assert (traced["register_replies"], traced["register_writes"]) == expected
    assert switched[2]


def test_live_capture_sees_what_the_log_holds(recorded):
    _, from_log, live, _ = recorded
    fields = ("commands_by_kind", "replies_by_kind", "missed", "register_reads",
              "register_writes", "register_replies")
    assert ([{f: m[f] for f in fields} for m in live["motors"]]
            == [{f: m[f] for f in fields} for m in from_log["motors"]])


MOTOR_PROGRAM = os.environ.get("JOINTBUS_MOTOR",
                               str(REPO_ROOT / "build/release/motor/jointbus-motor"))


# The commands of the other modes, sent by jointbus-motor to the virtual motor: each decoded
# with its values and paired with its reply.
def test_mode_commands_are_decoded_and_paired(virtual_motor, tmp_path):
    virtual_motor("--motor", "1:0x11:dm4310")
    before = receivers(IFACE)
    candump = subprocess.Popen(["candump", "-l", "-d", IFACE], cwd=tmp_path,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while receivers(IFACE) < before + 1:
            assert time.monotonic() < deadline and candump.poll() is None
            time.sleep(0.02)
        motor = [MOTOR_PROGRAM, IFACE, "--motor", "1:0x11:dm4310", "--listen-ms", "0"]
        for words in (["enable"], ["mode", "pos_vel"], ["pos_vel", "1.5", "2"],
                      ["mode", "vel"], ["vel", "-3"],
                      ["mode", "force_pos"], ["force_pos", "1", "10", "0.5"]):
            done = subprocess.run([*motor, *words], capture_output=True, text=True, timeout=30)
            assert done.returncode == 0, (words, done.stdout, done.stderr)
    finally:
        stop(candump)
    [log] = tmp_path.glob("candump-*.log")
    result = subprocess.run([TRACE, str(log), "--motor", "1:0x11:dm4310", "--json",
                             str(tmp_path / "trace.json")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    (traced,) = json.loads((tmp_path / "trace.json").read_text())["motors"]
    for kind in ("pos_vel", "vel", "force_pos"):
        assert (traced["commands_by_kind"][kind], traced["replies_by_kind"][kind]) == (1, 1)
    assert (traced["missed"], traced["unsolicited"]) == (0, 0)
    for line in (" 101 motor 0x1 pos_vel q 1.5000 v_max 2.0000\n",
                 " 201 motor 0x1 vel dq -3.0000\n",
                 " 301 motor 0x1 force_pos q 1.0000 v_max 10.0000 i_max 0.5000\n"):
        assert line in result.stdout, result.stdout
