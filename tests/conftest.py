"""Fixtures that run the installed module inside the simulated klippy host.

The module is installed once per session into a klippy tree, exactly as the
installer puts it into a Klipper checkout; a second copy of the extension in
the same process would clash with the first, so every test shares this tree.
"""
import re

import pytest

import klippysim
import printers
# The test command's rule for skips: hooks, registered by being named here
from skip_policy import pytest_configure, pytest_runtest_makereport  # noqa: F401
from z_compensate import install

# The shared printer with a bed mesh and a flat, noiseless bed: the bed probe
# triggers 1.8 mm above the surface, so a calibration must find 1.8 less
# tri_expand_mm.
BASE_CONFIG = printers.BASE_CONFIG + """
[bed_mesh]
mesh_min: 15, 15
mesh_max: 220, 220

[simulated_printer]
surface_tilt_x: 0
surface_tilt_y: 0
surface_bump_height: 0
probe_noise: 0
contact_noise: 0
true_probe_offset: 1.8
"""

# The module's section with only its required keys.
REQUIRED_KEYS = """
bl_offset: -20, 5
noz_pos_center: 117.5, 117.5
noz_pos_offset: 5, 15
"""


@pytest.fixture(scope="session")
def installed_klippy_tree(tmp_path_factory):
    """installed_klippy_tree(name): a new klippy tree under a fresh directory
    named after `name`, with the module installed in it; returns the tree's
    klippy directory."""
    def make(name):
        klipper = str(tmp_path_factory.mktemp(name))
        klippy_dir = klippysim.make_klippy_tree(klipper)
        install.install(klipper)
        return klippy_dir
    return make


@pytest.fixture(scope="session")
def klippy_dir(installed_klippy_tree):
    return installed_klippy_tree("klipper")


@pytest.fixture
def write_config(tmp_path):
    def write(text, name="printer.cfg"):
        path = tmp_path / name
        path.write_text(text)
        return str(path)
    return write


@pytest.fixture
def make_printer(klippy_dir, write_config):
    """make_printer(module_options, extra_sections='', base=BASE_CONFIG, without=(),
    **Printer kwargs)

    `module_options` is the body of the [z_compensate] section (None: no
    section); the required keys are added unless the body names them.
    `without` names sections left out of the printer.

    Whatever the test did, no printer may have been sent a NaN or infinite
    coordinate: klippy would take it. The events are collected as they come,
    so that a test may still drop its printer.
    """
    non_finite = []

    def collect(event):
        if event.kind == "non_finite_coordinate":
            non_finite.append(event)

    def make(module_options="", extra_sections="", base=BASE_CONFIG, without=(), **kwargs):
        text = base + extra_sections
        for section in without:
            # The section's header and its options, up to the blank line.
            text = re.sub(r"^\[%s\]\n(?:[^\[\n].*\n)*" % re.escape(section), "", text,
                          flags=re.M)
        if module_options is not None:
            body = module_options
            if "bl_offset" not in body and "noz_pos" not in body:
                body = REQUIRED_KEYS + body
            text += "\n[z_compensate]\n" + body + "\n"
        printer = klippysim.Printer(write_config(text), klippy_dir, **kwargs)
        printer.trace.listeners.append(collect)
        return printer
    yield make
    assert non_finite == []


@pytest.fixture
def module_of():
    """The module object that klippy built for the [z_compensate] section."""
    def find(printer):
        return printer.lookup_object("z_compensate")
    return find
