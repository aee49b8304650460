#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up, so
# tests can bind the program's fixed ports in parallel and never reach the
# machine's network.
set -euo pipefail
if [ "$(id -u)" -eq 0 ]; then flags=-n; else flags=-rn; fi
exec unshare $flags -- bash -c 'ip link set lo up && exec "$@"' isolated "$@"
