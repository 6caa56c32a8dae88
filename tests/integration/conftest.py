"""Shared pieces of the Python tests: the built tool and simulator, a
simulated board on a pseudo-terminal, and a real ser2net in front of one."""

import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

BOOTLINK = os.environ.get("BOOTLINK", "build/bootlink")
BOOTLINK_SIM = os.environ.get("BOOTLINK_SIM", "build/bootlink-sim")
TOOLCHAIN = Path(os.environ.get("FIXTURES_DIR", "tests/fixtures")) / "toolchain"
# A sanitized build: a real server's timing on a machine that loaded is not what is tested there.
SANITIZED = os.environ.get("BOOTLINK_SANITIZED") == "1"


class Board:
    """A simulated board: bootlink-sim on a pseudo-terminal, reachable at
    `path` (a link to the terminal), its program memory saved to `flash`
    when it exits."""

    def __init__(self, folder: Path, name: str, *args: str, sessions: int = 1, quiet: bool = True):
        self.path = str(folder / name)
        self.flash = folder / (name + ".flash")
        self.log = open(folder / (name + ".log"), "w")
        self.proc = subprocess.Popen(
            [BOOTLINK_SIM, "--link", self.path, "--sessions", str(sessions), *(["--quiet"] if quiet else []),
             "--save-flash", str(self.flash), *args],
            stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the simulator did not start")
            time.sleep(0.01)

    def memory(self) -> bytes:
        """Program memory once the board has been used and let go."""
        self.proc.wait(timeout=20)
        return self.flash.read_bytes()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.log.close()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port: int) -> bool:
    """Whether something listens on 127.0.0.1:port, read from /proc so that
    asking does not make the server open the board's line."""
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as tcp:
        return any(want in line and " 0A " in line for line in tcp)


class Ser2net:
    """A real ser2net in front of `device`, on 127.0.0.1 at `port`, raw or
    RFC 2217, as a farm's exporter runs it (`nodelay` as asked)."""

    def __init__(self, folder: Path, device: str, rfc2217: bool, nodelay: bool = True):
        self.port = free_port()
        self.rfc2217 = rfc2217
        conf = folder / f"ser2net-{self.port}.yaml"
        tcp = "tcp(nodelay=true)" if nodelay else "tcp"
        accepter = f"{'telnet(rfc2217),' if rfc2217 else ''}{tcp},127.0.0.1,{self.port}"
        conf.write_text(
            "%YAML 1.1\n---\n"
            f"connection: &board\n  accepter: {accepter}\n"
            f"  connector: serialdev,{os.path.realpath(device)},19200n81,local\n"
            "  options:\n    chardelay: false\n    kickolduser: true\n")
        self.proc = subprocess.Popen(["ser2net", "-n", "-c", str(conf), "-P", str(folder / f"ser2net-{self.port}.pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not listening(self.port):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("ser2net did not start (Debian package ser2net)")
            time.sleep(0.02)

    @property
    def url(self) -> str:
        return f"{'rfc2217' if self.rfc2217 else 'socket'}://127.0.0.1:{self.port}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


@pytest.fixture
def boards(tmp_path):
    made = []

    def make(name="board", *args, sessions=1, quiet=True):
        b = Board(tmp_path, name, *args, sessions=sessions, quiet=quiet)
        made.append(b)
        return b

    yield make
    for b in made:
        b.stop()


def hex_bytes(path: Path) -> dict:
    """The bytes an Intel hex file gives, by address (the tests' own reading)."""
    data, base = {}, 0
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line.startswith(":"):
            continue
        raw = bytes.fromhex(line[1:])
        count, address, kind = raw[0], int.from_bytes(raw[1:3], "big"), raw[3]
        if kind == 0:
            for i in range(count):
                data[base + address + i] = raw[4 + i]
        elif kind == 4:
            base = int.from_bytes(raw[4:6], "big") << 16
        elif kind == 2:
            base = int.from_bytes(raw[4:6], "big") << 4
        elif kind == 1:
            break
    return data
