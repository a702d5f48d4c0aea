import io
import platform
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from klipper_checkouts import (INSTALL_SCRIPT, REPO_DIR, git, git_status,
                               make_klipper_checkout, tree_state)
from z_compensate import install

EXTENSION = "z_compensate_wrapper.cpython-311-x86_64-linux-gnu.so"


@pytest.fixture
def module_dir(tmp_path):
    """A package module/ directory as the wheel lays it out, with a fake build."""
    built = tmp_path / "module"
    built.mkdir()
    (built / EXTENSION).write_bytes(b"\x7fELF new build")
    (built / "z_compensate.py").write_text("def load_config(config):\n    pass\n")
    return built


def extras_of(klipper_dir):
    return klipper_dir / "klippy" / "extras"


class TestInstall:
    def test_copies_extension_and_loader(self, klipper_dir, module_dir):
        written = install.install(klipper_dir, module_dir)

        extras = extras_of(klipper_dir)
        assert sorted(path.name for path in written) == ["z_compensate.py", EXTENSION]
        assert (extras / EXTENSION).read_bytes() == b"\x7fELF new build"
        assert (extras / "z_compensate.py").read_text() == (
            module_dir / "z_compensate.py"
        ).read_text()

    def test_twice_in_a_row_gives_the_same_tree(
        self, klipper_dir, module_dir, tree_snapshot
    ):
        install.install(klipper_dir, module_dir)
        first = tree_snapshot(klipper_dir)
        install.install(klipper_dir, module_dir)

        assert tree_snapshot(klipper_dir) == first

    def test_removes_builds_for_other_pythons(self, klipper_dir, module_dir, tmp_path):
        extras = extras_of(klipper_dir)
        old_module = tmp_path / "old"
        shutil.copytree(str(module_dir), str(old_module))
        old_build = "z_compensate_wrapper.cpython-38-x86_64-linux-gnu.so"
        (old_module / EXTENSION).rename(old_module / old_build)
        install.install(klipper_dir, old_module)

        install.install(klipper_dir, module_dir)

        assert not (extras / old_build).exists()
        assert sorted(path.name for path in extras.glob("z_compensate_wrapper*")) == [
            EXTENSION
        ]

    def test_leaves_other_extras_alone(self, klipper_dir, module_dir):
        extras = extras_of(klipper_dir)
        (extras / "z_tilt.py").write_text("# another module\n")

        install.install(klipper_dir, module_dir)

        assert (extras / "z_tilt.py").read_text() == "# another module\n"
        assert (extras / "probe.py").exists()

    def test_refuses_a_directory_without_klippy_extras(self, tmp_path, module_dir):
        with pytest.raises(install.InstallError, match="is not a Klipper checkout"):
            install.install(tmp_path / "not-klipper", module_dir)

    def test_refuses_when_the_package_holds_no_build(self, klipper_dir, tmp_path):
        empty = tmp_path / "empty"
        empty.mkdir()

        with pytest.raises(install.InstallError, match="install this package with pip"):
            install.install(klipper_dir, empty)
        assert not list(extras_of(klipper_dir).glob("z_compensate*"))


class TestUninstall:
    def test_brings_the_tree_back(self, klipper_dir, module_dir, tree_snapshot):
        before = tree_snapshot(klipper_dir)
        install.install(klipper_dir, module_dir)

        install.uninstall(klipper_dir)

        assert tree_snapshot(klipper_dir) == before

    def test_removes_the_loaders_byte_code(self, klipper_dir, module_dir):
        install.install(klipper_dir, module_dir)
        cache = extras_of(klipper_dir) / "__pycache__"
        cache.mkdir()
        loader_cache = cache / "z_compensate.cpython-311.pyc"
        loader_cache.write_bytes(b"byte code")
        probe_cache = cache / "probe.cpython-311.pyc"
        probe_cache.write_bytes(b"byte code")

        removed, _ = install.uninstall(klipper_dir)

        assert loader_cache in removed
        assert not loader_cache.exists()
        assert probe_cache.exists()

    def test_keeps_files_with_similar_names(self, klipper_dir, module_dir):
        extras = extras_of(klipper_dir)
        neighbour = extras / "z_compensate_macros.py"
        neighbour.write_text("# the user's own file\n")
        install.install(klipper_dir, module_dir)

        install.uninstall(klipper_dir)

        assert neighbour.exists()

    def test_without_an_installation_removes_nothing(self, klipper_dir, tree_snapshot):
        before = tree_snapshot(klipper_dir)

        assert install.uninstall(klipper_dir) == ([], [])
        assert tree_snapshot(klipper_dir) == before

    def test_refuses_a_directory_without_klippy_extras(self, tmp_path):
        with pytest.raises(install.InstallError, match="is not a Klipper checkout"):
            install.uninstall(tmp_path)


