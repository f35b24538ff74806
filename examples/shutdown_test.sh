#!/bin/sh
# Runs examples/shutdown.cpp, sends it SIGINT as Ctrl-C would once it is working, and checks that
# it shut down cleanly. Bounded: it gives up after 20 seconds of waiting for the program to start.
program=$1
out=$(mktemp)
"$program" >"$out" 2>&1 &
pid=$!
tries=0
until grep -q "press Ctrl-C" "$out"; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
        kill -KILL $pid; cat "$out"; rm -f "$out"; exit 1
    fi
    sleep 0.1
done
kill -INT $pid
wait $pid
status=$?
cat "$out"
grep -q "shut down cleanly" "$out"
found=$?
rm -f "$out"
[ $status -eq 0 ] && [ $found -eq 0 ]
