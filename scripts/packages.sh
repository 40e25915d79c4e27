# Shared by the scripts: installs the Debian packages that are missing. Each argument is
# PROBE:PACKAGE, where PROBE is a command on the PATH or an absolute path to a file that the
# package provides.
need_packages() {
  local missing=() probe
  for pair in "$@"; do
    probe=${pair%%:*}
    if [[ $probe == /* ]]; then [ -e "$probe" ] && continue
    else command -v "$probe" >/dev/null 2>&1 && continue
    fi
    missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}" >&2
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if [ -z "${QS_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export QS_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
