# Bed probe: PROBE, Z_OFFSET_APPLY_PROBE and the probing interface of the
# host's generation: run_probe() and z_offset, or probe sessions
#
# Every kind of bed probe ([bltouch], [smart_effector], ...) is this probe
# with the offsets, samples and speeds of its section; what makes it
# trigger (pins, a servo, a sensor) is not modeled.
#
# A probing move descends from the current height; the probe, standing at
# the toolhead XY plus x_offset/y_offset, triggers when the nozzle is the
# physical probe offset above the bed there (plus noise).  The result is
# the toolhead position at that moment, in the host generation's form, with
# its corrections (axis twist compensation) applied the generation's way.
import collections

ProbeResult = collections.namedtuple('probe_result', [
    'bed_x', 'bed_y', 'bed_z', 'test_x', 'test_y', 'test_z'])


class BedProbe:
    def __init__(self, config, z_offset=None):
        """z_offset: the offset of a probe that has none in its section
        (None: the section's z_offset, which must be given)."""
        self.printer = config.get_printer()
        self.name = config.get_name()
        self.speed = config.getfloat('speed', 5.0, above=0.)
        self.lift_speed = config.getfloat('lift_speed', self.speed, above=0.)
        if z_offset is None:
            z_offset = config.getfloat('z_offset')
        self.offsets = (config.getfloat('x_offset', 0.),
                        config.getfloat('y_offset', 0.), z_offset)
        # Unless told otherwise, the simulated probe is as the file says
        self.printer.sim.note_configured_probe_offset(z_offset)
        self.last_z_result = 0.
        self.gcode_move = self.printer.load_object(config, "gcode_move")
        # The probing move aims at the Z minimum
        if config.has_section('stepper_z'):
            zconfig = config.getsection('stepper_z')
            self.z_position = zconfig.getfloat('position_min', 0.,
                                               note_valid=False)
        else:
            pconfig = config.getsection('printer')
            self.z_position = pconfig.getfloat('minimum_z_position', 0.,
                                               note_valid=False)
        self.sample_count = config.getint('samples', 1, minval=1)
        self.sample_retract_dist = config.getfloat('sample_retract_dist', 2.,
                                                   above=0.)
        atypes = {'median': 'median', 'average': 'average'}
        self.samples_result = config.getchoice('samples_result', atypes,
                                               'average')
        self.samples_tolerance = config.getfloat('samples_tolerance', 0.100,
                                                 minval=0.)
        self.samples_retries = config.getint('samples_tolerance_retries', 0,
                                             minval=0)
        # The probe pin and activation macros are not modeled
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            self.name)
        self.gcode = self.printer.lookup_object('gcode')
        self.gcode.register_command('PROBE', self.cmd_PROBE,
                                    desc=self.cmd_PROBE_help)
        self.gcode.register_command('Z_OFFSET_APPLY_PROBE',
                                    self.cmd_Z_OFFSET_APPLY_PROBE,
                                    desc=self.cmd_Z_OFFSET_APPLY_PROBE_help)

    def get_lift_speed(self, gcmd=None):
        if gcmd is not None:
            return gcmd.get_float("LIFT_SPEED", self.lift_speed, above=0.)
        return self.lift_speed

    def get_offsets(self, gcmd=None):
        return self.offsets

    def _probe(self, speed):
        toolhead = self.printer.lookup_object('toolhead')
        curtime = self.printer.get_reactor().monotonic()
        if 'z' not in toolhead.get_status(curtime)['homed_axes']:
            raise self.printer.command_error("Must home before probe")
        toolhead.wait_moves()
        sim = self.printer.sim
        pos = toolhead.get_position()
        x_offset, y_offset = self.offsets[:2]
        trigger_z = (sim.probe_trigger_z(pos[0] + x_offset, pos[1] + y_offset)
                     + sim.probe_sample_noise())
        if trigger_z >= pos[2]:
            raise self.printer.command_error(
                "Probe triggered prior to movement")
        if trigger_z < self.z_position:
            pos[2] = self.z_position
            toolhead.move(pos, speed)
            toolhead.wait_moves()
            raise self.printer.command_error(
                "No trigger on probe after full movement")
        pos[2] = trigger_z
        toolhead.move(pos, speed)
        toolhead.wait_moves()
        # The toolhead stops where the probe triggered
        toolhead.set_position(pos)
        self.gcode.respond_info("probe at %.3f,%.3f is z=%.6f"
                                % (pos[0], pos[1], pos[2]))
        self.printer.trace.add('probe', position=list(pos[:3]))
        return self._corrected_result(pos[:3])

    def _corrected_result(self, pos):
        generation = self.printer.host_generation
        if generation.probe_result_tuples:
            x_offset, y_offset, z_offset = self.offsets
            pos = ProbeResult(pos[0] + x_offset, pos[1] + y_offset,
                              pos[2] - z_offset, pos[0], pos[1], pos[2])
        if generation.probe_corrections == 'event_results':
            results = [pos]
            self.printer.send_event("probe:update_results", results)
            return results[0]
        if generation.probe_corrections == 'event':
            self.printer.send_event("probe:update_results", pos)
            return pos
        twist = self.printer.lookup_object('axis_twist_compensation', None)
        if twist is not None:
            pos[2] += twist.get_z_compensation_value(pos)
        return pos

    def _trigger_z(self, result):
        """The corrected toolhead Z at the trigger, of either result form."""
        if isinstance(result, ProbeResult):
            return result.bed_z + self.offsets[2]
        return result[2]

    def _move(self, coord, speed):
        self.printer.lookup_object('toolhead').manual_move(coord, speed)

    def _calc_mean(self, positions):
        count = float(len(positions))
        mean = [sum([pos[i] for pos in positions]) / count
                for i in range(len(positions[0]))]
        if isinstance(positions[0], ProbeResult):
            return ProbeResult(*mean)
        return mean

    def _calc_median(self, positions):
        # Entry 2 is Z, or bed_z of a ProbeResult
        z_sorted = sorted(positions, key=(lambda p: p[2]))
        middle = len(positions) // 2
        if (len(positions) & 1) == 1:
            return z_sorted[middle]
        return self._calc_mean(z_sorted[middle - 1:middle + 1])

    def measure(self, gcmd):
        """The corrected result averaged over the samples."""
        speed = gcmd.get_float("PROBE_SPEED", self.speed, above=0.)
        lift_speed = self.get_lift_speed(gcmd)
        sample_count = gcmd.get_int("SAMPLES", self.sample_count, minval=1)
        sample_retract_dist = gcmd.get_float("SAMPLE_RETRACT_DIST",
                                             self.sample_retract_dist,
                                             above=0.)
        samples_tolerance = gcmd.get_float("SAMPLES_TOLERANCE",
                                           self.samples_tolerance, minval=0.)
        samples_retries = gcmd.get_int("SAMPLES_TOLERANCE_RETRIES",
                                       self.samples_retries, minval=0)
        samples_result = gcmd.get("SAMPLES_RESULT", self.samples_result)
        probexy = self.printer.lookup_object('toolhead').get_position()[:2]
        retries = 0
        positions = []
        while len(positions) < sample_count:
            pos = self._probe(speed)
            positions.append(pos)
            z_positions = [p[2] for p in positions]
            if max(z_positions) - min(z_positions) > samples_tolerance:
                if retries >= samples_retries:
                    raise gcmd.error("Probe samples exceed samples_tolerance")
                gcmd.respond_info(
                    "Probe samples exceed tolerance. Retrying...")
                retries += 1
                positions = []
            if len(positions) < sample_count:
                toolhead = self.printer.lookup_object('toolhead')
                self._move(probexy + [toolhead.get_position()[2]
                                      + sample_retract_dist], lift_speed)
        if samples_result == 'median':
            return self._calc_median(positions)
        return self._calc_mean(positions)

    cmd_PROBE_help = "Probe Z-height at current XY position"

    def cmd_PROBE(self, gcmd):
        z = self._trigger_z(self.measure(gcmd))
        gcmd.respond_info("Result is z=%.6f" % (z,))
        self.last_z_result = z

    cmd_Z_OFFSET_APPLY_PROBE_help = "Adjust the probe's z_offset"

    def cmd_Z_OFFSET_APPLY_PROBE(self, gcmd):
        # Only the pending configuration changes; z_offset in memory stays
        offset = self.gcode_move.get_status()['homing_origin'].z
        configfile = self.printer.lookup_object('configfile')
        if offset == 0:
            self.gcode.respond_info("Nothing to do: Z Offset is 0")
        else:
            new_calibrate = self.offsets[2] - offset
            self.gcode.respond_info(
                "%s: z_offset: %.3f\n"
                "The SAVE_CONFIG command will update the printer config file\n"
                "with the above and restart the printer."
                % (self.name, new_calibrate))
            configfile.set(self.name, 'z_offset', "%.3f" % (new_calibrate,))

    def get_status(self, eventtime):
        return {'name': self.name, 'last_z_result': self.last_z_result}


