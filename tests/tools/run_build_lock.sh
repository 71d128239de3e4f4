#!/usr/bin/env bash
# ./run and ./test as a user starts them twice in one clone, over a stand-in build: tools/build.sh
# relinks build/host/zelko-host when src/version changes, holding the binary open for writing while
# it links (a program started then fails with "Text file busy"), and fails when a second build meets
# it or when the binary it would relink is running. Each step waits on what the scripts say (fifos),
# never on time:
# 1. after a change, `./run & ./run start & ./test`: the later two wait for the link, then all succeed,
#    and ./run shows the build's output on stderr, apart from the program's on stdout;
# 2. a change while ./run is still running: the next ./run waits for it, then relinks and runs;
# 3. with nothing left to build, a second ./run runs while the first, which built, still runs.
set -euo pipefail
src=$1
s=$(mktemp -d)
exec 5<>/dev/null 6<>/dev/null
cleanup() {
  echo go >&6 || true # nothing stays held at the gate
  wait || true
  rm -rf "$s"
}
trap cleanup EXIT
mkdir -p "$s/tools" "$s/src" "$s/bin" "$s/examples"
cp "$src/run" "$src/test" "$s/"
cp "$src/tools/build_lock.sh" "$s/tools/"
mkfifo "$s/events" "$s/gate"
# The test holds both fifos open, so neither side blocks opening them.
exec 5<>"$s/events" 6<>"$s/gate"

cat >"$s/tools/build.sh" <<'FAKE'
#!/usr/bin/env bash
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$1" = --up-to-date ]; then
  [ "$(cat "$2/built" 2>/dev/null)" = "$(cat "$root/src/version")" ]
  exit
fi
dir=$1
if [ -e "$dir/building" ]; then
  echo "stand-in build: a second build in $dir during a build" >&2
  exit 1
fi
touch "$dir/building"
trap 'rm -f "$dir/building"' EXIT
want=$(cat "$root/src/version")
if [ "$(cat "$dir/built" 2>/dev/null)" = "$want" ]; then
  echo "ninja: no work to do."
  exit 0
fi
for r in "$dir"/running.*; do
  if [ -e "$r" ]; then
    echo "stand-in build: cannot relink $dir/host/zelko-host while it runs" >&2
    exit 1
  fi
done
echo "[1/1] Linking CXX executable host/zelko-host"
mkdir -p "$dir/host"
exec 3>"$dir/host/zelko-host"
cat >&3 <<HOST
#!/usr/bin/env bash
dir=\$(cd "\$(dirname "\$0")/.." && pwd)
touch "\$dir/running.\$\$"
trap 'rm -f "\$dir/running.\$\$"' EXIT
echo "version $want: \${*: -1}"
if [ "\${*: -1}" = hold ]; then
  echo running >"\$dir/../events"
  read -r _ <"\$dir/../gate"
fi
HOST
chmod +x "$dir/host/zelko-host"
if [ -e "$root/hold-link" ]; then
  rm "$root/hold-link"
  echo linking >"$root/events"
  read -r _ <"$root/gate"
fi
exec 3>&-
echo "$want" >"$dir/built"
FAKE
chmod +x "$s/tools/build.sh"
printf '#!/bin/sh\necho "ctest: all passed"\n' >"$s/bin/ctest"
chmod +x "$s/bin/ctest"
export PATH="$s/bin:$PATH"

