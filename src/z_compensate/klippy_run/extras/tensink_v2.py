# The pressure probe in a dry run: the nozzle itself senses contact with
# the modelled bed
#
# What the calibration and nozzle clearing use of the real module: contact
# probing at the current XY, direct moves, the stepping run with its
# results list, and the synchronisation line between the pressure side and
# the stepping side, on the bed of the [simulated_printer] stand-in in
# klippy.  Every call made on the object is recorded in order in `calls`
# and in the run's record.  Options of its own (all "sim_"): see
# src/klippysim/README.md; the other options of a real [tensink_v2]
# section are read and left.  The simulated host runs the same probe on
# its own model and trace (klippysim/extras/tensink_v2.py).

SWAP_LINE_MODES = {
    'healthy': 'healthy', 'stuck_0': 'stuck_0', 'stuck_1': 'stuck_1',
    'empty': 'empty', 'absent': 'absent', 'no_sta': 'no_sta'}


class SimCommand:
    """A microcontroller command: send(data) is recorded, then handled."""

    def __init__(self, owner, name, handler):
        self.owner = owner
        self.name = name
        self.handler = handler

    def send(self, data, minclock=0, reqclock=0):
        self.owner.note_call(self.name + '.send', list(data))
        return self.handler(list(data))


class TensinkV2:
    # Object ids of the two microcontroller sides
    pres_oid = 1
    step_oid = 2

    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.swap_line = config.getchoice('sim_swap_line', SWAP_LINE_MODES,
                                          'healthy')
        self.step_result_count = config.getint('sim_step_result_count', 32,
                                               minval=0)
        self.step_result_delay = config.getfloat('sim_step_result_delay', 0.5,
                                                 minval=0.)
        self.mm_per_step = config.getfloat('sim_mm_per_step', 0.0025,
                                           above=0.)
        self.probe_speed = config.getfloat('sim_probe_speed', 2., above=0.)
        self.retract_dist = config.getfloat('sim_retract_dist', 0.2, above=0.)
        self.reply_time = config.getfloat('sim_reply_time', 0.005, minval=0.)
        self.tri_send_ms = config.getint('sim_tri_send_ms', 10, minval=0)
        self.accept_other_options(config)
        self.calls = []
        self.step_res = []
        self.steps_enabled = False
        self.line_level = 1
        self.result_timer = None
        self.start_step_tensink_cmd = SimCommand(
            self, 'start_step_tensink_cmd', self._start_step)
        self.write_swap_tensink_cmd = SimCommand(
            self, 'write_swap_tensink_cmd', self._write_swap)
        self.read_swap_tensink_cmd = SimCommand(
            self, 'read_swap_tensink_cmd', self._read_swap)

    # The host's part: its options, its model of the printer, its record
    def accept_other_options(self, config):
        # What the hardware needs is no question here
        for option in config.get_prefix_options(''):
            if not option.startswith('sim_'):
                config.get(option)

    def physics(self):
        return self.printer.lookup_object('simulated_printer').physics

    def record(self, kind, **data):
        self.printer.lookup_object('simulated_printer').recorder.add(kind, **data)

    def note_call(self, name, args):
        self.calls.append((name, args))
        self.record('tensink', call=name, args=args)

    # Synchronisation line
    def _write_swap(self, data):
        self.line_level = data[1]

    def _read_swap(self, data):
        # A query waits for the microcontroller's answer
        self.reactor.pause(self.reactor.monotonic() + self.reply_time)
        if self.swap_line == 'absent':
            return None
        if self.swap_line == 'empty':
            return {}
        reply = {'oid': data[0], '#name': 'swap_tensink_state',
                 '#sent_time': self.reactor.monotonic() - self.reply_time,
                 '#receive_time': self.reactor.monotonic()}
        if self.swap_line == 'no_sta':
            return reply
        level = {'healthy': self.line_level, 'stuck_0': 0,
                 'stuck_1': 1}[self.swap_line]
        reply['sta'] = level
        return reply

    # Stepping run
    def enable_steps(self):
        self.note_call('enable_steps', [])
        self.steps_enabled = True

    def disable_steps(self):
        self.note_call('disable_steps', [])
        self.steps_enabled = False

    def get_mm_per_step(self):
        self.note_call('get_mm_per_step', [])
        return self.mm_per_step

    def get_step_cnts(self, z, speed):
        """Step count, step time in microseconds, acceleration steps."""
        self.note_call('get_step_cnts', [z, speed])
        step_cnt = int(round(z / self.mm_per_step))
        step_us = int(round(self.mm_per_step / speed * 1000000.))
        acc_cnt = min(step_cnt, 100)
        return step_cnt, step_us, acc_cnt

    def _start_step(self, data):
        if self.result_timer is not None:
            self.reactor.unregister_timer(self.result_timer)
            self.result_timer = None
        if data[1] != 1:
            return
        del self.step_res[:]
        # The stepper lowers the nozzle until it presses on the bed
        toolhead = self.printer.lookup_object('toolhead')
        sim = self.physics()
        gap = sim.nozzle_gap(toolhead.get_position())
        travel = min(data[3] * self.mm_per_step, max(gap, 0.))
        sim.shift_frame(travel)
        self.record('stepping_run', travel=travel)
        if self.step_result_count:
            self.result_timer = self.reactor.register_timer(
                self._report_step_results,
                self.reactor.monotonic() + self.step_result_delay)

    def _report_step_results(self, eventtime):
        self.step_res.extend([{'oid': self.step_oid, 'index': i}
                              for i in range(self.step_result_count)])
        self.reactor.unregister_timer(self.result_timer)
        self.result_timer = None
        return self.reactor.NEVER

    # Motion
    def move(self, pos, speed):
        self.note_call('move', [list(pos), speed])
        toolhead = self.printer.lookup_object('toolhead')
        toolhead.manual_move(list(pos[:4]), speed)
        toolhead.wait_moves()

    def run_step_tensink(self, down_min_z, arg1, arg2, count, count2, arg5,
                         min_hold=None, max_hold=None):
        """Lower the nozzle at the current XY until it touches the bed,
        `count` times, and return the mean contact Z.  The toolhead is
        left at the last contact."""
        args = [down_min_z, arg1, arg2, count, count2, arg5]
        if min_hold is not None or max_hold is not None:
            args += [min_hold, max_hold]
        self.note_call('run_step_tensink', args)
        toolhead = self.printer.lookup_object('toolhead')
        curtime = self.reactor.monotonic()
        if 'z' not in toolhead.get_status(curtime)['homed_axes']:
            raise self.printer.command_error(
                "Pressure probe: home Z before probing")
        toolhead.wait_moves()
        sim = self.physics()
        pos = toolhead.get_position()
        z_min = toolhead.get_status(curtime)['axis_minimum'][2]
        lowest_z = max(pos[2] - down_min_z, z_min)
        contacts = []
        for sample in range(max(count, 1)):
            contact_z = (sim.contact_z(pos[0], pos[1])
                         + sim.contact_sample_noise())
            if contact_z >= toolhead.get_position()[2]:
                raise self.printer.command_error(
                    "Pressure probe: nozzle already pressing on the bed")
            if contact_z < lowest_z:
                toolhead.manual_move([None, None, lowest_z], self.probe_speed)
                toolhead.wait_moves()
                raise self.printer.command_error(
                    "Pressure probe: no contact within %.3f mm"
                    % (pos[2] - lowest_z,))
            toolhead.manual_move([None, None, contact_z], self.probe_speed)
            toolhead.wait_moves()
            contacts.append(contact_z)
            if sample < count - 1:
                toolhead.manual_move([None, None,
                                      contact_z + self.retract_dist],
                                     self.probe_speed)
        result = sum(contacts) / len(contacts)
        self.record('tensink_result', x=pos[0], y=pos[1],
                               z=result)
        return result


def load_config(config):
    return TensinkV2(config)
