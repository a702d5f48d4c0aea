"""Klipper checkouts, for the installer's tests."""
import os

from published_repository import REPO_DIR, git

INSTALL_SCRIPT = REPO_DIR / "scripts" / "install-klipper.sh"
# What Klipper's own .gitignore keeps out of `git status` in extras/
KLIPPER_GITIGNORE = "out\n*.so\n*.pyc\n"
# What the Kalico fork's adds: its plugins/ folder, all but the package file
PLUGINS_GITIGNORE = "klippy/plugins/*\n!klippy/plugins/__init__.py\n"


def make_klipper_checkout(root, with_git=False, with_plugins=False):
    """A directory laid out like the part of a Klipper checkout the installer
    uses; with `with_plugins`, the Kalico fork's, which keeps third-party
    modules in klippy/plugins/; with `with_git`, a git checkout with one
    commit."""
    klipper = root / "klipper"
    extras = klipper / "klippy" / "extras"
    extras.mkdir(parents=True)
    (klipper / "klippy" / "klippy.py").write_text("# Stands in for klippy's main program.\n")
    (extras / "__init__.py").write_text("# Package definition for the extras directory\n")
    (extras / "probe.py").write_text("# Stands in for klippy's probe module.\n")
    if with_plugins:
        (klipper / "klippy" / "plugins").mkdir()
        (klipper / "klippy" / "plugins" / "__init__.py").write_text(
            "# Package definition for the plugin directory\n")
    if with_git:
        (klipper / ".gitignore").write_text(
            KLIPPER_GITIGNORE + (PLUGINS_GITIGNORE if with_plugins else ""))
        git(klipper, "init", "--quiet")
        git(klipper, "add", "--all")
        git(klipper, "commit", "--quiet", "--message", "Klipper")
    return klipper


def git_status(klipper):
    return git(klipper, "status", "--porcelain", "--untracked-files=all")


def snapshot(root):
    """Every file below `root` with its content, byte code caches left out."""
    return {
        path.relative_to(root).as_posix(): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() and "__pycache__" not in path.parts
    }


def tree_state(root):
    """Every file, link and directory below `root` (itself included) with its
    modification time and its content or link target: a refusal that
    touched anything, even a file it made and removed again, changes it."""
    state = {}
    for path in [root] + sorted(root.rglob("*")):
        status = path.lstat()
        if path.is_symlink():
            content = os.readlink(str(path))
        elif path.is_file():
            content = path.read_bytes()
        else:
            content = None
        state[path.relative_to(root).as_posix()] = (status.st_mtime_ns, content)
    return state