@pytest.fixture
def checkout(tmp_path):
    """A checkout of this repository with the files the loader reads."""
    root = tmp_path / "z-compensate"
    for relative in ["pyproject.toml", "CMakeLists.txt", "host", "klippy"]:
        source = REPO_DIR / relative
        if source.is_dir():
            shutil.copytree(str(source), str(root / relative),
                            ignore=shutil.ignore_patterns("__pycache__"))
        else:
            root.mkdir(exist_ok=True)
            shutil.copyfile(str(source), str(root / relative))
    return root


@pytest.fixture
def build(tmp_path):
    extension = tmp_path / "build" / EXTENSION
    extension.parent.mkdir()
    extension.write_bytes(b"\x7fELF checkout build")
    return extension


class TestInstallBuild:
    """A build of a checkout: the loader linked, the extension copied, a stamp."""

    def test_links_the_loader_and_stamps_the_sources(self, klipper_dir, checkout, build):
        install.install_build(klipper_dir, build, checkout, "rebuild-command")

        extras = extras_of(klipper_dir)
        loader = extras / "z_compensate.py"
        assert loader.is_symlink()
        assert loader.resolve() == (checkout / "klippy" / "extras" / "z_compensate.py").resolve()
        assert (extras / EXTENSION).read_bytes() == build.read_bytes()
        module = install.load_checkout_loader(checkout)
        stamp = module.read_stamp(str(extras / install.STAMP_NAME))
        assert stamp == {"sources": module.sources_digest(str(checkout)),
                         "rebuild": "rebuild-command"}

    def test_keeps_the_klipper_checkout_clean_for_git(self, git_klipper, checkout, build):
        exclude = git_klipper / ".git" / "info" / "exclude"
        before = exclude.read_text()

        install.install_build(git_klipper, build, checkout, "rebuild-command")
        install.install_build(git_klipper, build, checkout, "rebuild-command")

        assert git_status(git_klipper) == ""
        assert exclude.read_text().count(install.EXCLUDE_HEADER) == 1
        install.uninstall(git_klipper)
        assert exclude.read_text() == before
        assert install.uninstall(git_klipper) == ([], [])
        assert git_status(git_klipper) == ""

    def test_uninstall_removes_a_link_whose_checkout_is_gone(self, klipper_dir, checkout, build):
        install.install_build(klipper_dir, build, checkout, "rebuild-command")
        shutil.rmtree(str(checkout))

        removed, _ = install.uninstall(klipper_dir)

        assert len(removed) == 4
        assert not list(extras_of(klipper_dir).glob("z_compensate*"))

    def test_leaves_another_repositorys_excludes_alone(self, tmp_path, checkout, build):
        # A Klipper directory inside some other git checkout is not Klipper's own
        subprocess.run(["git", "init", "--quiet", str(tmp_path)], check=True)
        klipper = make_klipper_checkout(tmp_path)

        install.install_build(klipper, build, checkout, "rebuild-command")

        assert install.EXCLUDE_HEADER not in (tmp_path / ".git" / "info" / "exclude").read_text()