fail() {
  echo "FAIL: $*"
  for f in "$s"/*.out "$s"/*.err; do
    [ -e "$f" ] && { echo "== $(basename "$f")"; cat "$f"; }
  done
  exit 1
}
# next_event: the next line a stand-in wrote to the events fifo (or a started script's exit).
next_event() {
  read -r event <&5
  echo "$event"
}
# start <name> <script> [args]: in the background, stdout and stderr in <name>.out and <name>.err,
# its exit status reported as an event "<name> exit <rc>".
start() {
  local name=$1
  shift
  ( set +e; "$@" >"$s/$name.out" 2>"$s/$name.err"; echo "$name exit $?" >"$s/events" ) &
}
# start_watched <name> <fd> <script> [args]: the same, its stderr read through a fifo on <fd>.
start_watched() {
  local name=$1 fd=$2
  shift 2
  mkfifo "$s/$name.fifo"
  ( set +e; "$@" >"$s/$name.out" 2>"$s/$name.fifo"; echo "$name exit $?" >"$s/events" ) &
  eval "exec $fd<\"\$s/\$name.fifo\""
}
# waits_for_lock <fd> <name>: reads the script's stderr until it says it waits (0) or ends (1).
waits_for_lock() {
  local line
  while IFS= read -r line <&"$1"; do
    echo "$line" >>"$s/$2.err"
    case $line in *"waiting for another ./run or ./test"*) return 0 ;; esac
  done
  return 1
}
# drain <fd> <name>: the rest of its stderr, to its end.
drain() {
  cat <&"$1" >>"$s/$2.err"
}
expect_exit() {
  local e
  e=$(next_event)
  [ "$e" = "$1 exit 0" ] || fail "expected $1 to succeed, got: $e"
}
# expect_exits <name>...: each succeeds, in any order: a script that ends lets the next one take the
# lock before its own exit is reported.
expect_exits() {
  local e left=" $* "
  for _ in "$@"; do
    e=$(next_event)
    case $left in *" ${e%% *} "*) ;; *) fail "expected one of$left to succeed, got: $e" ;; esac
    [ "${e#* }" = "exit 0" ] || fail "expected each of $* to succeed, got: $e"
    left=${left/ ${e%% *} / }
  done
}

# A first build, so a binary exists (and is executable) when the next change relinks it.
echo 1 >"$s/src/version"
"$s/run" first >"$s/first.out" 2>"$s/first.err" || fail "the first ./run failed"
grep -qx 'version 1: first' "$s/first.out" || fail "the first ./run printed something else"

# 1. A change, then ./run in the background, held in its link; ./run start and ./test meanwhile.
echo 2 >"$s/src/version"
touch "$s/hold-link"
start a "$s/run"
[ "$(next_event)" = linking ] || fail "./run did not reach its link"
start_watched b 7 "$s/run" start
waits_for_lock 7 b || fail "./run start did not wait for the link of the ./run before it"
start_watched c 8 "$s/test"
waits_for_lock 8 c || fail "./test did not wait for the link of the ./run before it"
echo go >&6
drain 7 b
drain 8 c
expect_exits a b c
[ "$(cat "$s/a.out")" = "version 2: $s/examples" ] || fail "./run did not run the relinked program alone on stdout"
grep -q '^\[1/1\] Linking' "$s/a.err" || fail "./run did not show the build's progress"
grep -qx 'version 2: start' "$s/b.out" || fail "./run start did not run the relinked program"
grep -qx 'ctest: all passed' "$s/c.out" || fail "./test did not run the tests"
exec 7<&- 8<&-

# 2. ./run still running when the source changes: the next ./run waits, then relinks.
start d "$s/run" hold
[ "$(next_event)" = running ] || fail "./run hold did not start"
echo 3 >"$s/src/version"
start_watched e 7 "$s/run" start
waits_for_lock 7 e || fail "./run start did not wait for the running ./run before relinking"
echo go >&6
drain 7 e
expect_exits d e
grep -qx 'version 3: start' "$s/e.out" || fail "./run start did not run the relinked program"
exec 7<&-

# 3. A ./run that built runs on holding the lock shared: a second ./run with nothing to build runs.
echo 4 >"$s/src/version"
start f "$s/run" hold
[ "$(next_event)" = running ] || fail "./run hold did not start"
start_watched g 7 "$s/run" start
if waits_for_lock 7 g; then
  fail "./run start waited for a running ./run with nothing to build"
fi
expect_exit g
grep -qx 'version 4: start' "$s/g.out" || fail "./run start did not run the program the first ./run built"
echo go >&6
expect_exit f
exec 7<&-
echo "two ./run and a ./test in one clone: each waits for a link, none for a run; all succeed"
