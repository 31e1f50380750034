#!/usr/bin/env bash
# Install, with apt-get, those of the named Debian packages that are not installed yet.
#   bash scripts/install-missing.sh LABEL PACKAGE...
# LABEL names the caller in the one line printed before an installation.
set -euo pipefail
label=$1
shift
missing=()
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "$label: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
