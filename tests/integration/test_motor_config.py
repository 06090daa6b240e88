"""jointbus-motor config against the virtual motor: settings written, stored and found again
after the motor restarts from its flash image, and every refusal leaving the motor unwritten."""
import json
import subprocess
import sys

import pytest

import jointbus
from test_motor_program import motor_program
from virtual_motor import VirtualMotor

WRITE, STORE = 0x55, 0xAA


def writes_and_stores(capture):
    return [data for (ident, data, fd, extended) in capture.frames()
            if ident == 0x7FF and data[2] in (WRITE, STORE)]


def test_a_timeout_set_and_stored_is_there_after_a_restart(iface, tmp_path):
    state = tmp_path / "flash.json"
    args = ["--motor", "1:0x11:dm4310", "--state", str(state)]
    with VirtualMotor(iface, args):
        status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", "config", "set",
                                         "timeout_ms=100", "--backup", str(tmp_path / "b.json"))
        assert (status, err) == (0, ""), out
        assert "  TIMEOUT: 0 (off) -> 2000 (100 ms)\n" in out
        assert "motor 0x01: written, verified and stored\n" in out
    with VirtualMotor(iface, args):
        status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", "config", "show")
    assert (status, err) == (0, "")
    assert any(line.split()[:3] == ["TIMEOUT", "2000", "(100"] for line in out.splitlines()), out


def test_new_ids_answer_after_a_restart_and_the_tool_says_which_to_use(iface, tmp_path):
    state = tmp_path / "flash.json"
    with VirtualMotor(iface, ["--motor", "1:0x11:dm4310", "--state", str(state)]):
        status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", "config", "ids",
                                         "2", "0x12", "--backup", str(tmp_path / "b.json"))
        assert (status, err) == (0, ""), out
        assert "now it answers on its old ids (0x01:0x11 -> 0x02:0x12)\n" in out
        assert ("power-cycle it, then use --motor 2:0x12:dm4310, Motor(2, 0x12, 'dm4310'), "
                "Damiao(2, 0x12)\n") in out
    # The motor starts from its state file as a power-cycled motor starts from flash.
    with VirtualMotor(iface, ["--motor", "1:0x11:dm4310", "--state", str(state)]):
        bus = jointbus.SocketCanTransport(iface)
        assert jointbus.Damiao(2, 0x12, timeout_ms=200).disable(bus).error == 0
        assert jointbus.Damiao(2, 0x12, timeout_ms=200).read_settings(bus)["ESC_ID"] == 2
        with pytest.raises(RuntimeError):
            jointbus.Damiao(1, 0x11, timeout_ms=100).disable(bus)


def test_a_backup_restored_puts_every_setting_back(virtual_motor, iface, tmp_path):
    virtual_motor("--motor", "1:0x11:dm4310")
    motor = ["--motor", "1:0x11:dm4310"]
    backup = tmp_path / "before.json"
    assert motor_program(iface, *motor, "config", "backup", str(backup))[0] == 0
    saved = json.loads(backup.read_text())
    assert saved["program"] == "jointbus-motor" and saved["motor_id"] == 1
    assert saved["registers"]["PMAX"]["value"] == 12.5
    status, out, err = motor_program(iface, *motor, "config", "set", "p_max=3.1416",
                                     "KP_POS=2.5", "--backup", str(tmp_path / "b.json"))
    assert (status, err) == (0, ""), out
    assert ("limits: programs must now pass MitLimits(p_max=3.1416, v_max=30, kp_max=500, "
            "kd_max=5, t_max=10)") in out
    status, out, err = motor_program(iface, *motor, "config", "restore", str(backup),
                                     "--backup", str(tmp_path / "c.json"))
    assert (status, err) == (0, ""), out
    assert "  PMAX: 3.1416 rad -> 12.5 rad\n" in out
    assert "limits: the ranges are preset dm4310's" in out
    settings = jointbus.Damiao(1, 0x11).read_settings(jointbus.SocketCanTransport(iface))
    assert {name: saved["registers"][name]["value"] for name in settings
            if saved["registers"].get(name)} == {k: v for k, v in settings.items()
                                                  if v is not None}


DRIVER = """\
import sys, time, jointbus
bus = jointbus.SocketCanTransport(sys.argv[1])
motor = jointbus.Damiao(1, 0x11)
print("ready", flush=True)
while True:
    motor.mit_control(bus, jointbus.MitSetpoint())
    time.sleep(0.005)
"""


