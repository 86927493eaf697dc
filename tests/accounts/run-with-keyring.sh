#!/bin/sh
# Runs a test program inside a private D-Bus session with an unlocked gnome-keyring (the Secret
# Service), in a throw-away home folder, so that tests never touch the user's own keyring and need
# no prompt. Usage: run-with-keyring.sh program [arguments...]
set -eu
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache"
export XDG_RUNTIME_DIR="$home/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# Never fall back to the user's desktop session or to autolaunching a bus.
unset DBUS_SESSION_BUS_ADDRESS
status=0
dbus-run-session -- sh -c 'printf test | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' \
    sh "$@" || status=$?
exit $status