class TestOnlyWhatItInstalled:
    """The installer removes the files its record lists as it wrote them, and
    names every other file of the module's names that it leaves alone."""

    def test_uninstall_leaves_alone_what_it_did_not_install(
            self, klipper_dir, module_dir, checkout, tmp_path):
        extras = extras_of(klipper_dir)
        by_hand = extras / "z_compensate_wrapper.cpython-38-x86_64-linux-gnu.so"
        by_hand.write_bytes(b"placed by hand")
        install.install(klipper_dir, module_dir)
        (extras / "z_compensate.py").write_text("# edited after the install\n")
        out = io.StringIO()

        install.uninstall_main(install.parse_args(
            ["--uninstall", "--klipper", str(klipper_dir), "--repo", str(checkout),
             "--env", str(tmp_path / "no-env")]), out)

        assert not (extras / EXTENSION).exists()
        assert by_hand.read_bytes() == b"placed by hand"
        assert (extras / "z_compensate.py").read_text() == "# edited after the install\n"
        for path in (extras / "z_compensate.py", by_hand):
            assert "left alone %s: this installer did not install it" % path in out.getvalue()

    def test_install_replaces_no_file_it_did_not_install(
            self, klipper_dir, module_dir, tree_snapshot):
        (extras_of(klipper_dir) / "z_compensate.py").write_text("# someone else's\n")
        before = tree_snapshot(klipper_dir)

        with pytest.raises(install.InstallError, match="z_compensate.py: not installed by"
                                                       " this installer"):
            install.install(klipper_dir, module_dir)
        assert tree_snapshot(klipper_dir) == before

    def test_takes_over_an_installation_made_before_the_record(
            self, klipper_dir, checkout, build):
        install.install_build(klipper_dir, build, checkout, "rebuild-command")
        (extras_of(klipper_dir) / install.RECORD_NAME).unlink()

        removed, left_alone = install.uninstall(klipper_dir)

        assert len(removed) == 3 and left_alone == []

    @pytest.mark.parametrize("source, removed", [
        ("checkout", True), ("file:///elsewhere/z-compensate", False), (None, False)],
        ids=["from this checkout", "from another checkout", "from an index"])
    def test_a_package_in_klippys_environment_is_removed_only_if_it_installed_it(
            self, klippy_env, checkout, source, removed):
        python = klippy_env / "bin" / "python"
        site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()"
                               "['purelib'])"], stdout=subprocess.PIPE, check=True,
                              universal_newlines=True).stdout.strip()
        info = Path(site) / "z_compensate-0.0.1.dist-info"
        info.mkdir()
        (info / "METADATA").write_text("Metadata-Version: 2.1\nName: z-compensate\n"
                                       "Version: 0.0.1\n")
        if source is not None:
            url = checkout.resolve().as_uri() if source == "checkout" else source
            (info / "direct_url.json").write_text('{"url": "%s", "dir_info": {}}' % url)
        (info / "RECORD").write_text("".join("%s/%s,,\n" % (info.name, path.name)
                                             for path in info.iterdir()))
        out = io.StringIO()
        try:
            install.remove_package_from_env(python, checkout, out)
        finally:
            shutil.rmtree(str(info), ignore_errors=True)

        assert ("Removing the z-compensate package" in out.getvalue()) == removed
        assert ("left alone the z-compensate package in %s" % klippy_env
                in out.getvalue()) != removed


@pytest.fixture
def kalico(tmp_path):
    """A git checkout of the Kalico fork, which has klippy/plugins/."""
    return make_klipper_checkout(tmp_path, with_git=True, with_plugins=True)


def our_files(folder):
    return sorted(path.name for path in folder.glob("z_compensate*"))