@pytest.mark.parametrize("case", ["not-disabled", "driven", "collision", "readback"])
def test_a_refused_transaction_writes_nothing(virtual_motor, capture, iface, tmp_path, case):
    # Each fault leaves the motor as it was: no write and no store on the bus.
    sim_motor = {"not-disabled": "1:0x11:dm4310:fault=8", "readback": "1:0x11:dm4310:"
                 "ignore_writes=9"}.get(case, "1:0x11:dm4310")
    virtual_motor("--motor", sim_motor, "--motor", "2:0x12:dm4310")
    command = ["config", "set", "timeout_ms=100"]
    if case == "collision":
        command = ["config", "ids", "2", "0x13"]
    driver = None
    if case == "driven":
        driver = subprocess.Popen([sys.executable, "-c", DRIVER, iface], stdout=subprocess.PIPE,
                                  text=True)
        assert driver.stdout.readline() == "ready\n"
    try:
        status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", *command,
                                         "--backup", str(tmp_path / "b.json"))
    finally:
        if driver:
            driver.kill()
            driver.wait()
    expected = {
        "not-disabled": (1, "disable: the motor reports status 8 (over-voltage), not 0 "
                            "(disabled); nothing was written; nothing was stored"),
        "driven": (2, "): its settings are not read or written while it is driven; nothing was "
                      "sent. Stop that program, or pass --force"),
        "collision": (2, "another motor answers as 0x02; nothing was written"),
        "readback": (1, "read back TIMEOUT: sent 2000 (100 ms) (0x000007d0), the motor holds 0 "
                        "(off) (0x00000000); nothing was stored"),
    }[case]
    assert status == expected[0], (out, err)
    assert expected[1] in err
    written = writes_and_stores(capture)
    if case == "readback":
        assert written == [bytes([1, 0, WRITE, 9, 0xD0, 0x07, 0, 0])]  # and never the store
    else:
        assert written == []


@pytest.mark.parametrize("setting, message", [
    ("p_max=nan", "PMAX must be finite; nothing was sent"),
    ("speed=1", "unknown setting 'speed' ("),
    ("timeout_ms=0", "TIMEOUT 0 turns the motor's CAN timeout off"),
    ("timeout_ms=5", "is shorter than three periods at 500 Hz"),
])
def test_a_setting_refused_before_anything_is_written(virtual_motor, capture, iface, setting,
                                                      message, tmp_path):
    virtual_motor("--motor", "1:0x11:dm4310:timeout=1000")
    status, out, err = motor_program(iface, "--motor", "1:0x11", "config", "set", setting,
                                     "--rate", "500", "--backup", str(tmp_path / "b.json"))
    assert status == 2 and message in err, (out, err)
    assert writes_and_stores(capture) == []
    assert not (tmp_path / "b.json").exists()


def test_python_configure_dry_run_returns_the_diff_and_writes_nothing(virtual_motor, capture,
                                                                     iface):
    virtual_motor("--motor", "1:0x11:dm4310")
    bus = jointbus.SocketCanTransport(iface)
    motor = jointbus.Damiao(1, 0x11, timeout_ms=100)
    diff = motor.configure(bus, {"timeout_ms": 100, "PMAX": 12.5}, dry_run=True)
    assert diff == {"TIMEOUT": (0, 2000)}
    assert writes_and_stores(capture) == []
    assert motor.configure(bus, {"timeout_ms": 100}) == {"TIMEOUT": (0, 2000)}
    assert motor.read_settings(bus)["TIMEOUT"] == 2000
    with pytest.raises(ValueError, match="^TIMEOUT 0 turns the motor's CAN timeout off"):
        motor.configure(bus, {"TIMEOUT": 0})


@pytest.mark.parametrize("settings, error, message", [
    ([("PMAX", 1.0)], TypeError, "Damiao.configure(): settings must be a dict, not list"),
    ({"PMAX": True}, TypeError,
     "Damiao.configure(): settings['PMAX'] must be an int or a float, not bool"),
    ({"PMAX": float("nan")}, ValueError, "PMAX must be finite"),
    ({"esc_id": 0x7FF}, ValueError,
     "ESC_ID must be below 0x7FF: 0x7FF carries every motor's register requests"),
])
def test_python_configure_refuses_with_exact_messages_and_sends_nothing(capture, iface, settings,
                                                                       error, message):
    bus = jointbus.SocketCanTransport(iface)
    with pytest.raises(error) as raised:
        jointbus.Damiao(1, 0x11).configure(bus, settings)
    assert str(raised.value) == message
    assert capture.frames() == []


# Fault: a store that no reply confirmed was reported as success.
def test_a_store_without_reply_is_not_reported_as_stored(virtual_motor, iface, tmp_path):
    virtual_motor("--motor", "1:0x11:dm4310:mute_store")
    status, out, err = motor_program(iface, "--motor", "1:0x11:dm4310", "config", "set",
                                     "timeout_ms=100", "--backup", str(tmp_path / "b.json"))
    assert status == 1, out
    assert err == ("jointbus-motor: motor 0x01: store: no reply to the store request, so the "
                   "store is not confirmed: power-cycle the motor and compare `config show` with "
                   "what was asked\n")
    assert "written, verified and stored" not in out
