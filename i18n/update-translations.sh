#!/usr/bin/env bash
# Brings i18n/veldmoor_en.ts up to date with the texts in the sources (new
# texts arrive unfinished, vanished ones are dropped). Translate the new ones
# in it (Qt Linguist, or by hand), then commit it.
#   i18n/update-translations.sh [LUPDATE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lupdate=${1:-/usr/lib/qt6/bin/lupdate}
mapfile -t sources < <(grep -v '^#' "$root/i18n/sources.txt" | sed '/^$/d')
cd "$root"
"$lupdate" -silent -locations none -no-obsolete -source-language zh_CN -target-language en -I "$root" \
  "${sources[@]}" -ts i18n/veldmoor_en.ts
