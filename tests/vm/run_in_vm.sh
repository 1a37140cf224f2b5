#!/bin/bash
# Boots the test VM (QEMU/TCG, Debian's kernel, prepare.sh's initramfs), runs
# one command inside it chrooted into this machine's root (read-only), and
# leaves in the out folder:
#   stdout stderr status times   the command's output, exit status, CPU time
#   fb0.raw fb0.info             /dev/fb0's bytes and geometry afterwards
#   console.log feeder.log       kernel console and feeder output
# The out folder is writable inside the VM at the same path, and LCDVM_OUT
# names it there. Exits with the command's status, or 125 if the VM failed.
# Environment: LCDVM_CACHE (see prepare.sh), LCDVM_FEEDER (default --feeder),
# LCDVM_QUIET= (empty) to keep the kernel's boot messages in console.log.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
fb=bochs
camera=0
fps=10
feeder=${LCDVM_FEEDER:-}
frames=()
hold=0
out=
cmd_timeout=60

usage() {
  cat >&2 <<EOF
usage: run_in_vm.sh --out DIR [--fb vfb|bochs|none] [--camera]
                    [--feeder PROGRAM --fps N [--hold] --frame FILE...]
                    [--timeout SECONDS] -- COMMAND [ARG...]
  --camera      load v4l2loopback as /dev/video7 (implied by --frame)
  --frame FILE  a frame for the feeder to write, in order; repeat the option
  --hold        the feeder repeats the first frame until the command creates
                \$LCDVM_OUT/feeder.go, then writes the others
EOF
  exit 2
}

die() { echo "run_in_vm.sh: $*" >&2; exit 125; }

parse_args() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --out) out=$2; shift 2 ;;
      --fb) fb=$2; shift 2 ;;
      --camera) camera=1; shift ;;
      --feeder) feeder=$2; shift 2 ;;
      --fps) fps=$2; shift 2 ;;
      --hold) hold=1; shift ;;
      --frame) frames+=("$(realpath "$2")"); camera=1; shift 2 ;;
      --timeout) cmd_timeout=$2; shift 2 ;;
      --) shift; command=("$@"); return ;;
      *) usage ;;
    esac
  done
  usage
}

check_args() {
  [ -n "$out" ] || usage
  [ ${#command[@]} -gt 0 ] || usage
  case "$fb" in vfb|bochs|none) ;; *) usage ;; esac
  if [ ${#frames[@]} -gt 0 ]; then
    [ -x "$feeder" ] || die "feeder '$feeder' is not an executable (use --feeder)"
    feeder=$(realpath "$feeder")
  fi
  mkdir -p "$out" || die "mkdir $out failed"
  out=$(realpath "$out")
  rm -f "$out"/{stdout,stderr,status,times,fb0.raw,fb0.info,console.log} \
        "$out"/{feeder.log,feeder.go,vm-done,vm-error,job.env,job.sh,feeder.sh}
}

write_job() {
  local quoted
  quoted=$(printf '%q ' "${command[@]}")
  {
    echo "FB=$fb"
    echo "CAMERA=$camera"
    printf 'OUT_PATH=%q\n' "$out"
    [ ${#frames[@]} -gt 0 ] && printf 'FEEDER=%q\n' "$out/feeder.sh"
  } >"$out/job.env"
  cat >"$out/job.sh" <<EOF
cd $(printf '%q' "$PWD") 2>/dev/null || cd /
TIMEFORMAT='real %R user %U sys %S'
{ time timeout -k 2 $cmd_timeout $quoted >"\$LCDVM_OUT/stdout" 2>"\$LCDVM_OUT/stderr"; } 2>"\$LCDVM_OUT/times"
echo \$? >"\$LCDVM_OUT/status"
EOF
  if [ ${#frames[@]} -gt 0 ]; then
    local held=()
    [ $hold = 1 ] && held=(--hold "$out/feeder.go")
    echo "exec $(printf '%q ' "$feeder" "${held[@]}" /dev/video7 "$fps" "${frames[@]}")" \
      >"$out/feeder.sh"
  fi
}

boot() {
  local cache kernel initrd display=()
  cache=$("$here/prepare.sh") || die "prepare.sh failed"
  kernel=$cache/vmlinux
  initrd=$cache/initramfs.cpio.gz
  [ "$fb" = bochs ] && display=(-device "VGA,xres=800,yres=480")
  # The time limit covers boot, drivers and the command's own limit.
  timeout -k 5 $((cmd_timeout + 60)) qemu-system-x86_64 \
    -nodefaults -no-user-config -no-reboot -display none \
    -machine pc,accel=tcg -smp 2 -m 512 \
    -bios /usr/share/qemu/qboot.rom \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 ${LCDVM_QUIET-quiet} panic=-1 video=800x480 vt.global_cursor_default=0" \
    -serial "file:$out/console.log" \
    "${display[@]}" \
    -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap" \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev "local,id=out,path=$out,security_model=none" \
    -device virtio-9p-pci,fsdev=out,mount_tag=out ||
    die "qemu-system-x86_64 failed or timed out; console in $out/console.log"
}

report() {
  if [ ! -f "$out/vm-done" ]; then
    [ -f "$out/vm-error" ] && echo "run_in_vm.sh: VM: $(cat "$out/vm-error")" >&2
    tail -n 20 "$out/console.log" >&2
    die "the VM did not finish its job"
  fi
  exit "$(cat "$out/status")"
}

parse_args "$@"
check_args
write_job
boot
report