class TestPluginsFolder:
    """A host with klippy/plugins/ gets the module there, never in both folders."""

    def test_installs_into_plugins_and_leaves_the_checkout_clean(
            self, kalico, checkout, build, tree_snapshot):
        before = tree_snapshot(kalico)
        exclude = (kalico / ".git" / "info" / "exclude").read_text()

        for _ in range(2):
            written, moved_away, _ = install.install_build(kalico, build, checkout, "rebuild")

        plugins = kalico / "klippy" / "plugins"
        assert {path.parent for path in written} == {plugins}
        assert moved_away == []
        assert our_files(plugins) == sorted([EXTENSION, "z_compensate.py", install.STAMP_NAME,
                                             install.RECORD_NAME])
        assert (plugins / "z_compensate.py").resolve() == (
            checkout / "klippy" / "extras" / "z_compensate.py").resolve()
        assert our_files(extras_of(kalico)) == []
        assert git_status(kalico) == ""
        assert (kalico / ".git" / "info" / "exclude").read_text() == exclude
        install.uninstall(kalico)
        assert tree_snapshot(kalico) == before

    def test_an_earlier_installation_in_extras_moves_to_plugins(
            self, git_klipper, checkout, build, tree_snapshot):
        pristine = tree_snapshot(git_klipper)
        install.install_build(git_klipper, build, checkout, "rebuild")
        in_extras, _ = install.installed_files(extras_of(git_klipper))
        # The checkout becomes Kalico's
        (git_klipper / "klippy" / "plugins").mkdir()
        (git_klipper / "klippy" / "plugins" / "__init__.py").write_text("# plugins\n")

        written, moved_away, _ = install.install_build(git_klipper, build, checkout, "rebuild")

        assert sorted(moved_away) == in_extras
        assert our_files(extras_of(git_klipper)) == []
        assert our_files(git_klipper / "klippy" / "plugins") == sorted(
            [path.name for path in written] + [install.RECORD_NAME])
        # Its exclude lines went with it
        assert tree_snapshot(git_klipper)[".git/info/exclude"] == pristine[".git/info/exclude"]
        install.uninstall(git_klipper)
        assert tree_snapshot(git_klipper) == dict(
            pristine, **{"klippy/plugins/__init__.py": b"# plugins\n"})

    def test_uninstall_clears_both_folders(self, klipper_dir, checkout, build, module_dir):
        # An installation in extras left beside one in plugins, as by hand
        install.install(klipper_dir, module_dir)
        (klipper_dir / "klippy" / "plugins").mkdir()
        install.install_build(klipper_dir, build, checkout, "rebuild")
        install.install(klipper_dir, module_dir)

        install.uninstall(klipper_dir)

        assert our_files(extras_of(klipper_dir)) == []
        assert our_files(klipper_dir / "klippy" / "plugins") == []

    @pytest.mark.parametrize("search_path, loader", [
        ("klippy", "plugins.z_compensate"),
        (".", "klippy.plugins.z_compensate"),
    ], ids=["plugins-package", "klippy-package"])
    def test_the_loader_imports_the_extension_beside_it(
            self, kalico, checkout, search_path, loader):
        (kalico / "klippy" / "__init__.py").write_text("")
        extension, _ = install.built_files()
        install.install_build(kalico, extension, checkout, "rebuild")

        result = subprocess.run(
            [sys.executable, "-c", LOAD_BUILD, str(kalico / search_path), loader],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == [
            loader + "_wrapper", str(kalico / "klippy" / "plugins" / extension.name)]


# What klippy does: import the loader as a module of its package, and (the
# Kalico fork) every other module in the folder too; then the loader loads
# the build for the section
LOAD_BUILD = """
import importlib, sys, types
sys.path.insert(0, sys.argv[1])
loader = importlib.import_module(sys.argv[2])
importlib.import_module(sys.argv[2] + "_wrapper")
wrapper = loader.load_build(types.SimpleNamespace(error=RuntimeError))
print(wrapper.__name__, wrapper.__file__)
"""


class TestLoaderCheck:
    """What the loader says at klippy's start about the build beside it."""

    @pytest.fixture
    def loader(self, checkout):
        return install.load_checkout_loader(checkout)

    def test_a_matching_build_passes(self, loader, checkout):
        stamp = {"sources": loader.sources_digest(str(checkout))}

        assert loader.stale_build(loader.checkout_version(str(checkout)), str(checkout),
                                  stamp) is None

    def test_a_build_of_another_version_is_refused(self, loader, checkout):
        stamp = {"sources": loader.sources_digest(str(checkout))}
        pyproject = checkout / "pyproject.toml"
        version = loader.checkout_version(str(checkout))
        pyproject.write_text(pyproject.read_text().replace(
            'version = "%s"' % version, 'version = "99.0"'))

        problem = loader.stale_build(version, str(checkout), stamp)

        assert problem == "the installed build is version %s, the checkout %s is 99.0" % (
            version, checkout)

    @pytest.mark.parametrize("changed", ["host/printer.h", "CMakeLists.txt",
                                         "klippy/extras/z_compensate_wrapper/motion.cpp"])
    def test_a_build_of_other_sources_is_refused(self, loader, checkout, changed):
        stamp = {"sources": loader.sources_digest(str(checkout))}
        with (checkout / changed).open("a") as source:
            source.write("\n// changed\n")

        problem = loader.stale_build(loader.checkout_version(str(checkout)), str(checkout),
                                     stamp)

        assert problem == "the sources in %s changed after the installed build" % checkout

    def test_the_refusal_says_how_to_rebuild(self, loader, checkout):
        assert loader.rebuild_hint(str(checkout), {"rebuild": "x.sh --klipper k"}) == (
            "rebuild it with: x.sh --klipper k, then restart Klipper")


class TestMoonrakerSection:
    def test_describes_this_repository_without_an_install_script(self, tmp_path):
        section = install.moonraker_section(tmp_path, origin="https://example.com/z.git")

        assert section.splitlines() == [
            "[update_manager z_compensate]",
            "type: git_repo",
            "path: %s" % tmp_path.resolve().as_posix(),
            "origin: https://example.com/z.git",
            "primary_branch: main",
            "managed_services: klipper",
        ]

    def test_writes_paths_below_home_with_a_tilde(self, tmp_path, monkeypatch):
        monkeypatch.setenv("HOME", str(tmp_path))
        (tmp_path / "z-compensate").mkdir()

        section = install.moonraker_section(tmp_path / "z-compensate", origin="x")

        assert "path: ~/z-compensate\n" in section

    def test_outside_a_git_checkout_uses_a_placeholder_origin(self, tmp_path):
        section = install.moonraker_section(tmp_path)

        assert "origin: %s\n" % install.ORIGIN_PLACEHOLDER in section


def run_script(*args, env=None):
    return run_script_of(REPO_DIR, *args, env=env)


def run_script_of(checkout, *args, env=None):
    script = checkout / INSTALL_SCRIPT.relative_to(REPO_DIR)
    return subprocess.run(["bash", str(script)] + [str(a) for a in args], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


@pytest.fixture
def no_build(monkeypatch):
    """Fails the test if anything is built."""
    def build(*args, **kwargs):
        raise AssertionError("built although the arguments were wrong")
    monkeypatch.setattr(install, "build", build)


class TestChecksBeforeBuilding:
    def test_a_wrong_klipper_directory(self, tmp_path, no_build, capsys):
        code = install.main(["--klipper", str(tmp_path), "--env", str(tmp_path)])

        assert code == 1
        assert "give the Klipper checkout with --klipper DIR" in capsys.readouterr().err

    def test_a_wrong_environment(self, klipper_dir, tmp_path, no_build, capsys):
        code = install.main(["--klipper", str(klipper_dir), "--env", str(tmp_path / "nowhere")])

        assert code == 1
        assert "give klippy's virtual environment with --env DIR" in capsys.readouterr().err

    def test_missing_build_tools_are_named_with_what_to_install(
            self, klipper_dir, tmp_path, no_build, monkeypatch, capsys):
        monkeypatch.setattr(install.shutil, "which", lambda name: None)
        env = tmp_path / "env"
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env)], check=True)

        code = install.main(["--klipper", str(klipper_dir), "--env", str(env)])

        err = capsys.readouterr().err
        assert code == 1
        assert "CMake (cmake) is not installed" in err
        assert "no C++ compiler" in err
        assert "sudo apt-get install build-essential cmake python3-dev" in err

    def test_the_script_reports_a_wrong_klipper_directory_at_once(self, tmp_path):
        result = run_script("--klipper", tmp_path / "nowhere", "--env", tmp_path / "nowhere")

        assert result.returncode == 1
        assert "give the Klipper checkout with --klipper DIR" in result.stderr
        assert not (REPO_DIR / "build" / "nowhere").exists()


