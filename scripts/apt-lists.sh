# Sourced by the set-up scripts: reads Debian's package lists and installs from
# them without giving up on a mirror that is being synchronised.
#
# A mirror in sync serves an index of another size than its Release file states
# ("File has unexpected size ... Mirror sync in progress?"); apt-get update then
# fails although every other list was read. A later read usually passes, and when
# it does not, the lists that were read may still hold every package we need.

apt_update_pauses=${QUILLOMARK_APT_PAUSES:-5 15 45}
apt_failed_indexes=""

# Runs apt-get update up to three times with growing pauses; returns 0 even when
# the last try failed, leaving the failing indexes in $apt_failed_indexes.
apt_update_retrying() {
  local pauses=($apt_update_pauses) try errors
  errors=$(mktemp)
  for try in 0 1 2; do
    if apt-get -o DPkg::Lock::Timeout=900 update -qq 2>"$errors"; then
      apt_failed_indexes=""
      rm -f "$errors"
      return 0
    fi
    apt_failed_indexes=$(grep -oE 'Failed to fetch [^ ]+' "$errors" | sed 's/^Failed to fetch //' || true)
    cat "$errors" >&2
    if [ "$try" -lt 2 ]; then
      echo "setup: reading the package lists failed; trying again in ${pauses[$try]} s" >&2
      sleep "${pauses[$try]}"
    fi
  done
  rm -f "$errors"
  echo "setup: going on with the package lists at hand" >&2
  return 0
}

# Installs the given packages; when that fails after an index could not be read,
# names the index and says that a later try may pass.
apt_install_explaining() {
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "$@" >/dev/null && return 0
  local status=$?
  if [ -n "$apt_failed_indexes" ]; then
    echo "setup: the install failed after these package lists could not be read:" >&2
    printf '  %s\n' $apt_failed_indexes >&2
    echo "setup: the mirror may be in sync; a later try may pass" >&2
  fi
  return "$status"
}
