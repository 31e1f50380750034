#!/usr/bin/env bash
# Install the Debian packages the Python module, its tests, the Dask example and the
# Python benchmark need (nothing comes from a Python package index).
set -euo pipefail
packages=(cmake make g++ python3-dev pybind11-dev python3-numpy python3-venv python3-pip
          python3-setuptools python3-wheel python3-build python3-pytest python3-dask
          python3-distributed python3-pil)
bash "$(dirname "$0")/install-missing.sh" setup-python "${packages[@]}"
