"""jointbus-doctor against the virtual motor in its fault settings. Whatever the fault, the
doctor puts nothing on the bus but register reads of the control mode."""
import json
import os
import subprocess
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
READ_MODE = bytes([0x33, 10, 0, 0, 0, 0])  # bytes 2..7 of a control-mode read


def doctor_path():
    given = os.environ.get("JOINTBUS_DOCTOR")
    return Path(given) if given else REPO_ROOT / "build/release/doctor/jointbus-doctor"


def run_doctor(*arguments, as_json=True):
    command = [str(doctor_path()), *arguments, "--listen", "0.2"] + (["--json"] if as_json else [])
    done = subprocess.run(command, capture_output=True, text=True, timeout=30)
    return done.returncode, json.loads(done.stdout) if as_json else done.stdout


def problems(report):
    return [f for f in report["findings"] if f["severity"] != "note"]


def only_register_reads(frames, read_ids, command_ids):
    """Every frame to 0x7FF is a control-mode read of one of `read_ids`; nothing at all went to
    the motors' command identifiers."""
    requests = [data for (ident, data, fd, extended) in frames if ident == 0x7FF]
    assert requests, "the doctor sent no register read"
    assert all(data[2:] == READ_MODE and data[0] | data[1] << 8 in read_ids for data in requests)
    assert not [f for f in frames if f[0] in command_ids]


@pytest.mark.parametrize("settings, doctor_motor, severity, message, fix", [
    ("", "1:0x11:dm4310", None, None, None),
    (":silent", "1:0x11:dm4310", "error", "no reply to a register read within 100.0 ms",
     "jointbus-doctor {iface} --scan 1-32 (finds motors that answer under other ids)"),
    ("", "1:0x12:dm4310", "error", "replies come from 0x11, you configured 0x12",
     "Damiao(0x01, 0x11, MitLimits.dm4310())"),
    (":mode=3", "1:0x11", "warning", "is in control mode 3 (VEL), not MIT (1)",
     "motor.ensure_mit_mode(bus)"),
    # The doctor never writes: a motor that would refuse a mode write looks like any motor in
    # another mode, and the advice names what ensure_mit_mode raises then.
    (":mode=2:ignore_mode_writes", "1:0x11", "warning",
     "raises 'control mode verification failed'", "motor.ensure_mit_mode(bus)"),
])
def test_one_finding_per_fault_with_its_fix(virtual_motor, capture, iface, settings,
                                            doctor_motor, severity, message, fix):
    virtual_motor("--motor", "1:0x11:dm4310" + settings)
    status, report = run_doctor(iface, "--motor", doctor_motor)
    only_register_reads(capture.frames(), {1}, {1})
    found = problems(report)
    if severity is None:
        assert (status, found) == (0, [])
        (reply,) = report["motors"][0]["replies"]
        assert (reply["from"], reply["control_mode"], reply["mit"]) == (0x11, 1, True)
        assert 0 < reply["latency_ms"] < 100
        return
    assert status == 1
    assert [(f["severity"], f["subject"]) for f in found] == [(severity, "motor 0x01")]
    assert message in found[0]["message"]
    assert found[0]["fix"] == fix.format(iface=iface)


def test_foreign_traffic_is_reported_and_the_motor_still_found(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310", "--foreign-rate", "500", "--foreign-id", "0x321")
    status, report = run_doctor(iface, "--motor", "1:0x11")
    assert status == 0
    assert report["traffic"]["ids"]["0x321"] > 10
    assert [f["subject"] for f in report["findings"]] == ["traffic"]  # one note
    assert report["motors"][0]["replies"][0]["from"] == 0x11


def test_two_motors_answering_as_one_id(virtual_motor, iface):
    virtual_motor("--motor", "1:0x11:dm4310")
    virtual_motor("--motor", "1:0x12:dm4310")
    status, report = run_doctor(iface, "--motor", "1:0x11")
    assert status == 1
    assert sorted(r["from"] for r in report["motors"][0]["replies"]) == [0x11, 0x12]
    assert "2 motors answer as this id" in problems(report)[0]["message"]


def test_scan_finds_each_motor_and_its_constructor(virtual_motor, capture, iface):
    virtual_motor("--motor", "3:0x13:dm4310", "--motor", "17:0x31:dm6006")
    status, report = run_doctor(iface, "--scan", "1-32")
    only_register_reads(capture.frames(), set(range(1, 33)), {3, 17})
    assert status == 0
    assert [f["fix"] for f in report["findings"]] == ["Damiao(0x03, 0x13)", "Damiao(0x11, 0x31)"]
    assert report["probe"]["full_queue"] == 0
    assert report["probe"]["seconds"] < 1.5  # typically 0.2 s: 1 ms apart, 100 ms for replies


@pytest.fixture
def interface_down(iface):
    subprocess.run(["ip", "link", "set", iface, "down"], check=True)
    yield
    subprocess.run(["ip", "link", "set", iface, "up"], check=True)


def test_interface_down(iface, interface_down):
    status, text = run_doctor(iface, "--motor", "1:0x11", as_json=False)
    assert status == 1
    assert f"error   {iface}: is down: nothing can be sent or received\n" in text
    assert f"        fix (as root): ip link set {iface} up\n" in text


@pytest.mark.parametrize("arguments", [
    ["--motor", "1"], ["--motor", "1:0x11:nosuchmodel"], ["--scan", "9-1"], ["--scan", "0-5000"],
    [], ["--listen", "-1"],
])
def test_usage_errors_exit_2_and_send_nothing(iface, capture, arguments):
    done = subprocess.run([str(doctor_path()), *([iface] if arguments else []), *arguments],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert done.stderr
    assert capture.frames(settle=0.1) == []


def test_frames_from_a_motors_reply_id_before_asking_mean_another_controller(virtual_motor,
                                                                            iface):
    virtual_motor("--motor", "1:0x11:dm4310", "--foreign-rate", "200", "--foreign-id", "0x11")
    status, report = run_doctor(iface, "--motor", "1:0x11")
    assert status == 1
    (found,) = problems(report)
    assert (found["subject"], found["severity"]) == ("traffic", "warning")
    assert found["message"].startswith("frames from 0x011, where the motors answer")
