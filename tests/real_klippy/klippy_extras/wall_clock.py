# A wall clock that G-code moves, for klippy's batch mode
#
# WALL_CLOCK STEP=<seconds> moves what time.time(), time.localtime() and
# time.strftime() read by that much (a negative step goes back, as NTP
# steps a board's clock); AHEAD=<seconds> makes time.time() alone read
# that much ahead of the clock the others read, as two clock sources can.
import time


class WallClock:
    def __init__(self, config):
        self.offset = 0.
        self.ahead = 0.
        real_time, real_localtime, real_strftime = (
            time.time, time.localtime, time.strftime)

        def wall():
            return real_time() + self.offset

        def localtime(seconds=None):
            return real_localtime(wall() if seconds is None else seconds)

        time.time = lambda: wall() + self.ahead
        time.localtime = localtime
        time.strftime = lambda fmt, t=None: real_strftime(
            fmt, localtime() if t is None else t)
        config.get_printer().lookup_object('gcode').register_command(
            'WALL_CLOCK', self.cmd_WALL_CLOCK)

    def cmd_WALL_CLOCK(self, gcmd):
        self.offset += gcmd.get_float('STEP', 0.)
        self.ahead = gcmd.get_float('AHEAD', self.ahead)


def load_config(config):
    return WallClock(config)
