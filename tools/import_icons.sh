#!/usr/bin/env bash
# Copies the program's icons out of Debian's adwaita-icon-theme (43, CC-BY-SA-3.0 or LGPL-3, by the
# GNOME Project) into resources/res/. The result is committed; the build does not run this.
set -euo pipefail
cd "$(dirname "$0")/.."
theme=/usr/share/icons/Adwaita
out=resources/res

# target name  <- size/context/source name
icons=(
  "search.png           24x24/legacy/edit-find.png"
  "backup.png           48x48/legacy/document-save.png"
  "extract_media.png    48x48/legacy/mail-attachment.png"
  "export.png           48x48/legacy/document-send.png"
  "print.png            48x48/legacy/document-print.png"
  "delete.png           48x48/legacy/edit-delete.png"
  "import_itunes.png    48x48/legacy/document-open.png"
  "open_db_folder.png   48x48/places/folder-open.png"
  "exit.png             48x48/legacy/application-exit.png"
  "help.png             48x48/legacy/help-browser.png"
  "unmount.png          48x48/legacy/media-eject.png"
  "devices.png          24x24/devices/computer.png"
  "iphone.png           24x24/legacy/pda.png"
  "android.png          24x24/legacy/multimedia-player.png"
  "databases.png        24x24/places/network-server.png"
  "database.png         24x24/devices/drive-harddisk.png"
  "group.png            24x24/legacy/system-users.png"
  "contact.png          24x24/status/avatar-default.png"
  "icon_sms-sent.png    24x24/legacy/go-next.png"
  "icon_sms-receive.png 24x24/legacy/go-previous.png"
  "imsg-send.png        24x24/legacy/mail-send.png"
  "imsg-rec.png         24x24/legacy/mail-read.png"
  "main.png             48x48/legacy/mail-unread.png"
)
for entry in "${icons[@]}"; do
  read -r target source <<<"$entry"
  cp "$theme/$source" "$out/$target"
done
