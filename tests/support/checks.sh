# Sourced by the shell test scripts: a scratch directory, removed on exit,
# as the working directory, and the tally of checks.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
pass=0
fail=0
bad() { echo "FAIL: $*"; fail=$((fail + 1)); }
good() { pass=$((pass + 1)); }
