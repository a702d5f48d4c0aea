"""scripts/test's rule: a skip fails unless the test says why it may skip."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parents[1]

SUITE = '''
import pytest

def test_skipped_without_a_word():
    pytest.skip("port busy")

@pytest.mark.skip_allowed("needs a device")
def test_skipped_with_leave():
    pytest.skip("no device")

@pytest.mark.xfail(reason="known")
def test_expected_to_fail():
    assert False

def test_passes():
    pass
'''


def run_suite(tmp_path, strict):
    (tmp_path / "test_suite.py").write_text(SUITE)
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR),
               Z_COMPENSATE_STRICT_SKIPS="1" if strict else "0")
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "skip_policy", "-p", "no:cacheprovider",
         "--rootdir", str(tmp_path), str(tmp_path)],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, universal_newlines=True)
    return result.stdout


@pytest.mark.parametrize("strict, closing", [
    (True, "1 failed, 1 passed, 1 skipped, 1 xfailed"),
    (False, "1 passed, 2 skipped, 1 xfailed"),
])
def test_only_skips_marked_allowed_pass_in_the_test_command(tmp_path, strict, closing):
    output = run_suite(tmp_path, strict)

    assert closing in output.splitlines()[-1]
    if strict:
        assert "skipped, but not marked skip_allowed" in output
        assert "port busy" in output
