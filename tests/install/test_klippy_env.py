"""Installation for real, as on a printer: a clone of this repository from a
git origin, klippy's virtual environment with klippy's pinned packages and a
Klipper git checkout; then an update of the clone as Moonraker makes it,
with no rebuild."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from klipper_checkouts import REPO_DIR, git, git_status, make_klipper_checkout
from moonraker_env import moonraker_env, moonraker_python
from published_repository import publish, publish_this_repository, version_of
from z_compensate import install

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("Z_COMPENSATE_VENV_TEST") != "1",
        reason="builds the extension for a fresh klippy environment;"
               " set Z_COMPENSATE_VENV_TEST=1 (scripts/test does)",
    ),
    pytest.mark.skip_allowed("a slow test that only scripts/test asks for"),
]

KLIPPY_REQUIREMENTS = Path(__file__).resolve().parent / "klippy-requirements.txt"

# What klippy does with the section: import the loader from its extras
# package and let it load the build (constructing the printer object needs
# the rest of klippy)
KLIPPY_START = """
import logging, sys
logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
sys.path.insert(0, sys.argv[1])
import extras.z_compensate as loader
class Config:
    error = type("ConfigError", (Exception,), {})
try:
    loader.load_build(Config())
except Config.error as error:
    print("config error:", error)
"""

# Moonraker's own configuration code reads the printed section
MOONRAKER_CHECK = """
import pathlib, sys
from moonraker.confighelper import ConfigHelper, FileSourceWrapper
from moonraker.components.update_manager.base_deploy import BaseDeploy
from moonraker.components.update_manager.update_manager import get_deploy_class

class Server:
    warnings = []
    def get_app_args(self): return {"data_path": sys.argv[2]}
    def add_warning(self, message, *args, **kwargs): self.warnings.append(message)
    def lookup_component(self, name, default=None):
        class FileManager:
            def add_reserved_path(self, *args): pass
        return FileManager()

class CommandHelper:
    def __init__(self, server): self.server = server
    def get_refresh_interval(self): return 3600
    def get_server(self): return self.server

server = Server()
BaseDeploy.set_command_helper(CommandHelper(server))
source = FileSourceWrapper(server)
source.read_file(pathlib.Path(sys.argv[1]))
config = ConfigHelper(server, source, "update_manager z_compensate", {})
deployer = get_deploy_class(config.get("type"), None)(config)
config.validate_config()
print(type(deployer).__name__)
print(deployer.path)
print(deployer.origin)
print(" ".join(deployer.managed_services))
print(deployer.install_script)
print(server.warnings)
"""


def run(command, cwd=None, env=None):
    environment = dict(os.environ, **(env or {}))
    environment.pop("PYTHONPATH", None)
    result = subprocess.run([str(part) for part in command], cwd=cwd, env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def make_venv(path, *requirements):
    run([sys.executable, "-m", "venv", path])
    if requirements:
        run([path / "bin" / "python", "-m", "pip", "install", "--quiet"] + list(requirements))
    return path


def freeze(env):
    return run([env / "bin" / "python", "-m", "pip", "freeze", "--all"]).splitlines()


class Printer:
    """The home directory of a printer's host, as Klipper's install scripts
    and this README's instructions leave it."""

    def __init__(self, home):
        self.home = home
        self.source = home / "upstream"
        self.origin = home / "origin.git"
        self.clone = home / "z-compensate"
        self.klipper = make_klipper_checkout(home, with_git=True)
        self.env = home / "klippy-env"

    def publish_this_repository(self):
        """The origin holds this repository's files as they are now."""
        publish_this_repository(self.source, self.origin)
        git(self.home, "clone", "--quiet", str(self.origin), str(self.clone))

    def install_script(self, *args):
        return run(["bash", self.clone / "scripts" / "install-klipper.sh",
                    "--klipper", self.klipper, "--env", self.env] + list(args),
                   env={"HOME": str(self.home)})

    def start_klippy(self):
        """klippy's log lines and the configuration error, if any."""
        return run([self.env / "bin" / "python", "-c", KLIPPY_START, self.klipper / "klippy"],
                   cwd=self.home)

    def update_like_moonraker(self):
        """What Moonraker's update of a git_repo entry runs in the clone:
        fetch and pull; then it restarts Klipper."""
        git(self.clone, "fetch", "--quiet", "origin")
        git(self.clone, "pull", "--quiet", "--progress")


@pytest.fixture(scope="module")
def printer(tmp_path_factory):
    printer = Printer(tmp_path_factory.mktemp("home"))
    printer.publish_this_repository()
    make_venv(printer.env, "--requirement", str(KLIPPY_REQUIREMENTS))
    printer.packages_before = freeze(printer.env)
    printer.install_output = printer.install_script()
    return printer


