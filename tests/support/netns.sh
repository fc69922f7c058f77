#!/bin/sh
# netns.sh PROGRAM ARGS...: runs a test program in a private network
# namespace of its own, with only loopback up, so tests may use any
# 127.0.0.0/8 address and well-known ports without touching the host.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n -- sh -c 'ip link set lo up 2>/dev/null; exec "$@"' netns "$@"
elif unshare -rn true 2>/dev/null; then
    exec unshare -rn -- sh -c 'ip link set lo up 2>/dev/null; exec "$@"' netns "$@"
fi
exec "$@"
