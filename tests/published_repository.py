"""This repository as a printer's host gets it: its files as they are now,
committed and pushed to a git origin of their own, later commits published
the same way."""
import shutil
import subprocess
from pathlib import Path

REPO_DIR = Path(__file__).resolve().parents[1]


def git(directory, *args):
    result = subprocess.run(
        ["git", "-C", str(directory), "-c", "user.name=test", "-c", "user.email=test@localhost"]
        + list(args),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def publish_this_repository(source, origin):
    """Commits this repository's files (those git would take, changes not
    yet committed included) in a new repository `source` and pushes them to
    the new bare repository `origin`, branch main."""
    listed = git(REPO_DIR, "ls-files", "--cached", "--others", "--exclude-standard")
    for relative in listed.splitlines():
        if (REPO_DIR / relative).is_file():
            target = source / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(str(REPO_DIR / relative), str(target))
    git(source, "init", "--quiet", "--initial-branch", "main")
    git(source, "add", "--all")
    git(source, "commit", "--quiet", "--message", "release")
    git(source.parent, "init", "--quiet", "--bare", "--initial-branch", "main", origin)
    git(source, "remote", "add", "origin", str(origin))
    git(source, "push", "--quiet", "origin", "main")


def publish(source, files):
    """Commits `files` ({relative path: text}) in `source` and pushes them."""
    for relative, text in files.items():
        (source / relative).write_text(text)
    git(source, "commit", "--quiet", "--all", "--message", "update")
    git(source, "push", "--quiet", "origin", "main")


def version_of(checkout):
    """The version in `checkout`'s pyproject.toml."""
    text = (checkout / "pyproject.toml").read_text()
    return text.split('version = "', 1)[1].split('"', 1)[0]

