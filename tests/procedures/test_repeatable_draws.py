"""The seed a host fixes for the module's random draws (a simulated printer
does, through its start arguments) repeats the strokes and measuring points
of every run; without one each run draws afresh."""
import pytest
from z_compensate.dry_run import MODULE_SEED_ARG as SEED_ARG

from procedure_support import WIPE_AREA, move_lines


def drawn_moves(make_printer, seed, runs=2):
    """Per Z_OFFSET_AUTO run on a new printer, the G1 lines it sent: they
    hold the drawn stroke and measuring points."""
    printer = make_printer(WIPE_AREA)
    if seed is not None:
        printer.get_start_args()[SEED_ARG] = seed
    for _ in range(runs):
        printer.run_gcode("Z_OFFSET_AUTO")
    moves = [match.group(0) for match in move_lines(printer)]
    per_run = len(moves) // runs
    return [moves[run * per_run:(run + 1) * per_run] for run in range(runs)]


def test_a_seed_repeats_the_printers_runs_and_each_run_draws_anew(make_printer):
    seeded = drawn_moves(make_printer, 7)

    assert drawn_moves(make_printer, 7) == seeded
    assert seeded[0] != seeded[1]
    assert drawn_moves(make_printer, 8)[0] != seeded[0]
    assert drawn_moves(make_printer, None, runs=1) != drawn_moves(make_printer, None, runs=1)


@pytest.mark.parametrize("seed, error, message", [
    ("7", TypeError, "start argument z_compensate_seed: expected a whole number, got str"),
    (7.0, TypeError, "start argument z_compensate_seed: expected a whole number, got float"),
    (2 ** 64, OverflowError, ""),
])
def test_a_seed_that_is_no_64_bit_number_ends_the_command_with_a_python_error(
        make_printer, seed, error, message):
    printer = make_printer(WIPE_AREA)
    printer.get_start_args()[SEED_ARG] = seed

    # klippy shuts down on an error that is no command error, as on any
    # other unexpected answer
    with pytest.raises(error, match="^" + message):
        printer.run_gcode("Z_OFFSET_CALIBRATION")
