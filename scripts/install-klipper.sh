#!/bin/bash
# Builds the z_compensate module for the Python of klippy's virtual
# environment and installs it into the Klipper checkout; --uninstall removes
# it again. It keeps a record of the files it installs beside them and
# removes no other file, naming those it leaves alone. Runs from this
# checkout alone: nothing is installed into klippy's environment. Run it again after every update of this checkout (Moonraker's
# update manager runs no build; Klipper refuses the old build until then).
set -e

REPO_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The installer runs with klippy's Python; without that environment (an
# uninstall after it was removed) with the system's.
env_dir="${HOME}/klippy-env"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
        --env) env_dir="${args[i + 1]:-}" ;;
        --env=*) env_dir="${args[i]#--env=}" ;;
    esac
done
python="${env_dir}/bin/python"
[ -x "${python}" ] || python="$(command -v python3 || true)"
if [ -z "${python}" ]; then
    echo "error: no Python at ${env_dir}/bin/python: give klippy's virtual environment with --env DIR" >&2
    exit 1
fi

PYTHONPATH="${REPO_DIR}/src" exec "${python}" -m z_compensate.install --repo "${REPO_DIR}" "$@"