@pytest.fixture
def git_checkout(checkout):
    """The checkout of this repository as a git checkout with one commit."""
    git(checkout, "init", "--quiet")
    git(checkout, "add", "--all")
    git(checkout, "commit", "--quiet", "--message", "z-compensate")
    return checkout


class TestRefusedTargets:
    """A directory that is not a Klipper checkout, or is this repository's
    own checkout, is refused before anything is built or touched."""

    @pytest.mark.parametrize("action", [[], ["--uninstall"]], ids=["install", "uninstall"])
    def test_this_repositorys_own_checkout(self, git_checkout, tmp_path, action, no_build,
                                           capsys):
        before = tree_state(git_checkout)

        code = install.main(["--klipper", str(git_checkout), "--repo", str(git_checkout),
                             "--env", str(tmp_path / "env")] + action)

        assert code == 1
        assert capsys.readouterr().err == (
            "error: %s is this module's own checkout, not Klipper's: give the Klipper"
            " checkout with --klipper DIR\n" % git_checkout)
        assert tree_state(git_checkout) == before
        assert git_status(git_checkout) == ""

    @pytest.mark.parametrize("action", [[], ["--uninstall"]], ids=["install", "uninstall"])
    @pytest.mark.parametrize("missing", ["klippy/klippy.py", "klippy/extras"])
    def test_a_directory_that_is_not_a_klipper_checkout(
            self, git_klipper, checkout, tmp_path, action, missing, no_build, capsys):
        # Such as a copy of klippy's extras alone, or klippy without its extras
        git(git_klipper, "rm", "-r", "--quiet", missing)
        git(git_klipper, "commit", "--quiet", "--message", "without " + missing)
        before = tree_state(git_klipper)

        code = install.main(["--klipper", str(git_klipper), "--repo", str(checkout),
                             "--env", str(tmp_path / "env")] + action)

        assert code == 1
        assert capsys.readouterr().err == (
            "error: %s is not a Klipper checkout: expected klippy/klippy.py and"
            " klippy/extras/ in it; give the Klipper checkout with --klipper DIR\n"
            % git_klipper)
        assert tree_state(git_klipper) == before
        assert git_status(git_klipper) == ""

    def test_the_script_refuses_its_own_checkout(self, checkout, tmp_path):
        # A copy with the script and the installer, so that a failing check
        # cannot harm this checkout
        for relative in ["scripts/install-klipper.sh", "src/z_compensate/install.py",
                         "src/z_compensate/__init__.py"]:
            (checkout / relative).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(str(REPO_DIR / relative), str(checkout / relative))
        before = tree_state(checkout)

        result = run_script_of(checkout, "--klipper", checkout, "--env", sys.prefix)

        assert result.returncode == 1
        assert "is this module's own checkout, not Klipper's" in result.stderr
        assert tree_state(checkout) == before


