# Sourced by tools/demo and tools/check-package: a fresh token, and the demo
# application started on a port the kernel picks.

new_token() { od -An -tx1 -N12 /dev/urandom | tr -d ' \n'; }

# start_demo_app EXECUTABLE TOKEN OUTPUT [options...]: starts the application,
# its standard output going to OUTPUT, and sets app_pid and app_port; fails if
# it has not said where it listens within five seconds.
start_demo_app() {
  local executable=$1 token=$2 output=$3
  shift 3
  "$executable" --token "$token" "$@" >"$output" &
  app_pid=$!
  for _ in $(seq 100); do
    grep -q '^listening on' "$output" 2>/dev/null && break
    sleep 0.05
  done
  app_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$output")
  [[ -n $app_port ]] || { echo "the demo application did not start" >&2; return 1; }
}
