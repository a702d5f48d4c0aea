import os
import shutil

import pytest

from sim_support import BASE_CONFIG, FAKE_EXTRAS

import klippysim


@pytest.fixture(scope='session')
def klippy_dir(tmp_path_factory):
    kdir = klippysim.make_klippy_tree(str(tmp_path_factory.mktemp('tree')))
    for name in os.listdir(FAKE_EXTRAS):
        if name.endswith('.py'):
            shutil.copy(os.path.join(FAKE_EXTRAS, name),
                        os.path.join(kdir, 'extras', name))
    return kdir


@pytest.fixture
def make_printer(klippy_dir, write_config):
    """make_printer(extra_sections, base=BASE_CONFIG, **Printer kwargs)"""
    def make(extra='', base=BASE_CONFIG, **kwargs):
        path = write_config(base + extra)
        return klippysim.Printer(path, klippy_dir, **kwargs)
    return make
