"""bootlink for labgrid: BootlinkDriver programs a board's microcontroller
through its serial bootloader, on a local serial port or on a port an
exporter shares through ser2net."""

from .driver import BootlinkDriver, BootlinkError

__all__ = ["BootlinkDriver", "BootlinkError"]
