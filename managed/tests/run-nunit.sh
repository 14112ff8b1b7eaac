#!/bin/sh
# Runs nunit-console on the test assembly and ends it once it has printed its
# summary. Mono waits at exit for every thread that ever entered managed code;
# the usbmux client library's event thread enters it to report a detach and
# then blocks in native code for the life of the process, so the runtime
# would wait forever after the tests are done. The result is taken from the
# summary line; no summary within the time limit is a failure.
#   run-nunit.sh SECONDS nunit-console ARGS...
limit=$1
shift
out=$(mktemp)
"$@" > "$out" 2>&1 &
pid=$!
waited=0
while kill -0 "$pid" 2>/dev/null; do
  if grep -q '^Tests run: ' "$out" && grep -q '^  Not run: ' "$out"; then
    sleep 2
    break
  fi
  if [ "$waited" -ge "$limit" ]; then
    break
  fi
  sleep 1
  waited=$((waited + 1))
done
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid" 2>/dev/null
  sleep 1
  kill -9 "$pid" 2>/dev/null
fi
wait "$pid" 2>/dev/null
cat "$out"
summary=$(grep '^Tests run: ' "$out" | tail -1)
rm -f "$out"
if [ -z "$summary" ]; then
  echo "run-nunit.sh: no test summary within ${limit}s" >&2
  exit 1
fi
# "Tests run: N, Errors: E, Failures: F, Inconclusive: ..."
run=$(echo "$summary" | sed -n 's/^Tests run: \([0-9]*\),.*/\1/p')
errors=$(echo "$summary" | sed -n 's/.*Errors: \([0-9]*\),.*/\1/p')
failures=$(echo "$summary" | sed -n 's/.*Failures: \([0-9]*\),.*/\1/p')
echo "$((run - errors - failures)) passed, $((errors + failures)) failed"
[ "$run" -gt 0 ] && [ "$errors" -eq 0 ] && [ "$failures" -eq 0 ]
