# Sourced by tools/check-package, tools/kernel-test and tools/glibc-test:
# Debian roots made once with debootstrap and kept outside the clone, one
# folder per suite, SUITE-root, in TRELLUNE_DEBIAN_ROOTS (default
# /var/cache/trellune-mcp). Their packages come from the mirror this
# machine's apt uses, or from TRELLUNE_DEBIAN_MIRROR. Making them needs root.

debian_roots=${TRELLUNE_DEBIAN_ROOTS:-/var/cache/trellune-mcp}
# The Debian 13 root serves tools/glibc-test and tools/kernel-test, and the
# first to run makes it: both ask for the packages glibc-test's namespaces
# need (iproute2, nftables, procps).
trixie_packages=(iproute2 nftables procps)

debian_mirror() {
  if [[ -n ${TRELLUNE_DEBIAN_MIRROR:-} ]]; then
    echo "$TRELLUNE_DEBIAN_MIRROR"
  elif [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources
  else
    awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list
  fi
}

# debian_root SUITE: the folder of SUITE's root.
debian_root() {
  echo "$debian_roots/$1-root"
}

# make_debian_root SUITE LOG [PACKAGE...]: makes SUITE's root, a minimal one
# with PACKAGEs besides, unless it is there already; debootstrap writes to
# LOG, whose end is shown if it fails.
make_debian_root() {
  local suite=$1 log=$2 root
  shift 2
  root=$(debian_root "$suite")
  [[ -x $root/usr/bin/dpkg ]] && return 0
  echo "making a Debian $suite root in $root (once; it is kept for later runs)"
  rm -rf "$root.new" && mkdir -p "$debian_roots"
  local include=()
  (( $# )) && include=("--include=$(IFS=,; echo "$*")")
  if ! debootstrap --variant=minbase "${include[@]}" "$suite" "$root.new" "$(debian_mirror)" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    return 1
  fi
  rm -rf "$root" && mv "$root.new" "$root"
}
