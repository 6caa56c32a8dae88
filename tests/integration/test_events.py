"""--json: every event of a set of runs (a success, each kind of failure,
many boards with one failing) validates against the schema in the
repository; the stream is JSON and nothing else, starts with "start" and
ends with "end", whose status is the process's."""

import json
import os
import signal
import subprocess
import time
from pathlib import Path

import jsonschema
import pytest

from conftest import BOOTLINK, TOOLCHAIN, hex_bytes

SCHEMA = json.loads((Path(__file__).parents[2] / "schemas" / "events.schema.json").read_text())
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)
FILE = str(TOOLCHAIN / "tables-30k.hex")


def events_of(args, timeout=60, stop_after=None):
    """Runs the tool with --json; its events and its exit status."""
    proc = subprocess.Popen([BOOTLINK, "--json", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, "XDG_CONFIG_HOME": "/nonexistent"})
    if stop_after is not None:
        time.sleep(stop_after)
        proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=timeout)
    events = [json.loads(line) for line in out.decode().splitlines()]  # any line that is not JSON fails here
    for e in events:
        errors = sorted(VALIDATOR.iter_errors(e), key=str)
        assert not errors, f"{e}: {errors[0].message}"
    return events, proc.returncode


def check_shape(events, status):
    """One run's own stream (a board's events carry its name): start first,
    one end last, with the process's status."""
    own = [e["event"] for e in events if "board" not in e]
    assert own[-1] == "end" and own.count("end") == 1 and events[-1]["event"] == "end"
    assert events[-1]["status"] == status
    if len(own) > 1:
        assert own[0] == "start" and own.count("start") == 1 and events[0]["event"] == "start"


CASES = {
    # name: (simulator faults, extra arguments, result kind)
    "verify_failed": ([], ["--verify", "--hexfile", FILE], "verify-failed"),
    "no_reply": (["--fault", "no-answer"], ["--timeout", "200", "--retries", "1", "--program", "--hexfile", FILE],
                 "no-reply"),
    "damaged_line": (["--fault", "bad-checksum"], ["--timeout", "200", "--retries", "1", "--verify", "--hexfile", FILE],
                     "damaged-line"),
    "wrong_device": ([], ["--expect-id", "0x1234", "--program", "--hexfile", FILE], "wrong-device"),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_failures_end_with_their_kind(name, boards):
    faults, args, kind = CASES[name]
    board = boards("board", *faults)
    events, status = events_of(["--device", board.path, "--pace", "0", *args])
    check_shape(events, status)
    assert status == 255
    assert events[-1]["result"] == kind
    assert events[-1]["message"]


def test_a_program_streams_its_phases_and_ends_ok(boards):
    board = boards("board")
    events, status = events_of(["--device", board.path, "--pace", "0", "--program", "--hexfile", FILE])
    check_shape(events, 0)
    start, end = events[0], events[-1]
    assert start["device"] == board.path and start["action"] == "program"
    assert start["line"]["pace"] == {"value": 0, "from": "from the command line"}
    assert end["result"] == "ok" and end["device_id"] == "0x4c20" and end["program"]["written"] > 30000
    phases = [e["name"] for e in events if e["event"] == "phase"]
    assert any(p.startswith("erasing") for p in phases) and any(p.startswith("writing") for p in phases)
    # Each phase's progress ends at its total.
    for i, e in enumerate(events):
        if e["event"] == "phase" and e["total"] > 0:
            ups = [p for p in events[i + 1:] if p["event"] == "progress"]
            assert ups and ups[0]["total"] == e["total"]
    memory = board.memory()
    for address, byte in hex_bytes(Path(FILE)).items():
        if address < 0x200000:
            assert memory[address] == byte, hex(address)


def test_progress_is_rate_limited(boards):
    # A slow line: a phase of many seconds sends a few progress events a second, not one a request.
    board = boards("board", "--baud", "19200")
    began = time.monotonic()
    events, status = events_of(["--device", board.path, "--pace", "0", "--verify", "--hexfile", FILE])
    took = time.monotonic() - began
    check_shape(events, status)
    ups = [e for e in events if e["event"] == "progress"]
    assert len(ups) <= took / 0.25 + 2 * sum(e["event"] == "phase" for e in events)


def test_files_and_the_command_line_fail_before_the_start(tmp_path):
    bad = tmp_path / "bad.hex"
    bad.write_text(":0400000001020304F2\n:junk\n:00000001FF\n")
    events, status = events_of(["--device", "/nonexistent", "--program", "--hexfile", str(bad)])
    check_shape(events, status)
    assert (status, events[-1]["result"]) == (255, "bad-file")  # as the text run ends
    events, status = events_of(["--reset"])
    assert [e["event"] for e in events] == ["end"]
    assert (status, events[0]["result"]) == (255, "refused")
    assert "--json" in events[0]["message"]
    events, status = events_of(["--device", "/nonexistent/tty", "--verify", "--hexfile", FILE])
    check_shape(events, status)
    assert (status, events[-1]["result"]) == (255, "device-error")


def test_a_stop_signal_ends_the_stream(boards):
    board = boards("board", "--baud", "19200")
    events, status = events_of(["--device", board.path, "--verify", "--hexfile", FILE], stop_after=1.5)
    check_shape(events, status)
    assert (status, events[-1]["result"]) == (130, "interrupted")


def test_many_boards_one_failing(boards):
    good, bad = boards("good"), boards("bad", "--fault", "no-answer")
    events, status = events_of(["--devices", f"{good.path},{bad.path}", "--pace", "0", "--timeout", "200",
                                "--retries", "1", "--program", "--hexfile", FILE])
    check_shape(events, status)
    assert status == 255 and events[0]["boards"] == [good.path, bad.path]
    ends = {e["board"]: e for e in events if e["event"] == "end" and "board" in e}
    assert ends[good.path]["result"] == "ok" and ends[bad.path]["result"] == "no-reply"
    board_events = [(e["board"], e["state"]) for e in events if e["event"] == "board"]
    assert sorted(board_events) == sorted([(good.path, "start"), (bad.path, "start"), (good.path, "end"),
                                           (bad.path, "end")])
    assert {e["board"]: e["status"] for e in events if e["event"] == "board" and e["state"] == "end"} == {
        good.path: 0, bad.path: 255}
