# Shared by the check scripts: counts checks and prints one line for each.
passed=0
failed=0
skipped=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}
skip() {  # skip DESCRIPTION
  echo "skipped: $1"
  skipped=$((skipped + 1))
}
