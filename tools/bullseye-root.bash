# Sourced by tools/check-package and tools/kernel-test: a Debian 11
# (bullseye) root, made once with debootstrap and kept outside the clone in
# TRELLUNE_BULLSEYE_ROOT (default /var/cache/trellune-mcp/bullseye-root). Its
# packages come from the mirror this machine's apt uses, or from
# TRELLUNE_DEBIAN_MIRROR. Making it needs root.

bullseye_root=${TRELLUNE_BULLSEYE_ROOT:-/var/cache/trellune-mcp/bullseye-root}

debian_mirror() {
  if [[ -n ${TRELLUNE_DEBIAN_MIRROR:-} ]]; then
    echo "$TRELLUNE_DEBIAN_MIRROR"
  elif [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources
  else
    awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list
  fi
}

# make_bullseye_root LOG: makes the root unless it is there already;
# debootstrap writes to LOG, whose end is shown if it fails.
make_bullseye_root() {
  local log=$1
  [[ -x $bullseye_root/usr/bin/dpkg ]] && return 0
  echo "making a Debian 11 root in $bullseye_root (once; it is kept for later runs)"
  rm -rf "$bullseye_root.new" && mkdir -p "$(dirname "$bullseye_root")"
  if ! debootstrap --variant=minbase bullseye "$bullseye_root.new" "$(debian_mirror)" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    return 1
  fi
  rm -rf "$bullseye_root" && mv "$bullseye_root.new" "$bullseye_root"
}
