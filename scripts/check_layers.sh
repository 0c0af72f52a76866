#!/usr/bin/env bash
# Fails when a folder includes from a folder above it in the layering. From
# the bottom up (one line a layer; folders on one line may not include each
# other):
#
#   platform
#   foundation
#   torrent netenv reporting
#   udp
#   peers
#   engine
#   app
#   profile
#   i18n
#   ui tools
#
# Front ends in tools/ reach the engine through its task interface alone:
# engine/TaskApi.h, engine/TaskInterface.h and engine/SpeedLimit.h, never
# another engine/ header nor peers/ or torrent/.
#
# Inside engine/, from the bottom up:
#
#   the task interface    TaskApi.h TaskInterface.h SpeedLimit.h
#   components            every other file but the job's and the API's
#   the job               TWork* (the loop TWorkThread, its piece work and its peer set)
#   the API               CVeldmoorCore.cpp FrontEndApi.cpp
#
# The task interface includes nothing else of engine/; a component includes
# no job or API file, so each stays usable (and testable) without the job.
#
# Inside torrent/, the piece map's facade torrent/TPieces.h is included only
# by the map's own files (TPieces*, PieceWriter*, PieceChecks*, InfoText*) and
# by its torrent (TTorrent*): the map's components (PieceProgress,
# MemoryWindow, PartialPieceJournal, PieceStatusText, TPiece, PieceFile, ...)
# never reach back into the map that composes them.
#
# Among the components, the parts the job is made of (job_parts below) reach
# each other through the interfaces they declare, handed in at construction:
# a part includes the job record but no other part (the piece work alone
# includes the peer set it schedules over), none includes the loop
# (TWorkThread) that drives them, and the record includes
# only the task interface and the plain records it holds (JobSettings.h,
# JobStatusRecord.h). So the parts never grow back into a chain.
#
# tests/, fuzz/ and bench/ may include anything. A folder with sources that
# is not in the layering fails the check until it is given its place here.
#   scripts/check_layers.sh [root]      check a tree (default: this one)
#   scripts/check_layers.sh --self-test plant a wrong-way include and check
#                                       that it is caught
set -euo pipefail

layers=(
  "platform"
  "foundation"
  "torrent netenv reporting"
  "udp"
  "peers"
  "engine"
  "app"
  "profile"
  "i18n"
  "ui tools"
)
unchecked=" tests fuzz bench cmake scripts build "

declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

# Whether a file in tools/ may include `path`.
tools_may_include() {
  case "$1" in
    engine/TaskApi.h|engine/TaskInterface.h|engine/SpeedLimit.h) return 0 ;;
    engine/*|peers/*|torrent/*) return 1 ;;
  esac
  return 0
}

# The tier of an engine/ file by its name (see the table above).
engine_tier() {
  case "${1##*/}" in
    TaskApi.h|TaskInterface.h|SpeedLimit.h) echo 0 ;;
    TWork*) echo 2 ;;
    CVeldmoorCore*|FrontEndApi*) echo 3 ;;
    *) echo 1 ;;
  esac
}

# Whether torrent/`file` may include torrent/`path`.
torrent_may_include() {
  [ "$2" = torrent/TPieces.h ] || return 0
  case "${1##*/}" in
    TPieces*|PieceWriter*|PieceChecks*|InfoText*|TTorrent*) return 0 ;;
  esac
  return 1
}

# The job's parts, by file stem (a part's .h and .cpp, and further .cpp files
# named after it, such as TWorkWithPeersConnect.cpp).
job_parts=" JobRecord EngineMembership SecondStep TurnWait TWorkWithPeers TWorkWithPieces "

engine_stem() {
  local name=${1##*/}
  echo "${name%.*}"
}

# The part a file belongs to; nothing for a file of no part.
job_part_of() {
  local stem part
  stem=$(engine_stem "$1")
  for part in $job_parts; do
    case "$stem" in "$part" | "$part"[A-Z]*) echo "$part"; return ;; esac
  done
}

# Whether one part may include another: the record, and for the piece work
# the peer set it schedules over, never the other way.
part_may_include() {
  [ "$1" = "$2" ] || [ "$2" = JobRecord ] || { [ "$1" = TWorkWithPieces ] && [ "$2" = TWorkWithPeers ]; }
}