@pytest.fixture(scope="module")
def klippy_env(tmp_path_factory):
    """A virtual environment with pip, standing in for klippy's."""
    env = tmp_path_factory.mktemp("klippy-env")
    subprocess.run([sys.executable, "-m", "venv", str(env)], check=True)
    return env


RUNNING_PYTHON_TAG = "cp{0}{1}-cp{0}{1}-linux_{2}".format(
    sys.version_info[0], sys.version_info[1], platform.machine())


def make_wheel(wheels_dir, checkout, sources, tag=RUNNING_PYTHON_TAG):
    """A wheel of the checkout's version as scripts/build-wheels lays it out,
    with a fake extension and the digest of `sources` in its stamp."""
    version = install.checkout_version(checkout)
    name = "z_compensate-%s-%s.whl" % (version, tag)
    files = {
        "z_compensate/module/z_compensate_wrapper"
        + sysconfig.get_config_var("EXT_SUFFIX"): "\x7fELF wheel build",
        "z_compensate/module/z_compensate.py": "def load_config(config):\n    pass\n",
        "z_compensate/module/z_compensate_wrapper.stamp": "sources: %s\n" % sources,
        "z_compensate-%s.dist-info/METADATA" % version:
            "Metadata-Version: 2.1\nName: z-compensate\nVersion: %s\n" % version,
        "z_compensate-%s.dist-info/WHEEL" % version:
            "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\nTag: %s\n" % tag,
    }
    files["z_compensate-%s.dist-info/RECORD" % version] = "".join(
        "%s,,\n" % path for path in list(files) + ["z_compensate-%s.dist-info/RECORD" % version])
    wheels_dir.mkdir(exist_ok=True)
    with zipfile.ZipFile(str(wheels_dir / name), "w") as wheel:
        for path, text in files.items():
            wheel.writestr(path, text)
    return name


