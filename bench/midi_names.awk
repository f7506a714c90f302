# The default part of each MIDI file beside its tracks' names: reads the output of
# `glidewarp-melody --list` for many files (bench/midi_differential.sh) and counts
# how often the part taken by default is the one the names point to.
function kind(name, l) {
  l = tolower(name)
  if (l ~ /drum|perc|snare|cymbal|hihat|hi-hat|kick|schlagzeug|batterie|slagverk|trommer/) return "drums"
  if ((l ~ /bass/ && l !~ /bassoon/) || l ~ /walk/) return "bass"
  if (l ~ /melod|lead|vocal|voice|vox|solo|tune|soprano|sing|theme/) return "melody"
  if (l ~ /chord|acc|arpeg|plectrum|pad|rhyth|rythm|comp|backup|strum|harmon|string/) return "accompaniment"
  return "other"
}
function finish() {
  if (file == "") return
  files++
  if (hasMelody) { withMelody++; if (chosenKind == "melody") agreed++ }
  if (chosenKind == "bass" || chosenKind == "drums") namedBassDrums++
  if (chosenFlag == "bass") programBass++
  if (chosenKind == "accompaniment") { acc++; if (!hasMelody) accNoMelody++ }
  if (firstTrackBass) oldBass++
  if (chosenKind == "other") other++
}
/^[^ *]/ && /: format/ { finish(); file = $1; hasMelody = 0; chosenKind = ""; chosenFlag = ""; firstTrack = 0; firstTrackBass = 0; next }
/^[ *] +[0-9]+ +[0-9]+ / {
  mark = substr($0, 1, 1); track = $2; channel = $3
  name = ""; if (match($0, /"[^"]*"/)) name = substr($0, RSTART + 1, RLENGTH - 2)
  flag = ($0 ~ /\(bass\)$/) ? "bass" : ($0 ~ /\(drums\)$/) ? "drums" : ""
  k = kind(name)
  if (k == "melody" && flag != "drums") hasMelody = 1
  if (mark == "*") { chosenKind = k; chosenFlag = flag }
  # The rule this replaces: the first track with notes off channel 10, all its channels.
  if (channel != 10 && (firstTrack == 0 || firstTrack == track)) {
    firstTrack = track
    if (flag == "bass" || k == "bass") firstTrackBass = 1
  }
}
END {
  finish()
  printf "files                                             %d\n", files
  printf "with a part named for the melody                  %d\n", withMelody
  printf "  the default took such a part                    %d\n", agreed
  printf "default named for bass or drums                   %d\n", namedBassDrums
  printf "default a bass by its General MIDI program        %d\n", programBass
  printf "default named for accompaniment                   %d (%d where no part is named for the melody)\n", acc, accNoMelody
  printf "default with a name that says nothing             %d\n", other
  printf "first track with notes (the former rule) a bass   %d\n", oldBass
}
