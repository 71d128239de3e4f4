#!/usr/bin/env bash
# A 600 s tone plays bit-exact with the program's memory well under 100 MB: the tone is made as the
# pin takes it and the bus is written out as it arrives, so neither is ever held whole.
# Usage: <zelko-host> <examples folder> [<seconds> <largest resident KB, 0: unchecked>]
set -euo pipefail
host=$1
examples=$2
seconds=${3:-600}
limit=${4:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The largest resident size of the run, in kilobytes, from the kernel's own account of the child.
python3 - "$host" --examples "$examples" --tone "1000,$seconds,48000,2,16" --output long.wav >play.txt <<'PY' || { cat play.txt; exit 1; }
import resource, subprocess, sys
code = subprocess.run(sys.argv[1:]).returncode
sys.stdout.flush()
open('rss.txt', 'w').write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
sys.exit(code)
PY
grep -q '^bit-exact: yes' play.txt || { cat play.txt; exit 1; }
rss=$(cat rss.txt)
[ "$limit" = 0 ] || [ "$rss" -lt "$limit" ] || { echo "FAIL: the $seconds s tone held $rss KB"; exit 1; }
# The bus's file: at least the whole tone.
[ "$(stat -c %s long.wav)" -ge $((seconds * 48000 * 4)) ] || { ls -l long.wav; exit 1; }
echo "$seconds s tone: bit-exact, at most $rss KB resident"
