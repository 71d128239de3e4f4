# Sourced by the play scripts: they run in a scratch folder, $work, that goes at exit, and fail names
# what went wrong and ends the script.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "FAIL: $*"
  exit 1
}
