import pytest

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

    def test_removes_builds_for_other_pythons(self, klipper_dir, module_dir):
        extras = extras_of(klipper_dir)
        old_build = extras / "z_compensate_wrapper.cpython-38-x86_64-linux-gnu.so"
        old_build.write_bytes(b"old build")

        install.install(klipper_dir, module_dir)

        assert not old_build.exists()
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
        with pytest.raises(install.InstallError, match="klippy/extras does not exist"):
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

        removed = install.uninstall(klipper_dir)

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

        assert install.uninstall(klipper_dir) == []
        assert tree_snapshot(klipper_dir) == before

    def test_refuses_a_directory_without_klippy_extras(self, tmp_path):
        with pytest.raises(install.InstallError, match="klippy/extras does not exist"):
            install.uninstall(tmp_path)


class TestMoonrakerSection:
    def test_describes_this_repository(self, tmp_path):
        section = install.moonraker_section(tmp_path, origin="https://example.com/z.git")

        assert section.splitlines() == [
            "[update_manager z_compensate]",
            "type: git_repo",
            "path: %s" % tmp_path.resolve().as_posix(),
            "origin: https://example.com/z.git",
            "primary_branch: main",
            "install_script: scripts/install-klipper.sh",
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


class TestMain:
    def test_install_then_uninstall(self, klipper_dir, module_dir, monkeypatch, capsys):
        monkeypatch.setattr(install, "MODULE_DIR", module_dir)

        assert install.main(["--klipper", str(klipper_dir)]) == 0
        assert "Restart Klipper" in capsys.readouterr().out
        assert install.main(["--klipper", str(klipper_dir), "--uninstall"]) == 0
        assert "removed" in capsys.readouterr().out
        assert not list(extras_of(klipper_dir).glob("z_compensate*"))

    def test_reports_a_missing_checkout(self, tmp_path, capsys):
        assert install.main(["--klipper", str(tmp_path)]) == 1
        assert "give the Klipper checkout with --klipper DIR" in capsys.readouterr().err

    def test_prints_the_moonraker_section(self, tmp_path, capsys):
        args = ["--print-moonraker", "--repo", str(tmp_path), "--origin", "x"]

        assert install.main(args) == 0
        assert capsys.readouterr().out.startswith("[update_manager z_compensate]\n")

    def test_uninstall_and_print_moonraker_exclude_each_other(self, capsys):
        with pytest.raises(SystemExit):
            install.main(["--uninstall", "--print-moonraker"])
