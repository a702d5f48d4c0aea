import pytest

from klipper_checkouts import make_klipper_checkout, snapshot


@pytest.fixture
def klipper_dir(tmp_path):
    return make_klipper_checkout(tmp_path)


@pytest.fixture
def git_klipper(tmp_path):
    return make_klipper_checkout(tmp_path, with_git=True)


@pytest.fixture
def tree_snapshot():
    return snapshot
