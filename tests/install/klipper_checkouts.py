"""Klipper checkouts, for the installer's tests."""
from published_repository import REPO_DIR, git

INSTALL_SCRIPT = REPO_DIR / "scripts" / "install-klipper.sh"
# What Klipper's own .gitignore keeps out of `git status` in extras/
KLIPPER_GITIGNORE = "out\n*.so\n*.pyc\n"


def make_klipper_checkout(root, with_git=False):
    """A directory laid out like the part of a Klipper checkout the installer
    uses; with `with_git`, a git checkout with one commit."""
    klipper = root / "klipper"
    extras = klipper / "klippy" / "extras"
    extras.mkdir(parents=True)
    (extras / "__init__.py").write_text("# Package definition for the extras directory\n")
    (extras / "probe.py").write_text("# Stands in for klippy's probe module.\n")
    if with_git:
        (klipper / ".gitignore").write_text(KLIPPER_GITIGNORE)
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
