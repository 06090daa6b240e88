"""jointbus-view's server on a replay: only GET from this machine's names, and a page that
stops reading costs the program no memory (nothing queues for it)."""
import http.client
import json
import re
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
VIEW = REPO / "build/release/view/jointbus-view"
MOTORS = [arg for k in range(1, 9) for arg in ("--motor", f"{k}:0x{0x10 + k:x}:dm4310")]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1))


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    log = tmp_path_factory.mktemp("view") / "bus.log"
    subprocess.run([sys.executable, str(REPO / "tests/view/make_log.py"), str(log), "--buses",
                    "4", "--motors", "8", "--seconds", "3"], check=True)
    # The motors from the recording's .motors file, as the demo leaves them beside its log.
    (log.parent / "bus.log.motors").write_text("".join(m + "\n" for m in MOTORS[1::2]))
    port = free_port()
    view = subprocess.Popen([str(VIEW), "--replay", str(log), "--loop", "--window", "1",
                             "--port", str(port)], stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert time.monotonic() < deadline and view.poll() is None
            time.sleep(0.1)
    yield port, view
    view.terminate()
    view.wait(timeout=30)


@pytest.mark.parametrize("method, headers, status", [
    ("GET", {}, 200),
    ("GET", {"Host": "localhost:1"}, 200),
    ("GET", {"Host": "evil.example"}, 403),
    ("GET", {"Host": "127.0.0.1.evil.example"}, 403),
    ("GET", {"Origin": "http://evil.example"}, 403),
    ("POST", {}, 405),
    ("PUT", {}, 405),
])
def test_only_get_from_this_machines_names(server, method, headers, status):
    port, _ = server
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request(method, "/motors", body="x" if method != "GET" else None,
                       headers=headers)
    assert connection.getresponse().status == status


def test_stalled_page_costs_no_memory(server):
    """Fault guarded: messages queued for a page that does not read grow without bound."""
    port, view = server
    time.sleep(5)  # the kept span (the window and 2.5 s) filled
    stalled = socket.create_connection(("127.0.0.1", port))
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.sendall(b"GET /events?width=2000&window=1&refresh=30 HTTP/1.1\r\n"
                    b"Host: 127.0.0.1\r\n\r\n")
    time.sleep(2)  # its first message made and stuck in the socket
    before = rss_kib(view.pid)
    time.sleep(10)  # 640,000 frames on the buses meanwhile, some 40 MB of JSON if queued
    grown = rss_kib(view.pid) - before
    stalled.close()
    assert grown < 8 * 1024, f"the program grew by {grown} KiB"
    assert view.poll() is None


def test_a_recording_plays_with_the_motors_listed_beside_it(server):
    port, _ = server
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", "/motors")
    motors = json.loads(connection.getresponse().read())["motors"]
    assert {m["motor_id"] for m in motors} == set(range(1, 9))
