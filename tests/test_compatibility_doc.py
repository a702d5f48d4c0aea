"""docs/Compatibility.md names the hosts the suite actually tests."""
import os
import re

from klippysim import generations

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(*path):
    with open(os.path.join(REPO, *path)) as f:
        return f.read()


def table_rows(heading=None):
    """The rows of the first table (after `heading`, when given): by default
    the host generations."""
    text = read("docs", "Compatibility.md")
    if heading is not None:
        text = text[text.index("\n## %s\n" % heading):]
    first_table = text[text.index("\n| "):].split("\n\n")[0]
    rows = [line.split("|")[1:-1] for line in first_table.split("\n") if line.startswith("| ")]
    return [[cell.strip() for cell in row] for row in rows[1:]]


def script_default(script, variable):
    return re.search(r'^%s="(.+)"$' % variable, read("scripts", script), re.M).group(1).split()


def test_one_row_per_simulated_generation():
    settings = [re.fullmatch(r"`(.+)`", row[1]).group(1)
                for row in table_rows()]
    assert settings == list(generations.GENERATIONS)


def test_real_host_is_the_one_the_suite_installs():
    package = re.search(r'KLIPPY_PACKAGE="(.+)"',
                        read("scripts", "klippy-test-env")).group(1)
    [tested] = [row for row in table_rows() if "in the test suite" in row[4]]
    assert "`%s`" % package in tested[4]
    assert tested[1] == "`%s`" % generations.DEFAULT_GENERATION


def test_oldest_cpython_is_the_modules():
    oldest = re.search(r'requires-python = ">=(\d+\.\d+)"',
                       read("pyproject.toml")).group(1)
    firsts = {row[3].split(" to ")[0] for row in table_rows()}
    assert min(firsts, key=lambda v: tuple(map(int, v.split(".")))) == oldest


def test_architectures_are_those_the_wheels_are_built_and_checked_for():
    rows = table_rows("Architectures")
    assert sorted({row[0] for row in rows}) == sorted(script_default("build-wheels", "ARCHES"))
    systems = {re.fullmatch(r"Debian \d+ (\w+)", row[3]).group(1) for row in rows}
    assert systems == set(script_default("check-wheels", "SUITES"))
