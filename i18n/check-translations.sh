#!/usr/bin/env bash
# Fails when a text shown to the user has no English translation: collects
# the texts from the sources into a copy of i18n/veldmoor_en.ts and lists
# every message left unfinished or empty.
#   i18n/check-translations.sh [LUPDATE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lupdate=${1:-/usr/lib/qt6/bin/lupdate}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/i18n/veldmoor_en.ts" "$work/veldmoor_en.ts"
mapfile -t sources < <(grep -v '^#' "$root/i18n/sources.txt" | sed '/^$/d')
(cd "$root" && "$lupdate" -silent -locations none -no-obsolete -source-language zh_CN -target-language en -I "$root" \
  "${sources[@]}" -ts "$work/veldmoor_en.ts")
/usr/bin/python3 - "$work/veldmoor_en.ts" <<'PY'
import sys
import xml.etree.ElementTree as tree

missing = []
for context in tree.parse(sys.argv[1]).getroot().iter("context"):
    name = context.findtext("name")
    for message in context.iter("message"):
        translation = message.find("translation")
        if translation is None or translation.get("type") == "unfinished" or not (translation.text or "").strip():
            missing.append(f"{name}: {message.findtext('source')!r}")
for line in missing:
    print("no English translation:", line)
if missing:
    print(f"{len(missing)} texts lack an English translation; run i18n/update-translations.sh and translate them")
    sys.exit(1)
print("every text has an English translation")
PY