class PrinterProbe(BedProbe):
    """klippy until mid-2024 and the Kalico fork"""

    def __init__(self, config, z_offset=None):
        BedProbe.__init__(self, config, z_offset)
        self.x_offset, self.y_offset, self.z_offset = self.offsets

    def run_probe(self, gcmd):
        return self.measure(gcmd)


class ProbeSession:
    def __init__(self, probe):
        self.probe = probe
        self.results = []

    def run_probe(self, gcmd):
        self.probe.check_session(self)
        self.results.append(self.probe.measure(gcmd))

    def pull_probed_results(self):
        self.probe.check_session(self)
        results = self.results
        self.results = []
        return results

    def end_probe_session(self):
        self.probe.check_session(self)
        self.probe.session = None


class SessionPrinterProbe(BedProbe):
    """mainline klippy since mid-2024: no run_probe() and no z_offset"""

    def __init__(self, config, z_offset=None):
        BedProbe.__init__(self, config, z_offset)
        self.session = None
        self.printer.register_event_handler("gcode:command_error",
                                            self._end_session)

    def _end_session(self):
        self.session = None

    def _session_mismatch(self):
        raise self.printer.command_error(
            "Internal probe error - start/end probe session mismatch")

    def check_session(self, session):
        if session is not self.session:
            self._session_mismatch()

    def start_probe_session(self, gcmd):
        if self.session is not None:
            self._session_mismatch()
        self.session = ProbeSession(self)
        return self.session


def load_config(config, z_offset=None):
    if config.get_printer().host_generation.probe_sessions:
        return SessionPrinterProbe(config, z_offset)
    return PrinterProbe(config, z_offset)


def add_bed_probe(config, z_offset=None):
    """The bed probe of a section other than [probe] ([bltouch], ...), as
    klippy's probes of every kind provide it: the "probe" object."""
    bed_probe = load_config(config, z_offset)
    config.get_printer().add_object('probe', bed_probe)
    return bed_probe
