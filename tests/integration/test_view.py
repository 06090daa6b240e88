"""jointbus-view live beside the demo controller and virtual motors: its event stream, read with
a plain HTTP client, must carry the states the motors sent (as candump recorded them and
jointbus-trace decodes them), and its missed-reply trigger must capture a withheld reply."""
import http.client
import json
import math
import os
import signal
import socket
import subprocess
import time

import pytest

from virtual_motor import REPO_ROOT

IFACE = os.environ.get("JOINTBUS_VCAN")
pytestmark = pytest.mark.skipif(
    not IFACE, reason="needs a CAN interface: run through tools/with-vcan (tools/bus-tests)")

BUILD = REPO_ROOT / "build/release"
MOTORS = ["1:0x11:dm4310", "2:0x12:dm4340", "3:0x13:dm6006:drop_every=40"]


def motor_args(settings=True):
    motors = MOTORS if settings else [":".join(m.split(":")[:3]) for m in MOTORS]
    return [arg for motor in motors for arg in ("--motor", motor)]


def receivers(iface):
    with open("/proc/net/can/rcvlist_all") as table:
        return sum(1 for line in table if line.split()[:1] == [iface])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_events(port, query, wanted, until_us, timeout=60):
    """The first SSE message of each kind in `wanted`, read with http.client; the columns
    messages (a backlog comes in pieces) joined into one that reaches the column before the one
    holding `until_us`, the last frame, which no later frame completes."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request("GET", "/events?" + query)
    response = connection.getresponse()
    assert response.status == 200
    found, kind = {}, None

    def complete():
        columns = found.get("columns")
        return wanted <= found.keys() and (
            columns["first"] + columns["count"] + 1) * columns["width_us"] > until_us

    deadline = time.monotonic() + timeout
    while not complete():
        assert time.monotonic() < deadline, f"no {wanted - found.keys()} in the stream"
        line = response.readline().decode().rstrip("\n")
        if line.startswith("event: "):
            kind = line[7:]
        elif line.startswith("data: ") and kind == "columns" and kind in found:
            more, columns = json.loads(line[6:]), found[kind]
            assert more["first"] == columns["first"] + columns["count"], "a gap in the columns"
            for motor, added in zip(columns["motors"], more["motors"]):
                for values, extra in zip(motor, added):
                    values += extra
            columns["count"] += more["count"]
        elif line.startswith("data: ") and kind not in found:
            found[kind] = json.loads(line[6:])
    connection.close()
    return found


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    out = tmp_path_factory.mktemp("view")
    port = free_port()
    before = receivers(IFACE)
    candump = subprocess.Popen(["candump", "-L", IFACE], stdout=(out / "bus.log").open("w"),
                               stderr=subprocess.DEVNULL)
    # A window long enough to keep the whole run however slowly a loaded machine runs the demo.
    view = subprocess.Popen([str(BUILD / "view/jointbus-view"), IFACE, "--port", str(port),
                             "--window", "300", *motor_args(settings=False)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while receivers(IFACE) < before + 2:
            assert time.monotonic() < deadline, "candump and jointbus-view never bound"
            assert candump.poll() is None and view.poll() is None, view.stderr.read()
            time.sleep(0.02)
        demo = subprocess.run(
            [str(REPO_ROOT / "tools/demo-run"), *motor_args(), "--duration", "1", "--rate", "500",
             "--timeout-ms", "100", "--min-rate-fraction", "0", "--out", str(out / "demo")],
            capture_output=True, text=True, timeout=300)
        assert demo.returncode == 0, demo.stdout + demo.stderr
        candump.send_signal(signal.SIGINT)
        candump.wait(timeout=30)
        # The window holds the whole run; the columns are read up to its last frame.
        last_us = round(float((out / "bus.log").read_text().split()[-3].strip("()")) * 1e6)
        events = read_events(port, "width=2000&window=300&trigger=missed&pre=0.05&post=0.05",
                             {"hello", "columns", "capture"}, last_us)
    finally:
        if candump.poll() is None:
            candump.kill()
        view.send_signal(signal.SIGINT)
        status = view.wait(timeout=30)
    assert status == 0, view.stderr.read()
    subprocess.run([str(BUILD / "trace/jointbus-trace"), str(out / "bus.log"), "-q", "--csv",
                    str(out / "trace.csv"), *motor_args(settings=False)], check=True,
                   stdout=subprocess.DEVNULL)
    lines = (out / "trace.csv").read_text().splitlines()
    header = lines[0].split(",")
    rows = [dict(zip(header, line.split(","))) for line in lines[1:]]
    for row in rows:
        row["time_us"] = round(float(row["time"]) * 1e6)
    return events, rows


def test_sends_no_frame_while_a_page_reads(tmp_path):
    """Alone on the bus with a page reading its stream, nothing appears on the bus."""
    port = free_port()
    before = receivers(IFACE)
    candump = subprocess.Popen(["candump", "-L", IFACE], stdout=(tmp_path / "bus.log").open("w"),
                               stderr=subprocess.DEVNULL)
    view = subprocess.Popen([str(BUILD / "view/jointbus-view"), IFACE, "--port", str(port),
                             *motor_args(settings=False)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while receivers(IFACE) < before + 2:
            assert time.monotonic() < deadline, "candump and jointbus-view never bound"
            time.sleep(0.02)
        for path in ("/", "/motors", "/view.js", "/trace.csv?bus=" + IFACE + "&from=0&to=1"):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", path)
            connection.getresponse().read()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/events?trigger=missed")
        response = connection.getresponse()
        time.sleep(2)
        response.close()
    finally:
        view.send_signal(signal.SIGINT)
        assert view.wait(timeout=30) == 0
        candump.send_signal(signal.SIGINT)
        candump.wait(timeout=30)
    assert (tmp_path / "bus.log").read_text() == ""


def test_stream_carries_every_reply_the_motors_sent(recorded):
    events, rows = recorded
    hello, columns = events["hello"], events["columns"]
    assert [m["motor_id"] for m in hello["motors"]] == [1, 2, 3]
    signals = hello["signals"]
    width, first = columns["width_us"], columns["first"]
    compared = 0
    for m, motor_id in enumerate((1, 2, 3)):
        for signal_name, kind, column in (("q", "reply", "position"), ("tau", "reply", "torque"),
                                          ("q_cmd", "command", "q")):
            values = columns["motors"][m][signals.index(signal_name)]
            for c in range(columns["count"]):
                start = (first + c) * width
                sent = [float(r[column]) for r in rows
                        if r["event"] == kind and r["motor_id"] == str(motor_id) and r[column]
                        and start <= r["time_us"] < start + width]
                pair = values[2 * c:2 * c + 2]
                if not sent:
                    assert pair == [None, None]
                    continue
                assert sorted(pair) == pytest.approx([min(sent), max(sent)], rel=1e-6), \
                    f"motor {motor_id} {signal_name} column {c}"
                compared += 1
    assert compared > 30


def test_trigger_captures_a_withheld_reply(recorded):
    events, rows = recorded
    capture = events["capture"]
    missed = sorted((r["time_us"], int(r["motor_id"])) for r in rows
                    if r["event"] == "missed" and r["pairing"] == "missed")
    assert any(motor == 3 for _, motor in missed), "drop_every withheld no reply"
    # The first miss of any motor fires it.
    assert (capture["trigger_us"], capture["motor"] + 1) == missed[0]
    assert any(row[1 + 14] == 1 for row in capture["rows"])  # the missed signal, 15th
    assert math.isclose(capture["to_us"] - capture["from_us"], 100_000)
