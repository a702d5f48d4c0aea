"""The test command's rule for skips: with Z_COMPENSATE_STRICT_SKIPS=1 (set
by scripts/test) a skipped test fails unless it is marked
skip_allowed("why"), so that a suite that quietly ran less does not pass."""
import os

import pytest

STRICT_SKIPS = os.environ.get("Z_COMPENSATE_STRICT_SKIPS") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "skip_allowed(why): the test may be skipped, for the reason given;"
        " scripts/test counts every other skip as a failure")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if (STRICT_SKIPS and report.skipped and not hasattr(report, "wasxfail")
            and item.get_closest_marker("skip_allowed") is None):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr
        report.outcome = "failed"
        report.longrepr = "skipped, but not marked skip_allowed (%s)" % reason
