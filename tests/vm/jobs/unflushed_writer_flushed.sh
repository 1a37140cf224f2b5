#!/bin/sh
# The first job of the VM case unflushed_writer (unflushed_writer_case in
# cases/still_pictures.sh): SCREEN (vm_screen) draws pattern 3, flushes it
# and stops the machine at once.
#
#   unflushed_writer_flushed.sh SCREEN
screen=$1
touch "$LCDVM_OUT/vm-stopping"
exec "$screen" draw /dev/fb0 3 flush stop
