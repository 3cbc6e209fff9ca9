#!/bin/sh
# Installs what the benchmarks and their report need when it is missing
# (Debian packages).
set -eu
missing=""
[ -f /usr/include/ini.h ] || missing="$missing libinih-dev"
pkg-config --exists glib-2.0 2>/dev/null || missing="$missing libglib2.0-dev"
[ -f /usr/include/absl/container/flat_hash_map.h ] || missing="$missing libabsl-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"
command -v pkg-config >/dev/null 2>&1 || missing="$missing pkg-config"
# The report counts instructions per entry with callgrind.
command -v valgrind >/dev/null 2>&1 || missing="$missing valgrind"
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $missing
fi
