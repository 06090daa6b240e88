"""Checks of tools/with-vcan, the runner that gives bus tests a vcan interface.

Run with: /usr/bin/python3.11 -m pytest tests/runner
Each test that boots User Mode Linux costs a few seconds, so one boot checks
as much as it can.
"""

import json
import os
import re
import shutil
import signal
import subprocess
from pathlib import Path

import pytest

RUNNER = Path(__file__).resolve().parents[2] / "tools" / "with-vcan"
PYTHON = "/usr/bin/python3.11"
HAVE_UML = bool(shutil.which("linux.uml") or shutil.which("linux"))
needs_uml = pytest.mark.skipif(not HAVE_UML, reason="user-mode-linux not installed")

# Runs inside the guest (or natively): reports what it sees as JSON, binds two
# raw CAN sockets on the interface and passes one frame between them.
PROBE = r"""
import json, os, socket, struct, sys
iface = os.environ["JOINTBUS_VCAN"]
def can():
    s = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    return s
tx, rx = can(), can()
rx.settimeout(2.0)
tx.send(struct.pack("=IB3x8s", 0x123, 2, b"\xbe\xef"))
cid, dlc, data = struct.unpack("=IB3x8s", rx.recv(16))
json.dump({"argv": sys.argv[1:], "cwd": os.getcwd(), "iface": iface,
           "marker": os.environ.get("WITH_VCAN_MARKER"),
           "frame": [cid, data[:dlc].hex()]}, sys.stdout)
sys.stdout.write("\n")
sys.stderr.write("to stderr\n")
sys.exit(7)
"""


def run(args, cwd=None, timeout=300, **env):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("JOINTBUS_")}
    full_env.update(env)
    return subprocess.run([str(RUNNER), *args], cwd=cwd, env=full_env, timeout=timeout,
                          capture_output=True, text=True)


def test_command_sees_vcan_args_env_cwd_and_status(tmp_path):
    workdir = tmp_path / "dir with 'quotes' and spaces"
    workdir.mkdir()
    args = ["a b", "it's", '"dq"', "", "$HOME", "*", "tab\there"]
    marker = 'multi\nline "value" $x'
    r = run(["--", PYTHON, "-c", PROBE, *args], cwd=workdir, WITH_VCAN_MARKER=marker)
    assert r.returncode == 7, r.stderr
    # Only the command's own output: no kernel console, no runner chatter.
    assert r.stderr == "to stderr\n"
    seen = json.loads(r.stdout)
    assert seen["argv"] == args
    assert seen["cwd"] == str(workdir)
    assert seen["marker"] == marker
    assert re.fullmatch(r"(vcan|jbvcan)\d+", seen["iface"])
    assert seen["frame"] == [0x123, "beef"]


@needs_uml
def test_missing_command_fails():
    r = run(["no-such-command-for-with-vcan"], JOINTBUS_VCAN_MODE="uml")
    assert r.returncode == 127, r.stderr
    assert "no-such-command-for-with-vcan" in r.stderr


@needs_uml
def test_guest_that_dies_without_status_is_a_failure():
    # Panics the guest kernel (hence forced into UML: never run this natively).
    r = run(["sh", "-c", "echo 1 >/proc/sys/kernel/sysrq; echo c >/proc/sysrq-trigger; exit 0"],
            JOINTBUS_VCAN_MODE="uml")
    assert r.returncode == 125
    assert "without reporting" in r.stderr
    log = re.search(r"boot log: (\S+)", r.stderr).group(1)
    assert "Kernel panic" in Path(log).read_text(errors="replace")
    shutil.rmtree(Path(log).parent)


@needs_uml
def test_timeout_kills_guest():
    # The limit counts from the guest's boot, and what the command printed reaches the host
    # only as the guest writes it back: 20 s leaves room for both on a loaded machine.
    r = run([PYTHON, "-c", "import time; print('started', flush=True); time.sleep(600)"],
            timeout=120, JOINTBUS_VCAN_MODE="uml", JOINTBUS_UML_TIMEOUT="20")
    assert r.returncode == 124
    assert r.stdout == "started\n"
    assert "within 20 s" in r.stderr
    jobdir = Path(re.search(r"boot log: (\S+)", r.stderr).group(1)).parent
    # No process of that UML instance (they all carry the job dir in argv) survives.
    left = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            if str(jobdir).encode() in cmdline.read_bytes():
                left.append(cmdline.parent.name)
        except OSError:
            pass
    assert not left, f"UML processes left behind: {left}"
    shutil.rmtree(jobdir)


