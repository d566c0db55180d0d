# Sourced by the scripts of tools/: CPython 3.14 from Debian's development distribution
# ("sid") in a chroot, for machines whose own release does not package it. As root only.
#   sid_setup LOG    make the tree (MOVRA_SID_ROOT, /opt/sid; about 2 minutes the first
#                    time, kept for the next runs), mount /proc and /dev/shm in it, install
#                    the interpreters (python3.14, its debug build python3.14-dbg) and the
#                    compilers; false when that fails (no network, no package archive)
#   sid_copy_tree    the working tree as it is, without builds, to $SID_WORK/src inside
#   sid_run SCRIPT   runs bash SCRIPT inside, in $SID_WORK, in a clean environment
# Whatever sid_setup mounted is unmounted on exit, also on failure (trap).
SID=${MOVRA_SID_ROOT:-/opt/sid}
SID_WORK=/var/movra  # everything of ours inside the tree
SID_MOUNTED=()

sid_unmount() {
  local i
  for ((i = ${#SID_MOUNTED[@]} - 1; i >= 0; i--)); do
    umount "${SID_MOUNTED[i]}" 2>/dev/null || umount -l "${SID_MOUNTED[i]}" || true
  done
  SID_MOUNTED=()
}
trap sid_unmount EXIT

sid_mount() {  # $1: mount point in the tree, then mount's arguments
  local target=$SID$1
  shift
  mkdir -p "$target"
  mountpoint -q "$target" && return 0  # mounted by another run: theirs to unmount
  mount "$@" "$target" && SID_MOUNTED+=("$target")
}

sid_available() {  # why not, on stdout, when this machine cannot have the chroot
  if [ "$(id -u)" != 0 ]; then echo "the chroot needs root"; return 1; fi
  if ! command -v chroot >/dev/null; then echo "no chroot command"; return 1; fi
}

sid_setup() {
  local log=$1 mirror
  local packages="python3.14-dev python3.14-venv python3.14-dbg g++ cmake ninja-build ca-certificates patchelf"
  {
    if [ ! -x "$SID/usr/bin/apt-get" ]; then
      command -v debootstrap >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; }
      mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
      debootstrap --variant=minbase sid "$SID" "${mirror:-http://deb.debian.org/debian}"
    fi &&
    # The archive the machine sees may be older than its Release file's validity window.
    echo 'Acquire::Check-Valid-Until "false";' >"$SID/etc/apt/apt.conf.d/99novalid" &&
    mkdir -p "$SID/etc/ssl/certs" &&
    cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/certs/" &&
    cp /etc/resolv.conf "$SID/etc/resolv.conf" &&
    sid_mount /proc --bind /proc &&
    sid_mount /dev/shm -t tmpfs tmpfs &&  # the semaphores of process pools
    # shellcheck disable=SC2086
    if ! chroot "$SID" dpkg -s $packages >/dev/null 2>&1; then
      chroot "$SID" apt-get update -qq &&
        chroot "$SID" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages
    fi &&
    # Installing ca-certificates inside rewrites the bundle: the machine's own is trusted.
    cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/certs/"
  } >"$log" 2>&1
}

sid_copy_tree() {  # $1: the repository
  mkdir -p "$SID$SID_WORK/src"
  tar -C "$1" --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude=__pycache__ -cf - . | tar -C "$SID$SID_WORK/src" --overwrite -xf -
}

sid_run() {  # $1: a bash script, run inside with -euo pipefail
  # A clean environment: nothing of the host's pip set-up (its find-links folder) gets in.
  chroot "$SID" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_ROOT_USER_ACTION=ignore \
    PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
    SID="$SID" bash -euo pipefail -c "cd $SID_WORK
quiet() { local log=\$1; shift; \"\$@\" >\"\$log\" 2>&1 || { tail -n 60 \"\$log\"; echo \"failed: \$* (log: \$SID\$(readlink -f \"\$log\"))\" >&2; return 1; }; }
$1"
}
