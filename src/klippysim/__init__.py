# A simulated klippy host for running extras modules on virtual time
from .printer import Printer, CommandRun, SimulationTimeout
from .tree import make_klippy_tree
from .gcode import CommandError
from .configfile import error as ConfigError

__all__ = ['Printer', 'CommandRun', 'SimulationTimeout', 'make_klippy_tree',
           'CommandError', 'ConfigError']
