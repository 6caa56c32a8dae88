"""BootlinkDriver: a labgrid driver that runs bootlink for a board.

It binds the board's serial port: a NetworkSerialPort (an exporter's
ser2net, reached as rfc2217://HOST:PORT or, for protocol "raw",
socket://HOST:PORT), or a local RawSerialPort or USBSerialPort (the device
path; bootlink takes it for the run alone, as it does any local line). It
runs bootlink with --json through labgrid's process helper, so that what
the tool does lands in labgrid's log, and reads the outcome from the run's
--report line (the end event's fields; the helper may stop reading the
terminal before the last event when the tool exits): a failure raises
ExecutionError naming the result kind ("no-reply", "verify-failed", ...)
and bootlink's message.

Only labgrid's documented driver interface is used (Driver,
BootstrapProtocol, target_factory, step, processwrapper, ExecutionError).
"""

import json
import os
import subprocess
import tempfile

import attr

from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol
from labgrid.step import step
from labgrid.util.helper import processwrapper


class BootlinkError(ExecutionError):
    """bootlink ended with a failure: `kind` is its result kind, `outcome` the
    end event (None when the tool gave none)."""

    def __init__(self, kind, message, outcome=None, output=None):
        super().__init__(f"bootlink: {kind}: {message}", stdout=output)
        self.kind = kind
        self.outcome = outcome


def _optional_int():
    return attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(int)))


def _events(output):
    """The JSON events among the lines the process wrote (its standard error
    shares the terminal labgrid runs it on)."""
    events = []
    for raw in output.replace(b"\r", b"\n").split(b"\n"):
        line = raw.strip()
        if not line.startswith(b"{"):
            continue
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict) and "event" in event:
            events.append(event)
    return events


def _outcome(report, output):
    """The run's outcome: its report line, else its end event, else None."""
    try:
        with open(report, encoding="utf-8") as f:
            lines = [line for line in f if line.strip()]
        if lines:
            return json.loads(lines[-1])
    except (OSError, ValueError):
        pass
    ends = [ev for ev in _events(output) if ev["event"] == "end" and "board" not in ev]
    return ends[-1] if ends else None


@target_factory.reg_driver
@attr.s(eq=False)
class BootlinkDriver(Driver, BootstrapProtocol):
    """Programs, verifies, resets and backs up the board with bootlink.

    Attributes (all optional):
        image: the image key of the environment's images for load()
        baud, pace, timeout, retries: bootlink's --baud, --pace (ms),
            --timeout (ms) and --retries; unset, bootlink's own defaults
            (and its file of defaults) apply
        expect_id: the device ID the board must have (--expect-id), e.g. 0x4C20
        write_config: load() also writes the configuration bytes (--write-config)
        extra_args: further bootlink options, a list of strings
    """

    bindings = {"port": {"NetworkSerialPort", "RawSerialPort", "USBSerialPort"}}

    image = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    baud = _optional_int()
    pace = _optional_int()
    timeout = _optional_int()
    retries = _optional_int()
    expect_id = _optional_int()
    write_config = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    extra_args = attr.ib(default=attr.Factory(list), validator=attr.validators.instance_of(list))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.tool = "bootlink"
        if self.target.env:
            self.tool = self.target.env.config.get_tool("bootlink") or "bootlink"

    def on_activate(self):
        pass

    def on_deactivate(self):
        pass

    def device(self):
        """The line bootlink opens: a URL for a network port, else the path."""
        port = self.port
        if type(port).__name__ == "NetworkSerialPort":
            scheme = "socket" if port.protocol == "raw" else "rfc2217"
            return f"{scheme}://{port.host}:{port.port}"
        return port.port

    def _line_args(self, retries=True):
        args = ["--device", self.device()]
        for option, value in (("--baud", self.baud), ("--pace", self.pace), ("--timeout", self.timeout),
                              ("--retries", self.retries if retries else None)):
            if value is not None:
                args += [option, str(value)]
        return args

    def _image(self, filename):
        if filename is None and self.image is not None:
            filename = self.target.env.config.get_image_path(self.image)
        if filename is None:
            raise ValueError("BootlinkDriver needs a file: load(filename) or the driver's image")
        return str(filename)

    def _run(self, action_args):
        """Runs bootlink with --json; the outcome, or BootlinkError."""
        with tempfile.TemporaryDirectory(prefix="bootlink-labgrid-") as folder:
            report = os.path.join(folder, "report.jsonl")
            command = [self.tool, "--json", "--report", report, *self._line_args(), *action_args, *self.extra_args]
            failed = None
            try:
                output = processwrapper.check_output(command, print_on_silent_log=True)
            except subprocess.CalledProcessError as e:
                output, failed = e.output or b"", e
            outcome = _outcome(report, output)
        if outcome is None:
            status = failed.returncode if failed else 0
            raise BootlinkError("ended", f"status {status}, and no outcome", None, [output]) from failed
        if failed or outcome["status"] != 0:
            raise BootlinkError(outcome["result"], outcome["message"], outcome, [output]) from failed
        return outcome

    @Driver.check_active
    @step(args=["filename"])
    def load(self, filename=None):
        """Programs the file (bootlink --program): erased, written and read
        back. Returns the outcome (the end event)."""
        args = ["--program", "--hexfile", self._image(filename)]
        if self.expect_id is not None:
            args += ["--expect-id", f"0x{self.expect_id:04x}"]
        if self.write_config:
            args.append("--write-config")
        return self._run(args)

    @Driver.check_active
    @step(args=["filename"])
    def verify(self, filename=None):
        """Compares the board with the file (bootlink --verify), changing
        nothing. Returns the outcome."""
        args = ["--verify", "--hexfile", self._image(filename)]
        if self.expect_id is not None:
            args += ["--expect-id", f"0x{self.expect_id:04x}"]
        return self._run(args)

    @Driver.check_active
    @step(args=["path", "flash_size"])
    def read_all(self, path, flash_size):
        """Backs the whole board up into the Intel hex file `path` (program
        memory of `flash_size` bytes, ID locations, configuration, EEPROM),
        which load() with write_config restores. Returns the outcome."""
        return self._run(["--readall", "--flash-size", str(flash_size), "--output", str(path)])

    @Driver.check_active
    @step()
    def reset(self):
        """Starts the board's program (bootlink --reset). The reset has no
        reply and no events: a failure raises with bootlink's text."""
        command = [self.tool, *self._line_args(retries=False), "--quiet", "--reset"]  # nothing to send again
        try:
            processwrapper.check_output(command, print_on_silent_log=True)
        except subprocess.CalledProcessError as e:
            text = (e.output or b"").replace(b"\r", b"").decode(errors="replace").strip()
            raise BootlinkError("reset-failed", text.splitlines()[-1] if text else f"status {e.returncode}",
                                None, [e.output]) from e
