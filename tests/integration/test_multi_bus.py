"""The multi-bus example (examples/multi_bus.py) on two vcan buses with a virtual motor process
on each: it streams to both and leaves every motor disabled, whether it finishes, a worker is
killed, or the controller hangs or is killed (then the workers disable their motors alone)."""
import json
import os
import queue
import signal
import subprocess
import sys
import threading
from contextlib import ExitStack

import pytest

import jointbus
from virtual_motor import REPO_ROOT, VirtualMotor

IFACES = os.environ.get("JOINTBUS_VCANS", "").split()[:2]
pytestmark = pytest.mark.skipif(
    len(IFACES) < 2,
    reason="needs two CAN interfaces: run through JOINTBUS_VCAN_COUNT=2 tools/with-vcan")

EXAMPLE = REPO_ROOT / "examples" / "multi_bus.py"
# Motor 0x2 starts in control mode 3: each worker has to switch it.
MOTORS = ["1:0x11:dm4310", "2:0x12:dm4340:mode=3"]
MOTOR_ARGS = [arg for motor in MOTORS for arg in ("--motor", motor)]
# Shared machines and User Mode Linux stall processes for tens of milliseconds: limits are
# wide, so that only a controller that is really gone trips them.
LOOSE = ["--timeout-ms", "200", "--silent-limit", "20"]
WAIT_S = 120


def controller(*extra):
    command = [sys.executable, str(EXAMPLE), *(a for i in IFACES for a in ("--bus", i)),
               *MOTOR_ARGS, *LOOSE, *extra]
    # A session of its own, so that a Ctrl-C can be sent to it and its workers as a terminal
    # would.
    return subprocess.Popen(command, env={**os.environ, "PYTHONUNBUFFERED": "1"},
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)


class Output:
    """The lines a process and its workers print, read as they come."""

    def __init__(self, process):
        self.lines, self._queue = [], queue.Queue()
        threading.Thread(target=self._read, args=(process.stdout,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self._queue.put(line)
        self._queue.put(None)  # every holder of the pipe, workers too, has closed it

    def wait_for(self, text, count=1):
        """Reads until `text` has come `count` times, or until the end. Counted in the whole
        output, not per line: two workers that print at once can put one's text before the
        other's newline."""
        while self.text().count(text) < count:
            line = self._queue.get(timeout=WAIT_S)
            if line is None:
                break
            self.lines.append(line)
        return self.text().count(text) >= count

    def finish(self):
        """Reads to the end: every process that held the output has exited."""
        self.wait_for("\0")
        return self.text()

    def text(self):
        return "".join(self.lines)


def motor_statuses():
    """The status each motor reports now, per bus: 0 disabled, 1 enabled."""
    found = {}
    for iface in IFACES:
        bus = jointbus.SocketCanTransport(iface)
        for motor in MOTORS:
            motor_id, master_id = (int(field, 0) for field in motor.split(":")[:2])
            state = jointbus.Damiao(motor_id, master_id, timeout_ms=500).clear_error(bus)
            found[iface, motor_id] = state.error
    return found


ALL_DISABLED = {(iface, motor_id): 0 for iface in IFACES for motor_id in (1, 2)}


@pytest.fixture
def motors():
    with ExitStack() as stack:
        for iface in IFACES:
            stack.enter_context(VirtualMotor(iface, MOTOR_ARGS))
        yield


def test_streams_to_both_buses_and_disables_at_the_end(motors, tmp_path):
    summary_path = tmp_path / "summary.json"
    # The rate this machine reaches is not under test here.
    process = controller("--duration", "1", "--rate", "100", "--ramp", "0.3",
                         "--heartbeat-limit-ms", "2000", "--min-rate-fraction", "0",
                         "--summary", str(summary_path))
    stdout, _ = process.communicate(timeout=WAIT_S)
    assert process.returncode == 0, stdout
    summary = json.loads(summary_path.read_text())
    assert summary["outcome"] == "finished"
    for bus in summary["buses"]:
        assert bus["ended"] == "stopped when asked (exit status 0)"
        assert bus["served"] > 20
        for motor in bus["motors"]:
            assert motor["replies"] > 20
            assert (motor["final_status"], motor["disabled"]) == (0, True)
            assert motor["rms_error_rad"] < 0.15  # it followed the 0.5 rad sine
    for iface in IFACES:
        assert f"[{iface}] motor 0x2: was in another control mode, switched to MIT mode" in stdout
    assert motor_statuses() == ALL_DISABLED


def test_a_rate_no_machine_keeps_ends_the_run_as_too_slow(motors, tmp_path):
    summary_path = tmp_path / "summary.json"
    process = controller("--duration", "0.1", "--rate", "1e6", "--heartbeat-limit-ms", "2000",
                         "--summary", str(summary_path))
    stdout, _ = process.communicate(timeout=WAIT_S)
    assert process.returncode == 1, stdout
    assert "too slow: a bus served " in stdout and "of 100000 ticks, below 90%" in stdout
    summary = json.loads(summary_path.read_text())
    assert summary["outcome"] == "too slow"
    assert all(motor["disabled"] for bus in summary["buses"] for motor in bus["motors"])


@pytest.mark.parametrize("fault", ["ctrl-c", "hang controller", "kill controller",
                                   "kill worker"])
def test_every_motor_ends_disabled(motors, fault):
    process = controller("--duration", "120", "--rate", "100", "--heartbeat-limit-ms", "1000")
    out = Output(process)
    try:
        # Streaming on both buses: the second progress line comes about a second in.
        assert out.wait_for(" served, ", count=2), out.text()
        if fault == "ctrl-c":
            os.killpg(process.pid, signal.SIGINT)
            assert process.wait(WAIT_S) == 130
            assert out.finish().count("stopped when asked") == 2
        elif fault == "hang controller":
            # The workers must notice alone, while the controller cannot do a thing.
            process.send_signal(signal.SIGSTOP)
            assert out.wait_for("no heartbeat from the controller", count=2), out.text()
            assert out.wait_for("motor 0x2: disabled", count=2), out.text()
            assert motor_statuses() == ALL_DISABLED
            process.send_signal(signal.SIGCONT)
            assert process.wait(WAIT_S) == 1
            assert "stopped by itself: it lost the controller" in out.finish()
        elif fault == "kill controller":
            process.kill()
            text = out.finish()
            for iface in IFACES:
                assert f"[{iface}] the controller process is gone" in text
        else:
            worker = out.text().split(f"worker for {IFACES[1]}: pid ")[1].split(",")[0]
            os.kill(int(worker), signal.SIGKILL)
            assert process.wait(WAIT_S) == 1
            text = out.finish()
            assert f"worker for {IFACES[1]} (pid {worker}) killed by SIGKILL" in text
            assert f"[{IFACES[1]}, from the controller] motor 0x1: disabled" in text
            assert f"[{IFACES[0]}] motor 0x1: disabled" in text
        assert motor_statuses() == ALL_DISABLED
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGCONT)
            process.kill()
            process.wait()
