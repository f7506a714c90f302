#!/usr/bin/env bash
# glidewarp-melody's MIDI reader beside an independent one (midicsv, from
# Debian) on real MIDI files: game music and the examples of MIDI software,
# fetched from Debian packages with `apt-get download` into a scratch folder
# (nothing is kept or committed). For every file:
#
#   events   the reader's events (bench/midi_events: notes, controllers,
#            programs, pressure, pitch bends, tempo, each track's end, with
#            their track and pulse) against midicsv's records of the same kinds;
#   melody   glidewarp-melody's melody and its line on standard error, from the
#            file and from midicsv's records written back as a MIDI file by
#            csvmidi: the independent decoding, encoded afresh, must give the
#            same notes;
#   refused  a file the reader refuses must get one line that names the byte.
#
# Then how the default part compares with the tracks' names (bench/midi_names.awk
# over `glidewarp-melody --list`), and which unit the melodies are written in.
#
#   bash bench/midi_differential.sh              # uses build/release, built if missing
#   KEEP=folder bash bench/midi_differential.sh  # keeps the files and every output there
#
# Installs midicsv when run as root and it is missing. Needs the network for
# the packages. Not run by the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

melody=${MELODY:-$root/build/release/melody/glidewarp-melody}
events=${EVENTS:-$root/build/release/bench/midi_events}
packages=(planetblupi-music-midi openttd-openmsx mma playmidi timidity solfege)

if ! command -v midicsv >/dev/null || ! command -v csvmidi >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    echo "Installing: midicsv"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends midicsv >/dev/null
  else
    echo "Missing: midicsv. Install it with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends midicsv" >&2
    exit 1
  fi
fi
if [ ! -x "$melody" ] || [ ! -x "$events" ]; then
  bash scripts/setup.sh release
fi

if [ -n "${KEEP:-}" ]; then
  work=$KEEP
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/debs" "$work/files" "$work/out"

# The packages, each unpacked into a folder of its own; every MIDI file in
# it (gzipped ones unpacked) goes to files/PACKAGE/.
(cd "$work/debs" && apt-get download "${packages[@]}" >/dev/null 2>&1)
for package in "${packages[@]}"; do
  deb=$(ls "$work/debs/${package}"_*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || { echo "could not download $package" >&2; exit 1; }
  mkdir -p "$work/unpacked/$package" "$work/files/$package"
  dpkg-deb -x "$deb" "$work/unpacked/$package"
  while IFS= read -r -d '' file; do
    name=$(echo "${file#"$work/unpacked/$package/"}" | tr '/' '_')
    case "$file" in
      *.gz) gunzip -c "$file" >"$work/files/$package/${name%.gz}" ;;
      *) cp "$file" "$work/files/$package/$name" ;;
    esac
  done < <(find "$work/unpacked/$package" -type f -iregex '.*\.\(mid\|midi\|kar\)\(\.gz\)?' -print0)
done

records='^[0-9]+, [0-9]+, (Note_on_c|Note_off_c|Pitch_bend_c|Control_c|Program_c|Poly_aftertouch_c|Channel_aftertouch_c|Tempo|End_track)'
differences=$work/out/differences.txt
: >"$differences"
: >"$work/out/lists.txt"
: >"$work/out/units.txt"
printf '%-24s %6s %14s %14s %22s %16s\n' package files "events agree" "melody agrees" \
  "refused, byte named" "midicsv failed"
declare -i allFiles=0 allEvents=0 allMelody=0 allRefused=0 allNamed=0 allFailed=0
for package in "${packages[@]}"; do
  declare -i files=0 eventsAgree=0 melodyAgrees=0 refused=0 named=0 failed=0
  for file in "$work/files/$package"/*; do
    [ -f "$file" ] || continue
    files+=1
    out=$work/out/$(basename "$file")
    theirsOk=1
    midicsv "$file" >"$out.theirs.all" 2>/dev/null || theirsOk=0
    if ! "$events" "$file" >"$out.ours"; then
      refused+=1
      grep -Eq ', byte [0-9]+: ' "$out.ours" && named+=1
      echo "refused $file: $(cat "$out.ours")" >>"$differences"
      continue
    fi
    if ((!theirsOk)); then
      failed+=1
      echo "midicsv failed on $file" >>"$differences"
      continue
    fi
    grep -E "$records" "$out.theirs.all" >"$out.theirs" || true
    if cmp -s "$out.ours" "$out.theirs"; then
      eventsAgree+=1
    else
      echo "events differ in $file:" >>"$differences"
      diff "$out.ours" "$out.theirs" | head -5 >>"$differences" || true
    fi
    # The same notes from the independent decoding, written afresh.
    csvmidi "$out.theirs.all" >"$out.again.mid" 2>/dev/null || true
    "$melody" "$file" - >"$out.melody" 2>"$out.said" || true
    "$melody" "$out.again.mid" - >"$out.again.melody" 2>"$out.again.said" || true
    sed -i "s|$out.again.mid|$file|g" "$out.again.said"
    if cmp -s "$out.melody" "$out.again.melody" && cmp -s "$out.said" "$out.again.said"; then
      melodyAgrees+=1
    else
      echo "melody differs for $file" >>"$differences"
    fi
    "$melody" --list "$file" >>"$work/out/lists.txt" 2>&1 || true
    unit=$(grep -o 'units of 1/[0-9]*' "$out.said" || echo "units of 1")
    echo "$unit" >>"$work/out/units.txt"
  done
  printf '%-24s %6d %14d %14d %17d, %3d %16d\n' "$package" "$files" "$eventsAgree" \
    "$melodyAgrees" "$refused" "$named" "$failed"
  allFiles+=files allEvents+=eventsAgree allMelody+=melodyAgrees allRefused+=refused
  allNamed+=named allFailed+=failed
done
printf '%-24s %6d %14d %14d %17d, %3d %16d\n' all "$allFiles" "$allEvents" "$allMelody" \
  "$allRefused" "$allNamed" "$allFailed"
if [ -s "$differences" ]; then
  echo
  echo "Differences and refusals (all in $differences):"
  head -40 "$differences"
fi

echo
echo "The default part beside the tracks' names (glidewarp-melody --list):"
awk -f bench/midi_names.awk "$work/out/lists.txt"
echo
echo "Units the melodies are written in at the default base (440 Hz):"
sort "$work/out/units.txt" | uniq -c | sort -rn | sed 's/^ */  /'
