# The platform-independent part of the case drivers posix.sh and wine.sh, which source it: reads
# cases.txt, runs each case through the driver's hooks and compares what came out. They define:
#   PROGRAM                   the program path as the usage text shows it; WORK a scratch folder
#   drv_reset                 a store for a new case: no roles' values, no profiles, no mapisvc.inf
#   drv_mapisvc               installs mapisvc.inf with the text on stdin
#   drv_run FAULT ARGUMENT... runs qsprofile, stdin its dialog answers, QSMAPI_FAULT=FAULT (unset
#                             when empty), stderr to $WORK/stderr; prints each message box's text
#                             and a line "----"; 0 when the program ended by itself with status 0
#   drv_reg ARGUMENT...       the reg tool ("query" and "add"); its output with plain newlines
#   drv_sizes KEY...          storedsize's line per key

# Every run is strict: the simulated subsystem ends the program with status 3 when it leaves an
# object or a buffer behind, so that a missing release fails the case.
export QSMAPI_STRICT=1

ROLE_ROOT='HKCU\Software\Tessivar\Quorvane Enterprise Server'
PROFILES='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging Subsystem\Profiles'
GLOBAL_SECTION=13dbb0c8aa05101a9bb000aa002fc45a
declare -A ROLE_KEY=([s]=Agents [m]='Manager\ExchangeAdaptor' [l]=Management [c]=DBConsistency)

