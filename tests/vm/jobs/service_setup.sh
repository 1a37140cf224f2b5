# The --setup script of the VM cases camera_lcd_service*, run by sh in the
# Debian root, chrooted, before systemd starts: installs with dpkg the
# packages a board runs, notes whether that enabled the unit, and enables it.
# make_packages (cases/service.sh) writes it to the work folder after a line
# that sets debs, the folder cpack filled, as the root sees it (/host/...).
# shellcheck shell=sh disable=SC2086,SC2154  # debs is set above; its globs expand
set -e
dpkg -i $debs/camera-lcd_*.deb $debs/jpeg-fb_*.deb $debs/libapi-v4l2-arm_*.deb
echo "enabled_after_dpkg=$(systemctl is-enabled camera-lcd.service || true)"
systemctl enable camera-lcd.service
