#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C host against it twice: through
# pkg-config and through find_package. Both hosts must run.
set -euo pipefail
build_dir=$1
sanitize=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
flags=()
[ -n "$sanitize" ] && flags=(-fsanitize="$sanitize")
export LD_LIBRARY_PATH="$scratch/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# The host calls only the no-device path; keep it away from any sound server.
export PULSE_SERVER="unix:$scratch/no-server"

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "${flags[@]}" "$here/consumer/host.c" -o "$scratch/host-pkgconfig" \
  $(pkg-config --cflags --libs mivo-voice-io)
"$scratch/host-pkgconfig"

cmake -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_C_FLAGS="${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/host"
