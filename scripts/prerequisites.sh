#!/usr/bin/env bash
# Makes sure the Debian packages a task needs are installed. Each argument is PACKAGE:PROBE, where
# PROBE is a command the package puts on PATH or a file it installs (an absolute path, wildcards
# allowed). Missing packages are installed with apt-get when this runs as root; otherwise they are
# named and the script fails.
#   scripts/prerequisites.sh cmake:cmake libgtest-dev:/usr/include/gtest/gtest.h
set -u
missing=""
for entry in "$@"; do
    package=${entry%%:*}
    probe=${entry#*:}
    case $probe in
        /*) compgen -G "$probe" >/dev/null ;;
        *) command -v "$probe" >/dev/null ;;
    esac || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing (install them with: sudo apt-get install$missing)" >&2
    exit 1
fi
echo "installing:$missing"
apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
