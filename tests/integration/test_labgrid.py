"""The labgrid driver shipped in integrations/labgrid, loaded by Debian's
labgrid through an environment file's `imports:` (by module name, as an
installed package is), programming a simulated board through a real ser2net
(RFC 2217 and raw) and on a local port."""

import sys
import time
from pathlib import Path

import pytest
from labgrid import Environment
from labgrid.driver.exception import ExecutionError

from conftest import BOOTLINK, SANITIZED, TOOLCHAIN, Ser2net, hex_bytes

through_ser2net = pytest.mark.skipif(SANITIZED, reason="ser2net's own timing under sanitizer load")

# Where `cmake --install` and the package put it, this folder stands in for.
sys.path.insert(0, str(Path(__file__).parents[2] / "integrations" / "labgrid"))
FILE = TOOLCHAIN / "tables-30k.hex"


def target_for(tmp_path, resource, driver=None):
    """A labgrid target from an environment file, as a farm writes one."""
    driver = driver or {"pace": 0}
    lines = ["targets:", "  main:", "    resources:"]
    for name, fields in resource.items():
        lines.append(f"      {name}:")
        lines += [f"        {k}: {v}" for k, v in fields.items()]
    lines += ["    drivers:", "      BootlinkDriver:"]
    lines += [f"        {k}: {v}" for k, v in driver.items()] or ["        {}"]
    lines += ["tools:", f"  bootlink: {BOOTLINK}", "imports:", "  - bootlink_labgrid"]
    config = tmp_path / "env.yaml"
    config.write_text("\n".join(lines) + "\n")
    return Environment(str(config)).get_target("main")


def holds_file(memory):
    return all(memory[a] == b for a, b in hex_bytes(FILE).items() if a < 0x200000)


@through_ser2net
@pytest.mark.parametrize("protocol", ["rfc2217", "raw"])
def test_load_through_ser2net(tmp_path, boards, protocol):
    board = boards("board")
    server = Ser2net(tmp_path, board.path, rfc2217=protocol == "rfc2217")
    try:
        target = target_for(tmp_path, {"NetworkSerialPort": {"host": "127.0.0.1", "port": server.port,
                                                             "protocol": protocol}})
        bootlink = target.get_driver("BootlinkDriver")
        assert bootlink.device() == ("rfc2217" if protocol == "rfc2217" else "socket") + f"://127.0.0.1:{server.port}"
        outcome = bootlink.load(str(FILE))
        assert outcome["result"] == "ok" and outcome["device_id"] == "0x4c20"
        assert holds_file(board.memory())
    finally:
        server.stop()


@through_ser2net
def test_a_silent_board_raises_its_kind_in_bounded_time(tmp_path, boards):
    board = boards("board", "--fault", "no-answer")
    server = Ser2net(tmp_path, board.path, rfc2217=True)
    try:
        target = target_for(tmp_path, {"NetworkSerialPort": {"host": "127.0.0.1", "port": server.port}},
                            {"pace": 0, "timeout": 300, "retries": 1})
        began = time.monotonic()
        with pytest.raises(ExecutionError) as raised:
            target.get_driver("BootlinkDriver").load(str(FILE))
        took = time.monotonic() - began
        assert raised.value.kind == "no-reply"
        assert "no reply" in raised.value.msg
        assert took < (1 + 1) * 0.3 + 5  # the retries' waits, a probe, the tool's start: with a wide margin
    finally:
        server.stop()


def test_a_local_port_loads_and_verifies(tmp_path, boards):
    board = boards("board", sessions=3)
    target = target_for(tmp_path, {"RawSerialPort": {"port": board.path, "speed": 19200}},
                        {"pace": 0, "expect_id": 0x4C20, "write_config": True})
    bootlink = target.get_driver("BootlinkDriver")
    assert bootlink.load(str(FILE))["program"]["written"] > 30000
    assert bootlink.verify(str(FILE))["result"] == "ok"
    bootlink.reset()
    assert holds_file(board.memory())


def test_another_part_is_refused(tmp_path, boards):
    board = boards("board")
    target = target_for(tmp_path, {"RawSerialPort": {"port": board.path}}, {"pace": 0, "expect_id": 0x1234})
    with pytest.raises(ExecutionError) as raised:
        target.get_driver("BootlinkDriver").load(str(FILE))
    assert raised.value.kind == "wrong-device" and raised.value.outcome["status"] == 255