class TestInstallFromWheel:
    """A wheel that fits klippy's Python and the checkout replaces the build."""

    @pytest.fixture
    def run(self, klipper_dir, checkout, klippy_env):
        def run(wheels_dir):
            out = io.StringIO()
            install.install_main(install.parse_args(
                ["--klipper", str(klipper_dir), "--env", str(klippy_env),
                 "--repo", str(checkout), "--wheels", str(wheels_dir)]), out)
            return out.getvalue()
        return run

    @pytest.fixture
    def fallback_build(self, monkeypatch, build):
        monkeypatch.setattr(install, "missing_build_tools", lambda facts: [])
        monkeypatch.setattr(install, "build", lambda *args, **kwargs: build)

    def test_a_wheel_of_the_checkout_installs_without_build_tools(
            self, run, klipper_dir, checkout, tmp_path, no_build, monkeypatch):
        monkeypatch.setattr(install.shutil, "which", lambda name: None)
        digest = install.load_checkout_loader(checkout).sources_digest(str(checkout))
        make_wheel(tmp_path / "wheels", checkout, "0" * 64, tag="cp39-cp39-linux_mips")
        fitting = make_wheel(tmp_path / "wheels", checkout, digest)

        out = run(tmp_path / "wheels")

        assert "Installing the module from the wheel %s: nothing to build" % fitting in out
        extras = extras_of(klipper_dir)
        extension = "z_compensate_wrapper" + sysconfig.get_config_var("EXT_SUFFIX")
        assert (extras / extension).read_bytes() == b"\x7fELF wheel build"
        assert (extras / "z_compensate.py").is_symlink()
        stamp = install.load_checkout_loader(checkout).read_stamp(
            str(extras / install.STAMP_NAME))
        assert stamp["sources"] == digest

    def test_a_wheel_of_other_sources_is_not_used(
            self, run, klipper_dir, checkout, tmp_path, fallback_build, build):
        wheel = make_wheel(tmp_path / "wheels", checkout, "0" * 64)

        out = run(tmp_path / "wheels")

        assert "The wheel %s was not built from the sources in %s" % (wheel, checkout) in out
        assert (extras_of(klipper_dir) / build.name).read_bytes() == build.read_bytes()

    def test_a_wheel_for_another_platform_is_not_used(
            self, run, klipper_dir, checkout, tmp_path, fallback_build, build):
        digest = install.load_checkout_loader(checkout).sources_digest(str(checkout))
        make_wheel(tmp_path / "wheels", checkout, digest, tag="cp39-cp39-linux_mips")

        out = run(tmp_path / "wheels")

        assert "No wheel of version %s in %s fits klippy's Python" % (
            install.checkout_version(checkout), tmp_path / "wheels") in out
        assert (extras_of(klipper_dir) / build.name).read_bytes() == build.read_bytes()


class TestScript:
    def test_uninstalls_twice_without_an_environment(self, git_klipper, checkout, build,
                                                       tmp_path):
        install.install_build(git_klipper, build, checkout, "rebuild-command")

        for _ in range(2):
            result = run_script("--uninstall", "--klipper", git_klipper,
                                "--env", tmp_path / "no-env")
            assert result.returncode == 0, result.stderr
        assert "is not installed" in result.stdout
        assert git_status(git_klipper) == ""
        assert not list(extras_of(git_klipper).glob("z_compensate*"))

    def test_prints_the_moonraker_section_for_its_checkout(self, tmp_path):
        result = run_script("--print-moonraker", "--env", tmp_path)

        assert result.returncode == 0, result.stderr
        assert "path: %s\n" % install.home_relative(REPO_DIR) in result.stdout

    def test_help(self, tmp_path):
        result = run_script("--help", "--env", tmp_path)

        assert result.returncode == 0
        for option in ("--klipper", "--env", "--uninstall", "--print-moonraker"):
            assert option in result.stdout
