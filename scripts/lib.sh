# Shared by the scripts in this folder, which source it from the checkout's
# top folder.
checkout=$PWD

# Installs those of the named Debian packages that are missing (needs root).
need_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}. Run this as root once, or:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]} ..." >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Runs a command as the owner of the checkout. Run as root (sudo) in a
# checkout of someone else's, the builds then leave build/ and dist/ theirs,
# and their own runs can go on using them.
as_owner() {
  local owner group home
  owner=$(stat -c %u "$checkout")
  group=$(stat -c %g "$checkout")
  if [ "$(id -u)" -ne 0 ] || [ "$owner" -eq 0 ]; then
    "$@"
    return
  fi
  if [ -z "${owner_has_builds:-}" ]; then
    # What an earlier build as root left behind.
    chown -R "$owner:$group" "$checkout/build" "$checkout/dist" 2>/dev/null || true
    owner_has_builds=1
  fi
  home=$(getent passwd "$owner" | cut -d: -f6) || home=/nonexistent
  env HOME="$home" setpriv --reuid="$owner" --regid="$group" --clear-groups \
    -- "$@"
}

# Runs a command with its output held back, shown only when it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ $status -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return $status
}
