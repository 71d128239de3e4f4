# Sourced by ./run, ./test and tools/run-panel.sh: one lock per build folder, so two of them in one
# clone take turns. A build holds it alone; running what was built holds it shared, so programs and
# tests run side by side while no link rewrites a binary that is being started or run (a program
# started during a link would exec a half-written file: "Text file busy").

# take_build_lock <flock option>: on descriptor 9, saying so while it waits.
take_build_lock() {
  if ! flock -n "$1" 9; then
    echo "waiting for another ./run or ./test to finish with $build_lock_dir ..." >&2
    flock "$1" 9
  fi
}

# locked_build <build-dir>: builds the folder (tools/build.sh) when there is anything to build,
# holding its lock alone, and returns holding it shared on descriptor 9, which passes to what is
# started next. With nothing to build it waits only for a build, not for what others run.
locked_build() {
  build_lock_dir=$1
  mkdir -p "$1"
  exec 9>"$1/.lock"
  take_build_lock -s
  local build
  build="$(dirname "${BASH_SOURCE[0]}")/build.sh"
  if ! "$build" --up-to-date "$1"; then
    take_build_lock -x
    "$build" "$1"
    flock -s 9
  fi
}
