#!/bin/bash
# Builds the z_compensate module with the Python of klippy's virtual
# environment and installs it into the Klipper checkout. Moonraker's update
# manager runs this script without options after each update.
set -e

REPO_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KLIPPER_DIR="${HOME}/klipper"
KLIPPY_ENV="${HOME}/klippy-env"
ACTION=install

usage()
{
    cat <<EOF
Usage: $0 [--klipper DIR] [--env DIR] [--uninstall | --print-moonraker]

  --klipper DIR      Klipper checkout (default: ~/klipper)
  --env DIR          klippy's virtual environment (default: ~/klippy-env)
  --uninstall        remove the module from Klipper and from the environment
  --print-moonraker  print the moonraker.conf update_manager section
EOF
}

require_value()
{
    if [ -z "$2" ]; then
        echo "$1 needs a directory" >&2
        exit 2
    fi
}

while [ $# -gt 0 ]; do
    case "$1" in
        --klipper) require_value "$1" "$2"; KLIPPER_DIR="$2"; shift 2 ;;
        --env) require_value "$1" "$2"; KLIPPY_ENV="$2"; shift 2 ;;
        --uninstall) ACTION=uninstall; shift ;;
        --print-moonraker) ACTION=print-moonraker; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "Unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

PYTHON="${KLIPPY_ENV}/bin/python"
if [ ! -x "${PYTHON}" ]; then
    echo "No Python at ${PYTHON}: give klippy's virtual environment with --env DIR" >&2
    exit 1
fi

case "${ACTION}" in
    install)
        "${KLIPPY_ENV}/bin/pip" install "${REPO_DIR}"
        "${PYTHON}" -m z_compensate.install --klipper "${KLIPPER_DIR}"
        ;;
    uninstall)
        "${PYTHON}" -m z_compensate.install --uninstall --klipper "${KLIPPER_DIR}"
        "${KLIPPY_ENV}/bin/pip" uninstall --yes z-compensate
        ;;
    print-moonraker)
        "${PYTHON}" -m z_compensate.install --print-moonraker --repo "${REPO_DIR}"
        ;;
esac
