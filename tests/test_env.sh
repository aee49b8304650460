#!/usr/bin/env bash
# Runs a test program with the environment every test gets: the system
# autostart folder and the update server point at places of the tests' own,
# so no test writes to /etc/xdg or reaches for the real update host; a test
# that wants quor-helper starts its own, so none reaches an installed one.
export XDG_CONFIG_DIRS="${QUOR_TEST_XDG:-${TMPDIR:-/tmp}/quor-test-xdg}"
export QUOR_UPDATE_HOST=127.0.0.1
export QUOR_HELPER_SOCKET="${QUOR_HELPER_SOCKET:-${TMPDIR:-/tmp}/quor-test-no-helper.sock}"
mkdir -p "$XDG_CONFIG_DIRS"
exec "$@"
