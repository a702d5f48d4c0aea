import pytest

from z_compensate import klippy_check


@pytest.fixture(scope="module", autouse=True)
def simulated_printer_alone():
    """The dry runs here are answered by the simulated printer alone,
    whether or not this machine has a printer's klippy at ~/klipper or this
    Python has the embedded klippy (scripts/demo installs it into .venv),
    in the fixtures that run once for a module's tests too (so, not for the
    session: tests/real_klippy asks the printer's klippy itself): klippy's
    answers are tested in tests/real_klippy, where they run once per
    suite."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(klippy_check, "embedded", lambda: None)
        patch.setattr(klippy_check, "printer_klippy", lambda: None)
        yield
