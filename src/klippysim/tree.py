# Building a klippy directory for the simulator
import os
import shutil

SIM_EXTRAS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              'extras')


SIM_MAIN = ("# Stands in for klippy's main program, so that the tree is laid\n"
            "# out as a Klipper checkout; klippysim.Printer is the host.\n")


def make_klippy_tree(dest_dir):
    """Create dest_dir/klippy/extras/ holding the simulator's host modules
    (probe.py, bed_mesh.py, heaters.py, ...) beside a stand-in for klippy.py,
    and return dest_dir/klippy. Further modules, such as the one under test,
    can be dropped into the same extras/ directory, by hand or by the
    module's installer."""
    klippy_dir = os.path.join(os.path.abspath(dest_dir), 'klippy')
    extras_dir = os.path.join(klippy_dir, 'extras')
    if not os.path.isdir(extras_dir):
        os.makedirs(extras_dir)
    with open(os.path.join(klippy_dir, 'klippy.py'), 'w') as f:
        f.write(SIM_MAIN)
    for name in sorted(os.listdir(SIM_EXTRAS_DIR)):
        if name.endswith('.py'):
            shutil.copy(os.path.join(SIM_EXTRAS_DIR, name),
                        os.path.join(extras_dir, name))
    return klippy_dir
