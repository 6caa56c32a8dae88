"""The Windows build (bootlink.exe) under Wine against the simulated
device: Wine names the simulator's pseudo-terminal as a COM port through a
link in its prefix (dosdevices/comN), and the tool opens it with
CreateFile as it would a USB adapter. Each run is compared with the Linux
tool's on a board of its own: the same output (names and times aside), the
same requests on the wire, the same memory afterwards."""

import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BOOTLINK, SANITIZED, TOOLCHAIN, Ser2net, hex_bytes

BOOTLINK_EXE = os.environ.get("BOOTLINK_EXE", "")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = str(Path(WINE).parent / "wineserver")
pytestmark = pytest.mark.skipif(not BOOTLINK_EXE, reason="no Windows build named (BOOTLINK_EXE)")
BLINK = Path(__file__).parents[2] / "examples" / "blink.hex"


class Wine:
    """A Wine prefix of the tests' own; COM ports are links in it."""

    def __init__(self, folder: Path):
        self.prefix = folder / "prefix"
        self.env = {**os.environ, "WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        self.env.pop("DISPLAY", None)
        self.next_port = 5
        subprocess.run([WINE, BOOTLINK_EXE, "--version"], env=self.env, capture_output=True, timeout=180, check=True)
        appdata = subprocess.run([WINE, "cmd", "/c", "echo", "%APPDATA%"], env=self.env, capture_output=True,
                                 text=True, timeout=60).stdout.strip()
        self.appdata = Path(subprocess.run([WINE, "winepath", "-u", appdata], env=self.env, capture_output=True,
                                           text=True, timeout=60).stdout.strip())

    def com_port(self, board) -> str:
        """The board's terminal as the next free COM port."""
        name = f"COM{self.next_port}"
        self.next_port += 1
        link = self.prefix / "dosdevices" / name.lower()
        link.unlink(missing_ok=True)
        link.symlink_to(os.path.realpath(board.path))
        return name

    def start(self, args, cwd):
        return subprocess.Popen([WINE, BOOTLINK_EXE, *args], env=self.env, cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run(self, args, cwd, timeout=120):
        proc = self.start(args, cwd)
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    w = Wine(tmp_path_factory.mktemp("wine"))
    yield w
    subprocess.run([WINESERVER, "-k"], env=w.env, timeout=60)


def windows_path(path: Path) -> str:
    """The path as a Windows program is given it: Wine's Z: is the root."""
    return "Z:" + str(path).replace("/", "\\")


def linux(args, cwd, timeout=120):
    proc = subprocess.run([BOOTLINK, *args], cwd=cwd, capture_output=True, timeout=timeout,
                          env={**os.environ, "XDG_CONFIG_HOME": "/nonexistent", "XDG_STATE_HOME": "/nonexistent"})
    return proc.returncode, proc.stdout, proc.stderr


def same_text(out: bytes, names) -> str:
    """Output with the run's own names and the times taken out: what must
    be byte for byte the same on both systems."""
    text = out.decode()
    for name, as_ in names:
        text = text.replace(name, as_)
    text = re.sub(r"bootlink-kept-\S+\.hex", "KEPT", text)
    text = re.sub(r"\d+\.\d+ ?s\b", "T", text)
    return text


def requests(board) -> list:
    """The requests the board's simulator logged (its time stamps aside)."""
    board.proc.wait(timeout=30)
    return [re.sub(r"^@\s*[\d.]+ ms\s+", "", line) for line in Path(board.log.name).read_text().splitlines()]


def both(wine, boards, tmp_path, args, *sim_args, sessions=1):
    """The same run by each tool on a board of its own: (status, text,
    requests, memory) for Windows, then for Linux."""
    results = []
    for system in ("windows", "linux"):
        board = boards(system, *sim_args, sessions=sessions, quiet=False)
        folder = tmp_path / (system + "-run")
        folder.mkdir(exist_ok=True)
        if system == "windows":
            port = wine.com_port(board)
            status, out, _ = wine.run(["--device", port, *args], folder)
            names = [(port, "DEVICE")]
        else:
            status, out, _ = linux(["--device", board.path, *args], folder)
            names = [(board.path, "DEVICE")]
        board.log.flush()
        results.append((status, same_text(out, names), requests(board), board.memory()))
    return results


TOOLCHAIN_FILES = sorted(p.name for p in TOOLCHAIN.glob("*.hex"))


@pytest.mark.parametrize("name", TOOLCHAIN_FILES)
def test_program_every_toolchain_file_as_linux_does(name, wine, boards, tmp_path):
    hexfile = str(TOOLCHAIN / name)
    (w_status, w_text, w_wire, w_flash), (l_status, l_text, l_wire, l_flash) = both(
        wine, boards, tmp_path, ["--pace", "0", "--eeprom-size", "1024", "--program", "--write-config", "--hexfile", hexfile], "--eeprom-size", "1024")
    assert (w_status, w_text) == (l_status, l_text)
    assert w_status == 0
    assert w_wire == l_wire
    assert w_flash == l_flash
    if "word-form" not in name:  # that form's addresses count words: the C++ tests decode it
        for address, value in hex_bytes(TOOLCHAIN / name).items():
            if address < 0x200000:
                assert w_flash[address] == value, hex(address)


def test_verify_and_readflash_give_the_same_bytes(wine, boards, tmp_path):
    args = ["--program", "--write-config", "--hexfile", str(BLINK)]
    board = boards("board", sessions=3)
    port = wine.com_port(board)
    assert wine.run(["--device", port, *args], tmp_path)[0] == 0
    # Paths as Windows writes them: a drive letter and backslashes.
    status, out, _ = wine.run(["--device", port, "--verify", "--hexfile", windows_path(BLINK)], tmp_path)
    assert status == 0 and b"[OK => " in out
    status, out, _ = wine.run(["--device", port, "--readflash", "--bytes", "64", "--startaddr", "0", "--output",
                               windows_path(tmp_path / "out.hex")], "/")
    assert status == 0
    board.memory()
    # The Linux tool reading the same memory writes the same file, LF for LF.
    twin = boards("twin", "--flash", str(board.flash))
    assert linux(["--device", twin.path, "--readflash", "--bytes", "64", "--startaddr", "0", "--output",
                  str(tmp_path / "linux.hex")], tmp_path)[0] == 0
    assert (tmp_path / "out.hex").read_bytes() == (tmp_path / "linux.hex").read_bytes()
    assert b"\r\n" not in (tmp_path / "out.hex").read_bytes()


def test_readall_then_restore_onto_a_blank_board(wine, boards, tmp_path):
    source = boards("source", sessions=2)
    port = wine.com_port(source)
    assert wine.run(["--device", port, "--pace", "0", "--program", "--write-config", "--hexfile", str(TOOLCHAIN / "tables-30k.hex")],
                    tmp_path)[0] == 0
    status, out, _ = wine.run(["--device", port, "--pace", "0", "--readall", "--flash-size", "32768", "--output", "backup.hex"],
                              tmp_path)
    assert status == 0, out
    blank = boards("blank")
    status, out, _ = wine.run(["--device", wine.com_port(blank), "--pace", "0", "--program", "--write-config",
                               "--hexfile", "backup.hex"], tmp_path)
    assert status == 0, out
    assert blank.memory()[:32768] == source.memory()[:32768]


def test_a_silent_device_ends_within_its_bound(wine, boards, tmp_path):
    board = boards("silent", "--fault", "no-answer")
    start = time.monotonic()
    status, out, _ = wine.run(["--device", wine.com_port(board), "--timeout", "300", "--retries", "1", "--program",
                               "--hexfile", str(BLINK)], tmp_path, timeout=60)
    took = time.monotonic() - start
    assert status == 255 and b"[ERROR" in out
    assert took < 2 * 0.3 + 5 + 3  # (retries + 1) x timeout, the wake's own waits, and Wine's start


def test_ctrl_c_waits_for_the_held_write_back(wine, boards, tmp_path):
    # A board on a slow wire: the row's write-back takes long enough to be stopped in.
    board = boards("slow", "--baud", "19200", "--write-time", "20000", "--erase-time", "20000")
    proc = wine.start(["--device", wine.com_port(board), "--program", "--hexfile", str(BLINK)], tmp_path)
    seen = b""
    deadline = time.monotonic() + 60
    while b"rewriting" not in seen and time.monotonic() < deadline:
        seen += proc.stdout.read1(4096)
    assert b"rewriting" in seen
    proc.send_signal(signal.SIGINT)  # Wine hands it to the console's control handler as Ctrl-C
    out, _ = proc.communicate(timeout=60)
    seen += out
    assert proc.returncode == 130, seen
    assert b"[interrupted]" in seen
    # The row holds the file's bytes where it gives them and the device's own elsewhere: nothing lost.
    memory = board.memory()
    for address, value in hex_bytes(BLINK).items():
        if address < 0x200000:
            assert memory[address] == value, hex(address)
    assert not list(tmp_path.glob("bootlink-kept-*.hex"))  # written back, so not kept


@pytest.mark.skipif(SANITIZED, reason="a real server's timing")
@pytest.mark.parametrize("rfc2217", [False, True], ids=["socket", "rfc2217"])
def test_through_a_real_ser2net(rfc2217, wine, boards, tmp_path):
    board = boards("served", sessions=1)
    server = Ser2net(tmp_path, board.path, rfc2217)
    try:
        status, out, _ = wine.run(["--device", server.url, "--pace", "0", "--program", "--hexfile", str(TOOLCHAIN / "tables-30k.hex")],
                                  tmp_path)
        assert status == 0, out
    finally:
        server.stop()
    memory = board.memory()
    for address, value in hex_bytes(TOOLCHAIN / "tables-30k.hex").items():
        if address < 0x200000:
            assert memory[address] == value, hex(address)


def test_four_boards_at_once(wine, boards, tmp_path):
    four = [boards(f"b{k}") for k in range(4)]
    ports = [wine.com_port(b) for b in four]
    status, out, _ = wine.run(["--devices", ",".join(ports), "--program", "--hexfile", str(BLINK)], tmp_path)
    text = out.decode()
    assert status == 0, text
    assert "[OK => every board succeeded]" in text
    for port in ports:
        assert re.search(rf"^{port} +0x4c20 +ok ", text, re.M), text
    for b in four:
        memory = b.memory()
        for address, value in hex_bytes(BLINK).items():
            if address < 0x200000:
                assert memory[address] == value


def test_defaults_come_from_appdata(wine, boards, tmp_path):
    board = boards("configured")
    port = wine.com_port(board)
    folder = wine.appdata / "bootlink"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "config.toml").write_text(f'device = "{port}"\nretries = 4\n')
    try:
        status, out, _ = wine.run(["--show-config"], tmp_path)
        assert status == 0
        assert re.search(rf"device +{port} .*config\.toml", out.decode()), out
        status, out, _ = wine.run(["--reset"], tmp_path)
        assert status == 0, out
    finally:
        (folder / "config.toml").unlink()


def test_wait_programs_a_board_as_its_port_appears(wine, boards, tmp_path):
    board = boards("plugged")
    port = f"COM{wine.next_port}"
    wine.next_port += 1
    link = wine.prefix / "dosdevices" / port.lower()
    proc = wine.start(["--device", port, "--wait", "--count", "1", "--program", "--hexfile", str(BLINK)], tmp_path)
    time.sleep(2)  # the line waits for a port that is not there yet
    assert proc.poll() is None
    link.symlink_to(os.path.realpath(board.path))  # plugged in
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0, out
    assert f"[OK => board 1 on {port}".encode() in out
    memory = board.memory()
    for address, value in hex_bytes(BLINK).items():
        if address < 0x200000:
            assert memory[address] == value


def test_ctrl_c_reaches_every_board(wine, boards, tmp_path):
    two = [boards(f"stopped{k}", "--baud", "19200") for k in range(2)]
    ports = [wine.com_port(b) for b in two]
    proc = wine.start(["--devices", ",".join(ports), "--program", "--hexfile", str(TOOLCHAIN / "tables-30k.hex")],
                      tmp_path)
    seen = b""
    deadline = time.monotonic() + 60
    while seen.count(b"device ID 0x4c20") < 2 and time.monotonic() < deadline:
        seen += proc.stdout.read1(4096)
    proc.send_signal(signal.SIGINT)  # the parent's console control handler; it passes the stop on
    out, _ = proc.communicate(timeout=60)
    text = (seen + out).decode()
    assert proc.returncode == 130, text
    for port in ports:
        assert re.search(rf"^{port} +0x4c20 +interrupted ", text, re.M), text
    for b in two:  # each let its line go: the simulator saw its session end
        b.proc.wait(timeout=30)


def test_many_boards_with_an_action_that_takes_no_file(wine, boards, tmp_path):
    two = [boards(f"erased{k}") for k in range(2)]
    ports = [wine.com_port(b) for b in two]
    status, out, _ = wine.run(["--devices", ",".join(ports), "--eraseeeprom"], tmp_path)
    assert status == 0, out
    assert b"[OK => every board succeeded]" in out
