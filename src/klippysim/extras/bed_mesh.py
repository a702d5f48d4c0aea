# Bed mesh compensation: the G-code move transform, get_mesh/set_mesh and
# BED_MESH_CLEAR, on a rectangular or a round bed (mesh_radius)
#
# When [simulated_printer] mesh_active_at_start is on, the printer starts
# with a mesh as if BED_MESH_CALIBRATE had just run: the probe-measured
# heights at the mesh points minus the probe's z_offset.  Heights between
# the points are interpolated bilinearly; there is no fade and moves are
# not split along the mesh.
import math


class ZMesh:
    def __init__(self, mesh_min, mesh_max, probed_matrix):
        self.mesh_min = mesh_min
        self.mesh_max = mesh_max
        # probed_matrix[row][column]: rows along Y, columns along X
        self.probed_matrix = probed_matrix
        self.x_count = len(probed_matrix[0])
        self.y_count = len(probed_matrix)

    def get_probed_matrix(self):
        return [list(row) for row in self.probed_matrix]

    def get_mesh_params(self):
        return {'min_x': self.mesh_min[0], 'min_y': self.mesh_min[1],
                'max_x': self.mesh_max[0], 'max_y': self.mesh_max[1],
                'x_count': self.x_count, 'y_count': self.y_count}

    def _grid_index(self, value, axis, count):
        # Position of `value` between mesh points: cell index and fraction,
        # held to the mesh area
        low, high = self.mesh_min[axis], self.mesh_max[axis]
        ratio = (min(max(value, low), high) - low) / (high - low)
        pos = ratio * (count - 1)
        index = min(int(pos), count - 2)
        return index, pos - index

    def calc_z(self, x, y):
        xi, xf = self._grid_index(x, 0, self.x_count)
        yi, yf = self._grid_index(y, 1, self.y_count)
        m = self.probed_matrix
        low = m[yi][xi] * (1. - xf) + m[yi][xi + 1] * xf
        high = m[yi + 1][xi] * (1. - xf) + m[yi + 1][xi + 1] * xf
        return low * (1. - yf) + high * yf


class BedMesh:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.printer.register_event_handler("klippy:connect",
                                            self._handle_connect)
        self.printer.register_event_handler("klippy:ready",
                                            self._handle_ready)
        mesh_radius = config.getfloat('mesh_radius', None, above=0.)
        if mesh_radius is not None:
            self._read_round_mesh(config, mesh_radius)
        else:
            self._read_rectangular_mesh(config)
        configfile = self.printer.lookup_object('configfile')
        # Algorithm, fade and saved profiles are not modeled
        configfile.accept_unmodeled_options(config.get_name())
        for profile in config.get_prefix_sections('bed_mesh '):
            configfile.accept_unmodeled_options(profile.get_name())
        self.z_mesh = None
        self.last_position = [0., 0., 0., 0.]
        self.toolhead = None
        self.gcode_move = self.printer.load_object(config, 'gcode_move')
        self.gcode_move.set_move_transform(self)
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command('BED_MESH_CLEAR', self.cmd_BED_MESH_CLEAR,
                               desc=self.cmd_BED_MESH_CLEAR_help)

    def _read_rectangular_mesh(self, config):
        self.mesh_min = config.getfloatlist('mesh_min', count=2)
        self.mesh_max = config.getfloatlist('mesh_max', count=2)
        if (self.mesh_max[0] <= self.mesh_min[0]
                or self.mesh_max[1] <= self.mesh_min[1]):
            raise config.error('bed_mesh: invalid min/max points')
        probe_count = config.getintlist('probe_count', (3, 3))
        if len(probe_count) == 1:
            probe_count = (probe_count[0], probe_count[0])
        if len(probe_count) != 2 or min(probe_count) < 3:
            raise config.error("bed_mesh: probe_count must have two values"
                               " of at least 3")
        self.probe_count = probe_count

    def _read_round_mesh(self, config, mesh_radius):
        # A round bed is probed on the square around its circle, whose
        # radius klippy takes to 0.1 mm
        mesh_radius = math.floor(mesh_radius * 10) / 10
        origin = config.getfloatlist('mesh_origin', (0., 0.), count=2)
        count = config.getint('round_probe_count', 5, minval=3)
        if not count & 1:
            raise config.error("bed_mesh: probe_count must be odd for round"
                               " beds")
        self.mesh_min = [origin[0] - mesh_radius, origin[1] - mesh_radius]
        self.mesh_max = [origin[0] + mesh_radius, origin[1] + mesh_radius]
        self.probe_count = (count, count)

    def _handle_connect(self):
        self.toolhead = self.printer.lookup_object('toolhead')

    def _handle_ready(self):
        if self.printer.sim.mesh_active_at_start:
            self.set_mesh(self._measured_mesh())

    def _measured_mesh(self):
        sim = self.printer.sim
        probe = self.printer.lookup_object('probe', None)
        z_offset = probe.get_offsets()[2] if probe is not None else 0.
        x_count, y_count = self.probe_count
        matrix = []
        for row in range(y_count):
            y = self.mesh_min[1] + ((self.mesh_max[1] - self.mesh_min[1])
                                    * row / (y_count - 1.))
            values = []
            for col in range(x_count):
                x = self.mesh_min[0] + ((self.mesh_max[0] - self.mesh_min[0])
                                        * col / (x_count - 1.))
                values.append(sim.probe_trigger_z(x, y) - z_offset)
            matrix.append(values)
        return ZMesh(list(self.mesh_min), list(self.mesh_max), matrix)

    def get_mesh(self):
        return self.z_mesh

    def set_mesh(self, mesh):
        self.z_mesh = mesh
        # The G-code position is taken anew through the new transform
        self.gcode_move.reset_last_position()
        self.printer.trace.add('bed_mesh', active=mesh is not None)

    def get_position(self):
        x, y, z, e = self.toolhead.get_position()
        if self.z_mesh is None:
            self.last_position[:] = [x, y, z, e]
        else:
            self.last_position[:] = [x, y, z - self.z_mesh.calc_z(x, y), e]
        return list(self.last_position)

    def move(self, newpos, speed):
        x, y, z, e = newpos
        if self.z_mesh is None:
            self.toolhead.move([x, y, z, e], speed)
        else:
            self.toolhead.move([x, y, z + self.z_mesh.calc_z(x, y), e], speed)
        self.last_position[:] = newpos

    def get_status(self, eventtime):
        status = {'profile_name': '', 'mesh_min': (0., 0.),
                  'mesh_max': (0., 0.), 'probed_matrix': [[]]}
        if self.z_mesh is not None:
            params = self.z_mesh.get_mesh_params()
            status.update({'profile_name': 'default',
                           'mesh_min': (params['min_x'], params['min_y']),
                           'mesh_max': (params['max_x'], params['max_y']),
                           'probed_matrix': self.z_mesh.get_probed_matrix()})
        return status

    cmd_BED_MESH_CLEAR_help = "Clear the Mesh so no z-adjustment is made"

    def cmd_BED_MESH_CLEAR(self, gcmd):
        self.set_mesh(None)


def load_config(config):
    return BedMesh(config)