class TestInstalled:
    def test_klippys_packages_are_as_they_were(self, printer):
        assert freeze(printer.env) == printer.packages_before

    def test_klippy_loads_the_build_and_logs_its_version(self, printer):
        log = printer.start_klippy()

        assert "config error" not in log
        assert "z_compensate %s loaded from %s" % (
            version_of(printer.clone), printer.klipper / "klippy" / "extras") in log

    def test_the_extension_is_stripped_as_the_wheels_is(self, printer):
        [installed] = (printer.klipper / "klippy" / "extras").glob("z_compensate_wrapper.*.so")
        wheels, _ = install.built_files()

        sections = run(["readelf", "--section-headers", "--wide", installed])

        assert ".symtab" not in sections and ".debug_" not in sections
        assert installed.stat().st_size <= 1.1 * wheels.stat().st_size

    def test_the_klipper_checkout_stays_clean(self, printer):
        printer.start_klippy()

        assert git_status(printer.klipper) == ""

    def test_moonraker_reads_the_printed_section(self, printer, tmp_path):
        section = printer.install_script("--print-moonraker")
        conf = tmp_path / "moonraker.conf"
        conf.write_text(section)
        found = moonraker_python()
        if found is None:
            pytest.fail("Moonraker needs CPython 3.10 or newer, and there is none here")
        environment = moonraker_env(*found)

        lines = run([environment / "bin" / "python", "-c", MOONRAKER_CHECK, conf, tmp_path],
                    env={"HOME": str(printer.home)}).splitlines()

        assert lines == ["GitDeploy", str(printer.clone), str(printer.origin),
                         "klipper", "None", "[]"]


class TestUpdateWithoutRebuild:
    """Moonraker updates the clone and restarts Klipper; it runs no build.
    Runs after TestInstalled: it moves the clone on."""

    def test_new_sources_are_refused_until_rebuilt(self, printer):
        motion = "klippy/extras/z_compensate_wrapper/motion.cpp"
        publish(printer.source, {motion: (printer.source / motion).read_text() + "\n"})

        printer.update_like_moonraker()
        log = printer.start_klippy()

        assert "config error: z_compensate: the sources in %s changed after the installed" \
            " build; rebuild it with: %s --klipper %s --env %s, then restart Klipper" % (
                printer.clone, printer.clone / "scripts" / "install-klipper.sh",
                printer.klipper, printer.env) in log

    def test_a_new_version_is_refused_until_rebuilt(self, printer):
        old = version_of(printer.clone)
        pyproject = (printer.source / "pyproject.toml").read_text()
        publish(printer.source, {"pyproject.toml": pyproject.replace(
            'version = "%s"' % old, 'version = "%s.1"' % old)})

        printer.update_like_moonraker()
        log = printer.start_klippy()

        assert "config error: z_compensate: the installed build is version %s, the checkout" \
            " %s is %s.1; rebuild it with: " % (old, printer.clone, old) in log

    def test_the_rebuild_loads_the_new_version_and_compiles_only_what_changed(self, printer):
        output = printer.install_script()
        log = printer.start_klippy()

        assert "z_compensate %s loaded" % version_of(printer.clone) in log
        assert "config error" not in log
        # motion.cpp and binding.cpp (the version) changed, nothing else
        assert output.count("Building CXX object") == 2
        assert freeze(printer.env) == printer.packages_before


# Stands in for the package that earlier versions installed into klippy's
# environment from the clone
OLD_PACKAGE = {
    "pyproject.toml": '[project]\nname = "z-compensate"\nversion = "0.0.1"\n'
                      '[tool.setuptools]\npy-modules = []\n',
}


class TestUninstall:
    def test_twice_leaves_klipper_clean_and_klippys_packages_as_they_were(
            self, printer, tmp_path):
        for name, text in OLD_PACKAGE.items():
            (tmp_path / name).write_text(text)
        run([printer.env / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-deps",
             tmp_path])
        # Earlier versions installed the clone itself, which pip records
        [source] = printer.env.glob("lib/python*/site-packages/z_compensate-0.0.1.dist-info/"
                                    "direct_url.json")
        source.write_text('{"url": "%s", "dir_info": {}}' % printer.clone.resolve().as_uri())
        assert any(line.startswith("z-compensate ") for line in freeze(printer.env))

        for _ in range(2):
            printer.install_script("--uninstall")

        assert git_status(printer.klipper) == ""
        assert not list((printer.klipper / "klippy" / "extras").glob("z_compensate*"))
        assert (printer.klipper / ".git" / "info" / "exclude").read_text().count(
            "z_compensate") == 0
        assert freeze(printer.env) == printer.packages_before