# Splits a line into the array WORDS at blanks; double quotes keep blanks ("" is an empty word).
split_words() {
  local line=$1 word= quoted=0 has=0 c i
  WORDS=()
  for ((i = 0; i < ${#line}; i++)); do
    c=${line:i:1}
    case $quoted$c in
      ?\") quoted=$((1 - quoted)) has=1 ;;
      0[[:blank:]]) [ $has = 1 ] && WORDS+=("$word"); word= has=0 ;;
      *) word+=$c has=1 ;;
    esac
  done
  [ $has = 1 ] && WORDS+=("$word")
}

# The values under a key, recursively, as "KEY<tab>NAME<tab>TYPE<tab>DATA" lines, KEY relative
# to the key queried ("" for the key itself). Nothing when the key does not exist.
values_under() {
  drv_reg query "$1" /s | awk -v root="${1#HKCU\\}" '
    /^HKEY_CURRENT_USER\\/ {
      key = substr($0, 19); key = key == root ? "" : substr(key, length(root) + 2)
      keys[key] = 1; next
    }
    /^    / {
      line = substr($0, 5); name = substr(line, 1, index(line, "    ") - 1)
      line = substr(line, length(name) + 5); type = line; sub(/    .*/, "", type)
      print key "\t" name "\t" type "\t" substr(line, length(type) + 5)
    }
    END { for (k in keys) print k "\t\t\t" }'
}

join_sorted() { sort | paste -sd'|' | sed 's/|/ | /g'; }

# What the store holds after a case, one line per fact, in the form of the expectations.
observed_state() {
  local role roles=$(values_under "$ROLE_ROOT") profiles=$(values_under "$PROFILES") keys=() sizes
  for role in s m l c; do keys+=("${ROLE_ROOT#HKCU\\}\\${ROLE_KEY[$role]}"); done
  # A REG_SZ shows as its text only when it holds exactly the text and its terminator.
  sizes=$(grep -q MAPIProfile <<<"$roles" && drv_sizes "${keys[@]}" | paste -sd' ')
  for role in s m l c; do
    awk -F'\t' -v key="${ROLE_KEY[$role]}" -v role=$role -v sizes="$sizes" '
      BEGIN { split(sizes, size, " "); read = size[index("smlc", role)] }
      $1 == key && $2 == "MAPIProfile" {
        print "stored: " role " " ($3 != "REG_SZ" ? $3 ":" $4 : $4 (read == "exact" ? "" : " (read as " read ")")) }' <<<"$roles"
  done
  awk -F'\t' '$1 != "" && $1 !~ /\\/ { print $1 }' <<<"$profiles" | sort -u | join_sorted |
    sed -n 's/^./profiles: &/p'
  awk -F'\t' -v section="$GLOBAL_SECTION" '
    { n = split($1, part, "\\") }
    n == 2 && part[2] == section && $2 == "6612001e" { server[part[1]] = $4; seen[part[1]] = 1 }
    n == 2 && part[2] == section && $2 == "6603001e" { user[part[1]] = $4; seen[part[1]] = 1 }
    END { for (p in seen)
            print "global: " p " | " ((p in server) ? server[p] : "-") " | " ((p in user) ? user[p] : "-") }' \
    <<<"$profiles"
}

# --- Running the cases ----------------------------------------------------------------------

declare -A LETS && PASSED=0 FAILED=0 CASE=

# Runs the case in hand, if any, and prints its line: the boxes of each run in order, then the
# state of the store, compared line by line with what the case expects.
finish_case() {
  [ -n "$CASE" ] || return 0
  local i seed actual= expected
  drv_reset
  [ -n "$MAPISVC" ] && printf '%b' "$MAPISVC" | drv_mapisvc
  for seed in "${SEEDS[@]}"; do
    split_words "$seed"
    drv_reg add "$ROLE_ROOT\\${ROLE_KEY[${WORDS[0]}]}" /v MAPIProfile /t "${WORDS[1]}" \
      /d "${WORDS[2]}" /f >/dev/null || actual+="seed failed: $seed"$'\n'
  done
  for i in "${!RUN_ARGS[@]}"; do
    split_words "${RUN_ARGS[i]}"
    printf '%b' "${RUN_ANSWERS[i]}" | drv_run "${RUN_FAULT[i]}" "${WORDS[@]}" >"$WORK/boxes" ||
      { actual+="run $i did not end by itself with 0"$'\n'; sed 's/^/  | /' "$WORK/stderr" >&2; }
    # Each box's text (followed by a line "----") on a line, \, tab and newline escaped.
    actual+=$(sed 's/\\/\\\\/g; s/\t/\\t/g' "$WORK/boxes" | awk -v run="run $i box: " '
      $0 == "----" { print run t; t = ""; n = 0; next } { t = n++ ? t "\\n" $0 : $0 }')$'\n'
  done
  actual+=$(observed_state | sort)
  expected=$(printf '%s\n' "${BOXES[@]}"; printf '%s\n' "${STATE[@]}" | sort)
  if diff <(grep -v '^$' <<<"$expected") <(grep -v '^$' <<<"$actual") >"$WORK/diff"; then
    PASSED=$((PASSED + 1)) && printf 'ok   %s\n' "$CASE"
  else
    FAILED=$((FAILED + 1)) && printf 'FAIL %s (cases.txt:%s)\n' "$CASE" "$CASE_LINE"
    sed -n 's/^</  expected/p; s/^>/  actual  /p' "$WORK/diff"
  fi
}

# run_cases FILE [NAME...]: runs the cases of FILE (only those named, when names are given),
# prints a line per case and "N passed, N failed"; returns non-zero when a case failed.
run_cases() {
  local file=$1 number=0 line key value name run=0 names=" ${*:2} " program=${PROGRAM//\\/\\\\}
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    key=${line%%:*} value=${line#*:} value=${value# }
    if [ "$key" != let ]; then  # {NAME}: the text given with "let: NAME"; {program}: the path
      for name in "${!LETS[@]}"; do value=${value//"{$name}"/"${LETS[$name]}"}; done
      value=${value//"{program}"/"$program"}
    fi
    case $key in
      let) LETS[${value%% *}]=${value#* } ;;
      case)
        finish_case
        CASE= MAPISVC= SEEDS=() RUN_ARGS=() RUN_ANSWERS=() RUN_FAULT=() BOXES=() STATE=() run=0
        [ "$names" = "  " ] || [[ $names == *" $value "* ]] && CASE=$value CASE_LINE=$number ;;
      mapisvc) MAPISVC=$value ;;
      seed) SEEDS+=("$value") ;;
      run) run=$((run + 1)) RUN_ARGS[run]=$value RUN_ANSWERS[run]= RUN_FAULT[run]= ;;
      answers) RUN_ANSWERS[run]=$value ;;
      fault) RUN_FAULT[run]=$value ;;
      box) BOXES+=("run $run box: $value") ;;
      stored | global) STATE+=("$key: $value") ;;
      profiles) STATE+=("profiles: $(sed 's/ | /\n/g' <<<"$value" | join_sorted)") ;;
      *) echo "cases.txt:$number: unknown line: $line" >&2; return 2 ;;
    esac
  done <"$file"
  finish_case
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" = 0 ]
}
