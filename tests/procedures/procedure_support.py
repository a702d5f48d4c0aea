"""What the procedure tests share: settings, the texts of the shutdowns, and
readers for what the simulated printer did and wrote."""
import configparser
import re

# A wipe area well inside the base printer's bed.
WIPE_AREA = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""

SSAP_SHUTDOWN_TEXT = (
    "{'code': 'key402', 'msg': 'Shutdown due to PR_ERR_CODE_SSAP_TEST_ERROR: "
    "Synchronization line communication is not available, please check the "
    "connection..', 'values': []}")

CALIBRATION_SHUTDOWN_TEXT = (
    "{'code': 'key401', 'msg': 'Shutdown due to "
    "PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive "
    "mistrigger..', 'values': []}")

MOVE_LINE = re.compile(
    r"^G1 F(?P<f>\d+) X(?P<x>-?[\d.]+) Y(?P<y>-?[\d.]+) Z(?P<z>-?[\d.]+)$")


def config_text(printer):
    """The printer's printer.cfg as it stands on disk."""
    with open(printer.get_start_args()["config_file"]) as f:
        return f.read()


def saved_option(printer, section, option):
    """An option of the SAVE_CONFIG block of the printer's printer.cfg."""
    lines = config_text(printer).split("\n")
    # The block's contents follow its two header lines.
    header_end = lines.index(
        "#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.")
    block = [line[4:] for line in lines[header_end + 1:]]
    parser = configparser.RawConfigParser()
    parser.read_string("\n".join(block))
    return parser.get(section, option)


def command_lines(printer):
    """The G-code lines that commands ran (not those sent from outside)."""
    return [event.data["line"] for event in printer.trace.of_kind("gcode")
            if event.data["depth"] == 1]


def offset_lines(printer):
    return [line for line in command_lines(printer)
            if line.startswith("SET_GCODE_OFFSEt")]


def move_lines(printer):
    """Parsed G1 lines that commands ran."""
    return [MOVE_LINE.match(line) for line in command_lines(printer)
            if MOVE_LINE.match(line)]


def heater_targets(printer, heater):
    return [event.data["target"]
            for event in printer.trace.of_kind("heater_target")
            if event.data["heater"] == heater]


def gcode_z_offset(printer):
    return printer.lookup_object("gcode_move").homing_position[2]


def probe_answers(printer, monkeypatch, bed_probe_z, nozzle_z):
    """Replaces both probes' measurements with the given heights, in order:
    the bed probe's trigger Z and the pressure probe's contact Z."""
    bed_heights = iter(bed_probe_z)
    nozzle_heights = iter(nozzle_z)
    toolhead = printer.lookup_object("toolhead")

    def run_probe(gcmd):
        x, y = toolhead.get_position()[:2]
        return [x, y, next(bed_heights)]

    def run_step_tensink(*args):
        return next(nozzle_heights)

    monkeypatch.setattr(printer.lookup_object("probe"), "run_probe", run_probe)
    monkeypatch.setattr(printer.lookup_object("tensink_v2"), "run_step_tensink",
                        run_step_tensink)
