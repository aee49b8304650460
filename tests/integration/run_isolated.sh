#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up, so
# tests can bind the program's fixed ports in parallel and never reach the
# machine's network, and with the tests' environment (test_env.sh).
set -euo pipefail
if [ "$(id -u)" -eq 0 ]; then flags=-n; else flags=-rn; fi
env_script="$(dirname "$(readlink -f "$0")")/../test_env.sh"
exec unshare $flags -- bash -c 'ip link set lo up && exec "$@"' isolated "$env_script" "$@"
