# Debian build and test roots made with mmdebstrap, cached outside the
# checkout and made again when missing. Sourced by scripts/build-wheels and
# scripts/check-wheels; needs root.

ROOTS_DIR=${Z_COMPENSATE_ROOTS:-/var/cache/z-compensate/roots}
DEBIAN_MIRROR=${Z_COMPENSATE_MIRROR:-http://deb.debian.org/debian}

log() { printf '[%s %s] %s\n' "${0##*/}" "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "error: $*"; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (mmdebstrap, chroot, mounts)"

# Installs the host packages that are missing, with apt-get.
need_host_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing host packages: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# The apt sources of a suite; bullseye's security index names files the
# mirror's pool no longer has, so bullseye gets its release suite alone.
debian_sources() {
  local suite=$1
  case "$suite" in
    bullseye) printf 'deb %s %s main\n' "$DEBIAN_MIRROR" "$suite" ;;
    *) printf 'deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n' \
         "$DEBIAN_MIRROR" "$suite" "$DEBIAN_MIRROR" "$suite" \
         "${DEBIAN_MIRROR%/debian}/debian-security" "$suite" ;;
  esac
}

# Lets the kernel run another architecture's programs through qemu-user, so
# that dpkg's scripts and every program in a foreign root run. The F flag
# opens qemu once at registration: the roots need no copy of it.
enable_binfmt() {
  local name=$1 bm=/proc/sys/fs/binfmt_misc desc magic mask interp
  [ -e "$bm/register" ] || mount -t binfmt_misc binfmt_misc "$bm" \
    || die "binfmt_misc is not mounted and cannot be mounted here"
  [ -e "$bm/$name" ] || update-binfmts --enable "$name" >/dev/null 2>&1 || true
  if [ ! -e "$bm/$name" ]; then
    desc=/usr/share/binfmts/$name
    [ -f "$desc" ] || die "no $desc to register $name from"
    magic=$(sed -n 's/^magic //p' "$desc"); mask=$(sed -n 's/^mask //p' "$desc")
    interp=$(sed -n 's/^interpreter //p' "$desc")
    printf ':%s:M::%s:%s:%s:F\n' "$name" "$magic" "$mask" "$interp" > "$bm/register" \
      || die "could not register $name in binfmt_misc"
  fi
  grep -q '^enabled' "$bm/$name" || echo 1 > "$bm/$name"
  grep -q '^enabled' "$bm/status" || echo 1 > "$bm/status"
}

# make_root NAME SUITE DEBARCH PACKAGE... : prints the root's path. A root
# is made once and reused while it holds the same package list.
make_root() {
  local name=$1 suite=$2 arch=$3; shift 3
  local root=$ROOTS_DIR/$name want started try blog
  want="$suite $arch $*"
  mkdir -p "$ROOTS_DIR"
  exec {lock}>"$ROOTS_DIR/.$name.lock"
  flock "$lock"
  if [ "$(cat "$root/.z-compensate-root" 2>/dev/null)" != "$want" ]; then
    log "creating the $suite/$arch root $root (once; reused afterwards)"
    started=$(date +%s)
    rm -rf "$root.partial" "$root"
    blog=$ROOTS_DIR/$name.log
    mapfile -t sources < <(debian_sources "$suite")
    for try in 1 2 3; do  # a flaky mirror
      mmdebstrap --mode=root --variant=minbase --arch="$arch" \
        --include="$(IFS=,; echo "$*")" "$suite" "$root.partial" "${sources[@]}" \
        > "$blog" 2>&1 && break
      tail -5 "$blog" >&2
      [ $try = 3 ] && die "mmdebstrap failed 3 times; log: $blog"
      rm -rf "$root.partial"; sleep 10
    done
    chroot "$root.partial" apt-get clean
    # minbase has no /etc/hosts: "localhost" would go to DNS.
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$root.partial/etc/hosts"
    echo "$want" > "$root.partial/.z-compensate-root"
    mv "$root.partial" "$root"
    log "made $root in $(( $(date +%s) - started )) s ($(du -sm "$root" | cut -f1) MB)"
  fi
  flock -u "$lock"
  exec {lock}>&-
  echo "$root"
}

# in_root ROOT [--net] [SRC=DST[:ro]]... -- COMMAND... : runs COMMAND in ROOT
# inside a private mount namespace, so /proc, /dev, /tmp and the bind mounts
# vanish with it whatever happens. --net: a network namespace with loopback
# only, so that tests binding fixed ports meet no other job.
in_root() {
  local root=$1 net=(); shift
  if [ "$1" = --net ]; then net=(--net); shift; fi
  local binds=()
  while [ "$1" != -- ]; do binds+=("$1"); shift; done
  shift
  # shellcheck disable=SC2016
  LOOPBACK_ONLY=${net[0]:+1} unshare --mount --propagation private "${net[@]}" -- sh -c '
    set -e; r=$1; shift
    if [ -n "$LOOPBACK_ONLY" ]; then
      # a default route into loopback: datagrams to any address stay here
      ip link set lo up; ip addr add 192.0.2.1/24 dev lo; ip route add default dev lo
    fi
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
    while [ "$1" != -- ]; do
      src=${1%%=*}; rest=${1#*=}; dst=${rest%:ro}
      mkdir -p "$r$dst"; mount --bind "$src" "$r$dst"
      [ "$rest" = "$dst" ] || mount -o remount,bind,ro "$r$dst"
      shift
    done
    shift
    exec chroot "$r" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 TERM=dumb "$@"' sh "$root" "${binds[@]}" -- "$@"
}
