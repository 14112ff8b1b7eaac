#!/bin/sh
# Runs nunit-console on the test assembly and takes the result from its
# summary line. The runner must end by itself: a Mono process waits at exit
# for every thread that entered managed code, so a library thread left
# running (or one that is never joined) shows up as a runner that does not
# exit. Within SECONDS it is killed as a safety net, and the run FAILS even if
# every test passed.
#   run-nunit.sh SECONDS nunit-console ARGS...
limit=$1
shift
out=$(mktemp)
"$@" > "$out" 2>&1 &
pid=$!
waited=0
hung=0
while kill -0 "$pid" 2>/dev/null; do
  if [ "$waited" -ge "$limit" ]; then
    hung=1
    kill "$pid" 2>/dev/null
    sleep 1
    kill -9 "$pid" 2>/dev/null
    break
  fi
  sleep 1
  waited=$((waited + 1))
done
wait "$pid" 2>/dev/null
status=$?
cat "$out"
summary=$(grep '^Tests run: ' "$out" | tail -1)
rm -f "$out"
if [ "$hung" -eq 1 ]; then
  if [ -n "$summary" ]; then
    echo "run-nunit.sh: the runner printed its summary but did not exit within ${limit}s" >&2
  else
    echo "run-nunit.sh: no test summary and no exit within ${limit}s" >&2
  fi
  exit 1
fi
if [ -z "$summary" ]; then
  echo "run-nunit.sh: the runner exited (status $status) without a test summary" >&2
  exit 1
fi
# "Tests run: N, Errors: E, Failures: F, Inconclusive: ..."
run=$(echo "$summary" | sed -n 's/^Tests run: \([0-9]*\),.*/\1/p')
errors=$(echo "$summary" | sed -n 's/.*Errors: \([0-9]*\),.*/\1/p')
failures=$(echo "$summary" | sed -n 's/.*Failures: \([0-9]*\),.*/\1/p')
echo "$((run - errors - failures)) passed, $((errors + failures)) failed (runner exit status $status)"
[ "$run" -gt 0 ] && [ "$errors" -eq 0 ] && [ "$failures" -eq 0 ] && [ "$status" -eq 0 ]
