#!/usr/bin/env bash
# Runs a test program with the environment every test gets: the user's
# configuration and state folders (where the start at log-on's entry goes,
# and the settings of a program run without QUOR_HOME) and the update server
# point at places of the tests' own, so no test writes to the home folder of
# whoever runs it or reaches for the real update host; a test that wants
# quor-helper starts its own, so none reaches an installed one.
base="${QUOR_TEST_XDG:-${TMPDIR:-/tmp}/quor-test-xdg}"
export XDG_CONFIG_HOME="$base/config" XDG_STATE_HOME="$base/state"
export QUOR_UPDATE_HOST=127.0.0.1
export QUOR_HELPER_SOCKET="${QUOR_HELPER_SOCKET:-$base/no-helper.sock}"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
exec "$@"