def test_host_vcan_is_created_on_a_free_name_and_deleted(tmp_path):
    # The host here may lack CAN, so stand-in `ip`/`modprobe` record what the
    # runner asks for; vcan0 pretends to exist already.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "ip.log"
    (bin_dir / "ip").write_text(
        '#!/bin/sh\necho "$*" >>"$IP_LOG"\n'
        'case "$*" in "link show dev vcan0") exit 0;; "link show dev "*) exit 1;; esac\n')
    (bin_dir / "modprobe").write_text("#!/bin/sh\nexit 0\n")
    for f in bin_dir.iterdir():
        f.chmod(0o755)
    r = run(["sh", "-c", 'echo "$JOINTBUS_VCAN"; exit 5'], cwd=tmp_path,
            PATH=f"{bin_dir}:{os.environ['PATH']}", IP_LOG=str(log), JOINTBUS_VCAN_MODE="native")
    assert r.returncode == 5, r.stderr
    assert r.stdout == "jbvcan0\n"
    calls = log.read_text().splitlines()
    assert "link add dev jbvcan0 type vcan" in calls
    assert "link set up jbvcan0" in calls
    assert calls[-1] == "link delete dev jbvcan0"
    assert not any("add dev vcan0" in c for c in calls)


def test_preset_interface_runs_natively(tmp_path):
    r = run(["sh", "-c", 'echo "$JOINTBUS_VCAN"; cat /proc/sys/kernel/osrelease'],
            cwd=tmp_path, JOINTBUS_VCAN="given0")
    assert r.returncode == 0, r.stderr
    iface, release = r.stdout.split()
    assert iface == "given0"
    assert release == os.uname().release  # the host kernel, not a guest


@needs_uml
def test_interrupt_reaches_the_command_which_stops_in_its_own_way():
    # As Ctrl-C on a terminal would: KeyboardInterrupt inside the guest (so SIGINT is not
    # ignored there), and the command's own output and exit status come back.
    script = ("import sys, time\nprint('started', flush=True)\ntry:\n    time.sleep(600)\n"
              "except KeyboardInterrupt:\n    print('cleaned up', flush=True)\n    sys.exit(3)\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("JOINTBUS_")}
    runner = subprocess.Popen([str(RUNNER), PYTHON, "-c", script], text=True,
                              env={**env, "JOINTBUS_VCAN_MODE": "uml"},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert runner.stdout.readline() == "started\n"
        runner.send_signal(signal.SIGINT)
        stdout, stderr = runner.communicate(timeout=120)
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
    assert runner.returncode == 3, stderr
    assert stdout == "cleaned up\n"


# Two interfaces are two buses: a frame sent on one reaches a socket on the same one only.
TWO_BUSES = r"""
import os, socket, struct
names = os.environ["JOINTBUS_VCANS"].split()
assert names[0] == os.environ["JOINTBUS_VCAN"], names
def can(iface):
    s = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    s.settimeout(0.5)
    return s
(tx, rx_same), rx_other = (can(names[0]), can(names[0])), can(names[1])
tx.send(struct.pack("=IB3x8s", 0x321, 1, b"\x01"))
print(len(names), struct.unpack("=I", rx_same.recv(16)[:4])[0] == 0x321, end=" ")
try:
    rx_other.recv(16)
    print("crossed")
except socket.timeout:
    print("separate")
"""


def test_count_brings_up_separate_buses():
    r = run([PYTHON, "-c", TWO_BUSES], JOINTBUS_VCAN_COUNT="2")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "2 True separate\n"


@pytest.mark.parametrize("failing_add, status", [(None, 5), ("jbvcan2", 125)])
def test_host_vcans_are_all_deleted(tmp_path, failing_add, status):
    # Stand-in `ip` that remembers the links it made; one add may be told to fail, and then
    # the links made before it must not be left behind.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "ip.log"
    (bin_dir / "ip").write_text(
        '#!/bin/sh\necho "$*" >>"$IP_LOG"\n'
        'case "$*" in\n'
        '  "link show dev vcan0") exit 0;;\n'
        '  "link show dev "*) grep -qx "$4" "$IP_LOG.made"; exit $?;;\n'
        '  "link add dev $FAIL_ADD "*) exit 2;;\n'
        '  "link add dev "*) echo "$4" >>"$IP_LOG.made";;\n'
        'esac\n')
    (bin_dir / "modprobe").write_text("#!/bin/sh\nexit 0\n")
    for f in bin_dir.iterdir():
        f.chmod(0o755)
    r = run(["sh", "-c", 'echo "$JOINTBUS_VCAN|$JOINTBUS_VCANS"; exit 5'], cwd=tmp_path,
            PATH=f"{bin_dir}:{os.environ['PATH']}", IP_LOG=str(log),
            FAIL_ADD=failing_add or "none", JOINTBUS_VCAN_MODE="native", JOINTBUS_VCAN_COUNT="3")
    assert r.returncode == status, r.stderr
    calls = log.read_text().splitlines()
    added = [c.split()[3] for c in calls if c.startswith("link add")]
    deleted = [c.split()[3] for c in calls if c.startswith("link delete")]
    if failing_add is None:
        assert r.stdout == "jbvcan0|jbvcan0 jbvcan1 jbvcan2\n"
        assert added == deleted == ["jbvcan0", "jbvcan1", "jbvcan2"]
    else:
        assert r.stdout == ""
        assert deleted == ["jbvcan0", "jbvcan1"] and added[-1] == "jbvcan2"
