#!/bin/sh
# Makes sure this Debian 12 machine can start Wine's 32-bit loader, a 32-bit Linux program.
# A kernel booted without IA-32 emulation (ia32_emulation=off) refuses every 32-bit program;
# there, qemu's user-mode emulator is registered to run them instead. Run as root, after Wine
# is installed. Where 32-bit programs run natively it changes nothing.
set -eu

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  exit 0
fi
echo "i386-emulation.sh: this kernel runs no 32-bit programs; running them under qemu-i386" >&2

# Debian 12's own qemu (7.2) ignores MAP_FIXED_NOREPLACE, so Wine cannot place its shared user
# data; the backported one honours it. The backports suite comes from the machine's own mirror.
if ! apt-cache policy qemu-user-static | grep -q bookworm-backports; then
  awk 'BEGIN { RS = ""; FS = "\n" } /Suites: bookworm( |\n|$)/ { print; exit }' \
      /etc/apt/sources.list.d/debian.sources |
    sed 's/^Suites:.*/Suites: bookworm-backports/' >/etc/apt/sources.list.d/bookworm-backports.sources
  apt-get update
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -t bookworm-backports qemu-user-static

binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
[ ! -e $binfmt/qemu-i386 ] || echo -1 >$binfmt/qemu-i386
# i386 executables and shared objects; F: the emulator is opened now, so it serves every
# mount namespace.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
  >$binfmt/register
/lib/ld-linux.so.2 --version >/dev/null