# Whether engine/`file` may include engine/`path`.
engine_may_include() {
  local from to from_stem to_stem from_part to_part
  from=$(engine_tier "$1")
  to=$(engine_tier "$2")
  from_stem=$(engine_stem "$1")
  to_stem=$(engine_stem "$2")
  from_part=$(job_part_of "$1")
  to_part=$(job_part_of "$2")
  case "$from" in
    0) [ "$to" -eq 0 ] ;;
    1)
      [ "$to" -le 1 ] || return 1
      [ "$from_stem" = "$to_stem" ] && return 0
      if [ "$from_stem" = JobRecord ]; then
        [ "$to" -eq 0 ] || [ "$to_stem" = JobSettings ] || [ "$to_stem" = JobStatusRecord ]
        return
      fi
      if [ -n "$from_part" ] && [ -n "$to_part" ]; then
        part_may_include "$from_part" "$to_part"
        return
      fi
      return 0
      ;;
    2)
      # The job's parts among its files never include the loop that drives them.
      [ -z "$from_part" ] && return 0
      [ "$to" -le 1 ] && [ -z "$to_part" ] && return 0
      [ -n "$to_part" ] && part_may_include "$from_part" "$to_part"
      ;;
    *) return 0 ;;
  esac
}

check_tree() {
  local root=$1 failures=0
  local file folder line included path
  while IFS= read -r file; do
    folder=${file%%/*}
    case "$unchecked" in *" $folder "*) continue ;; esac
    case "$folder" in build*|.*) continue ;; esac
    if [ -z "${rank[$folder]+set}" ]; then
      echo "$file: folder '$folder' has no place in the layering (scripts/check_layers.sh)" >&2
      failures=$((failures + 1))
      continue
    fi
    while IFS= read -r line; do
      path=${line#*\"}
      path=${path%%\"*}
      included=${path%%/*}
      if [ "$folder" = tools ] && ! tools_may_include "$path"; then
        echo "$file: includes \"$path\"; tools reach the engine through its task interface only" >&2
        failures=$((failures + 1))
        continue
      fi
      if [ "$folder" = engine ] && [ "$included" = engine ] && ! engine_may_include "$file" "$path"; then
        echo "$file: includes \"$path\"; inside engine/ the task interface includes only itself, components never include the job or the API, and the job's parts include no other part but the record" >&2
        failures=$((failures + 1))
        continue
      fi
      if [ "$folder" = torrent ] && ! torrent_may_include "$file" "$path"; then
        echo "$file: includes \"$path\"; a piece-map component never includes the map that composes it" >&2
        failures=$((failures + 1))
        continue
      fi
      [ "$included" = "$folder" ] && continue
      [ -z "${rank[$included]+set}" ] && continue  # not a project folder
      if [ "${rank[$included]}" -ge "${rank[$folder]}" ]; then
        echo "$file: includes \"${line#*\"}, from '$included', which is not below '$folder'" >&2
        failures=$((failures + 1))
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"/]+/' "$root/$file" || true)
  done < <(cd "$root" && find . -path ./.git -prune -o -type f \( -name '*.h' -o -name '*.cpp' \) -print | sed 's|^\./||' | sort)
  return $((failures > 0))
}

# The self-test's two verdicts on its planted tree: `accepted` when the tree
# must pass, `refused` when it must fail; each names the fault it would show.
accepted() {
  check_tree "$tree" 2>/dev/null || { echo "self-test: $1" >&2; return 1; }
}

refused() {
  ! check_tree "$tree" 2>/dev/null || { echo "self-test: $1" >&2; return 1; }
}

self_test() {
  local tree
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' RETURN
  mkdir -p "$tree/torrent" "$tree/peers" "$tree/tests/torrent"
  printf '#include "peers/TPeerId.h"\n' > "$tree/tests/torrent/Test.cpp"
  printf '#include "torrent/TPiece.h"\n#include "foundation/TRefObject.h"\n' > "$tree/peers/TPeerId.h"
  printf '#include "platform/File.h"\n' > "$tree/torrent/TPiece.h"
  accepted "a sound tree was refused" || return 1
  printf '#include "peers/TPeerId.h"\n' >> "$tree/torrent/TPiece.h"
  refused "a wrong-way include passed" || return 1
  sed -i '$d' "$tree/torrent/TPiece.h"
  mkdir -p "$tree/tools/get"
  printf '#include "engine/TaskApi.h"\n#include "platform/File.h"\n' > "$tree/tools/get/Run.cpp"
  accepted "a front end on the task interface was refused" || return 1
  printf '#include "peers/HostResolver.h"\n' >> "$tree/tools/get/Run.cpp"
  refused "a front end reaching around the task interface passed" || return 1
  rm -r "$tree/tools"
  mkdir -p "$tree/engine"
  printf '#include "engine/SpeedLimit.h"\n' > "$tree/engine/TaskInterface.h"
  printf '#include "engine/TaskInterface.h"\n#include "peers/TPeerId.h"\n' > "$tree/engine/TransferMeter.h"
  printf '#include "engine/TransferMeter.h"\n' > "$tree/engine/TWorkThread.h"
  printf '#include "engine/TWorkThread.h"\n' > "$tree/engine/CVeldmoorCore.cpp"
  accepted "engine components in their order were refused" || return 1
  printf '#include "engine/TWorkThread.h"\n' >> "$tree/engine/TransferMeter.h"
  refused "an engine component including the job passed" || return 1
  sed -i '$d' "$tree/engine/TransferMeter.h"
  printf '#include "engine/TaskInterface.h"\n#include "engine/JobSettings.h"\n' > "$tree/engine/JobRecord.h"
  printf '#include "engine/JobRecord.h"\n#include "engine/TransferMeter.h"\n' > "$tree/engine/SecondStep.h"
  printf '#include "engine/SecondStep.h"\n#include "engine/JobRecord.h"\n' > "$tree/engine/SecondStep.cpp"
  printf '#include "engine/JobRecord.h"\n' > "$tree/engine/EngineMembership.h"
  accepted "job parts on the record alone were refused" || return 1
  printf '#include "engine/EngineMembership.h"\n' >> "$tree/engine/SecondStep.cpp"
  refused "a job part including a sibling part passed" || return 1
  sed -i '$d' "$tree/engine/SecondStep.cpp"
  printf '#include "engine/JobRecord.h"\n' > "$tree/engine/TWorkWithPeers.h"
  printf '#include "engine/TWorkWithPeers.h"\n#include "engine/JobRecord.h"\n' > "$tree/engine/TWorkWithPieces.h"
  printf '#include "engine/TWorkWithPieces.h"\n#include "engine/TWorkWithPeers.h"\n' >> "$tree/engine/TWorkThread.h"
  accepted "the piece work on the peer set, both under the loop, was refused" || return 1
  for wrong in TWorkWithPieces TWorkThread; do
    printf '#include "engine/%s.h"\n' "$wrong" > "$tree/engine/TWorkWithPeersConnect.cpp"
    refused "the peer set including $wrong passed" || return 1
  done
  rm "$tree/engine/TWorkWithPeersConnect.cpp" "$tree/engine/TWorkWithPieces.h" "$tree/engine/TWorkWithPeers.h"
  sed -i '2,$d' "$tree/engine/TWorkThread.h"
  printf '#include "engine/TransferMeter.h"\n' >> "$tree/engine/JobRecord.h"
  refused "the job record including a working component passed" || return 1
  sed -i '$d' "$tree/engine/JobRecord.h"
  printf '#include "engine/TransferMeter.h"\n' >> "$tree/engine/TaskInterface.h"
  refused "the task interface including a component passed" || return 1
  rm -r "$tree/engine"
  printf '#include "torrent/TPiece.h"\n' > "$tree/torrent/TPieces.h"
  printf '#include "torrent/TPieces.h"\n' > "$tree/torrent/PieceWriter.cpp"
  printf '#include "torrent/TPiece.h"\n' > "$tree/torrent/PieceProgress.h"
  accepted "the piece map's own files on its facade were refused" || return 1
  printf '#include "torrent/TPieces.h"\n' >> "$tree/torrent/PieceProgress.h"
  refused "a piece-map component including the map passed" || return 1
  rm "$tree/torrent/PieceProgress.h" "$tree/torrent/PieceWriter.cpp" "$tree/torrent/TPieces.h"
  mkdir -p "$tree/newfolder"
  printf '#include "platform/File.h"\n' > "$tree/newfolder/New.h"
  refused "a folder outside the layering passed" || return 1
  echo "layer check self-test: ok"
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
  exit
fi
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
if check_tree "$root"; then
  echo "layer check: ok"
else
  echo "layer check: includes against the layering (see above)" >&2
  exit 1
fi
