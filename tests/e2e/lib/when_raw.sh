#!/bin/sh
# when_raw.sh TTY PROGRAM ARGS...: runs the program once the terminal TTY neither echoes
# nor collects lines (its owner has set it up), as a caller that dials only when the line
# is ready. The waiting is bounded by the test's own time limit.
tty=$1
shift
until stty -a -F "$tty" 2>/dev/null | grep -q -- '-icanon.*-echo \|-echo .*-icanon'; do
    sleep 0.02
done
exec "$@"
