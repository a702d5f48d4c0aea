# Stand-in for the pressure-probe module in klippy's batch mode
#
# The nozzle touches the bed at the toolhead height `contact_z`, wherever
# it stands, so that a calibration's answer is known in advance.  The sync
# line reads back what was written unless `swap_line` says it is stuck;
# a stepping run reports `step_result_count` results after
# `step_result_delay` seconds.  Each call is written to klippy's log as
# "tensink_v2: <call> <arguments>".
import logging

SWAP_LINES = {'healthy': 'healthy', 'stuck_0': 'stuck_0',
              'stuck_1': 'stuck_1'}


class Command:
    def __init__(self, name, handler):
        self.name = name
        self.handler = handler

    def send(self, data, minclock=0, reqclock=0):
        logging.info("tensink_v2: %s.send %s", self.name, list(data))
        return self.handler(list(data))


class TensinkV2:
    pres_oid = 1
    step_oid = 2
    tri_send_ms = 10

    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.contact_z = config.getfloat('contact_z', 0.)
        self.swap_line = config.getchoice('swap_line', SWAP_LINES, 'healthy')
        self.step_result_count = config.getint('step_result_count', 32,
                                               minval=0)
        self.step_result_delay = config.getfloat('step_result_delay', 0.2,
                                                 minval=0.)
        self.mm_per_step = config.getfloat('mm_per_step', 0.0025, above=0.)
        self.probe_speed = config.getfloat('probe_speed', 5., above=0.)
        self.step_res = []
        self.line_level = 1
        self.start_step_tensink_cmd = Command('start_step_tensink_cmd',
                                              self._start_step)
        self.write_swap_tensink_cmd = Command('write_swap_tensink_cmd',
                                              self._write_swap)
        self.read_swap_tensink_cmd = Command('read_swap_tensink_cmd',
                                             self._read_swap)

    def _write_swap(self, data):
        self.line_level = data[1]

    def _read_swap(self, data):
        level = {'healthy': self.line_level, 'stuck_0': 0,
                 'stuck_1': 1}[self.swap_line]
        return {'oid': data[0], 'sta': level}

    def enable_steps(self):
        logging.info("tensink_v2: enable_steps")

    def disable_steps(self):
        logging.info("tensink_v2: disable_steps")

    def get_mm_per_step(self):
        return self.mm_per_step

    def get_step_cnts(self, z, speed):
        step_cnt = int(round(z / self.mm_per_step))
        step_us = int(round(self.mm_per_step / speed * 1000000.))
        return step_cnt, step_us, min(step_cnt, 100)

    def _start_step(self, data):
        if data[1] != 1:
            return
        del self.step_res[:]
        self.reactor.register_timer(
            self._report_step_results,
            self.reactor.monotonic() + self.step_result_delay)

    def _report_step_results(self, eventtime):
        self.step_res.extend(range(self.step_result_count))
        return self.reactor.NEVER

    def move(self, pos, speed):
        toolhead = self.printer.lookup_object('toolhead')
        toolhead.manual_move(list(pos[:3]), speed)
        toolhead.wait_moves()

    def run_step_tensink(self, down_min_z, arg1, arg2, count, count2, arg5,
                         min_hold=None, max_hold=None):
        toolhead = self.printer.lookup_object('toolhead')
        toolhead.manual_move([None, None, self.contact_z], self.probe_speed)
        toolhead.wait_moves()
        logging.info("tensink_v2: run_step_tensink contact at z=%.6f",
                     self.contact_z)
        return self.contact_z


def load_config(config):
    return TensinkV2(config)
