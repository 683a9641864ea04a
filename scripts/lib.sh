# Shared by the scripts in this directory: installs what a step needs from
# Debian's packages and starts the libvirt daemons where nothing started them.

# Packages to build, test and demonstrate the tool on a fresh Debian machine.
QUORLANE_PACKAGES=(
  cmake ninja-build g++ libgtest-dev python3 util-linux
  libvirt-daemon-system libvirt-clients qemu-system-x86 qemu-utils ovmf
  libxml2-utils libxml2-dev systemd bash-completion man-db groff-base dpkg-dev logrotate file
  cpio e2fsprogs kmod libvirt-l10n locales
  rclone openssh-server prometheus-node-exporter nodejs lintian
  libguestfs0 libguestfs-dev linux-image-amd64 libarchive-dev fuse3
  # The single-file restore tests make their disks with these: LVM inside
  # libguestfs's appliance, NTFS, LUKS; vgs shows the host's volume groups.
  python3-guestfs ntfs-3g lvm2 cryptsetup-bin
)

# Installs the named packages that are missing, with one 'apt-get update'.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Without udev nothing gives /dev/kvm the group and mode that Debian's udev
# rule gives it (root:kvm, 0660), and QEMU, running as libvirt-qemu in group
# kvm, cannot open it. Fixes that only when the device exists and its group
# cannot use it.
ensure_kvm_access() {
  [ -c /dev/kvm ] && getent group kvm >/dev/null || return 0
  if [ "$(stat -c %G /dev/kvm)" != kvm ] || [ $((0$(stat -c %a /dev/kvm) & 060)) -ne $((060)) ]; then
    chgrp kvm /dev/kvm && chmod 0660 /dev/kvm
  fi
}

# Whether something accepts connections on the unix socket $1.
socket_answers() {
  [ -S "$1" ] && python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])' "$1" 2>/dev/null
}

# Whether the pid file $1 names a running process called $2.
pid_file_alive() {
  local pid
  pid=$(cat "$1" 2>/dev/null) && [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$2" ]
}

# Starts the system's virtlogd and libvirtd where they do not answer, and
# waits until virsh can talk to the daemon. A user's session daemons have
# the same process names but their own sockets and pid files, so only the
# system daemons' sockets and pid files count.
ensure_libvirt() {
  ensure_kvm_access
  if ! socket_answers /run/libvirt/virtlogd-sock && ! pid_file_alive /run/virtlogd.pid virtlogd; then
    virtlogd -d || { echo "virtlogd could not be started" >&2; return 1; }
  fi
  virsh -c qemu:///system version >/dev/null 2>&1 && return 0
  # A system daemon that runs but does not answer yet is waited for, not
  # started twice.
  if ! pid_file_alive /run/libvirtd.pid libvirtd; then
    libvirtd -d || { echo "libvirtd could not be started" >&2; return 1; }
  fi
  local i
  for i in $(seq 1 300); do
    virsh -c qemu:///system version >/dev/null 2>&1 && return 0
    pid_file_alive /run/libvirtd.pid libvirtd || break
    sleep 0.2
  done
  echo "libvirtd does not answer at qemu:///system:" \
       "$(virsh -c qemu:///system version 2>&1 >/dev/null | head -n 3)" >&2
  return 1
}

# Generates the locales that the end-to-end tests run the programs under,
# where they are missing. They are also listed in /etc/locale.gen, so that a
# later locale-gen (which rebuilds the archive from that list) keeps them.
ensure_test_locales() {
  local locale name
  for locale in de_DE fr_FR; do
    name=$locale.UTF-8
    if ! grep -q "^$name UTF-8" /etc/locale.gen 2>/dev/null; then
      if grep -q "^# *$name UTF-8" /etc/locale.gen 2>/dev/null; then
        sed -i "s/^# *$name UTF-8/$name UTF-8/" /etc/locale.gen
      else
        echo "$name UTF-8" >>/etc/locale.gen
      fi
    fi
    locale -a 2>/dev/null | grep -qx "$locale.utf8" || localedef -i "$locale" -f UTF-8 "$name"
  done
}

# s3rver, the S3 server of the offsite tests, from the npm registry into the
# git-ignored build/node; the machine's global npm packages stay as they are.
# Debian's npm is installed only where no npm runs: NodeSource's nodejs
# bundles its own and conflicts with Debian's.
S3RVER_VERSION=3.7.1
S3RVER_PREFIX=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/node
ensure_s3rver() {
  s3rver_installed && return 0
  command -v npm >/dev/null || ensure_packages npm
  mkdir -p "$S3RVER_PREFIX"
  # Test files that start servers in parallel install it once.
  (
    flock 9
    s3rver_installed ||
      npm install --prefix "$S3RVER_PREFIX" --save-exact --no-audit --no-fund --loglevel=error \
        "s3rver@$S3RVER_VERSION"
  ) 9>"$S3RVER_PREFIX/.lock"
}

s3rver_installed() {
  [ -x "$S3RVER_PREFIX/node_modules/.bin/s3rver" ] &&
    grep -q "\"version\": \"$S3RVER_VERSION\"" "$S3RVER_PREFIX/node_modules/s3rver/package.json" 2>/dev/null
}

# Configures and builds into the given directory with any extra CMake options.
build_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}
