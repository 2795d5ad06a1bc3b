#!/usr/bin/env bash
# File: setup.sh -- installs what the training recipe needs on Debian 12 (synthesisers,
# voices, PyTorch, the word list the look-alike negatives are found in) and nothing the
# library needs (that is scripts/install-deps.sh). Run as root: tools/train/setup.sh
#
# Some voices come from Debian's contrib and non-free sections (RHVoice, SVOX Pico, the
# mbrola voices), so they are enabled in a file of their own under /etc/apt/sources.list.d/,
# beside the machine's own sources, which are left as they are: the library keeps building
# from main alone. The file copies the archives and suites the machine already uses for main
# (a deb822 `.sources` file or a one-line `sources.list`), with the other two sections.
# GnuSpeech is an npm package: `npm ci` installs the version pinned in package-lock.json
# into tools/train/node_modules (git-ignored), where voices_gnuspeech.py looks for it.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
HERE=$(cd "$(dirname "$0")" && pwd)
SECTIONS_FILE=/etc/apt/sources.list.d/quelt-train-contrib-non-free

# Prints the stanzas of the deb822 files given whose components hold main, with
# "contrib non-free" as their components.
deb822_with_sections() {
  awk '
    function flush() {
      if (stanza != "" && has_main && !disabled) printf "%s", stanza "Components: contrib non-free\n\n"
      stanza = ""; has_main = 0; disabled = 0
    }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    /^Components:/ { for (i = 2; i <= NF; i++) if ($i == "main") has_main = 1; next }
    /^Enabled:[ \t]*no/ { disabled = 1 }
    { stanza = stanza $0 "\n" }
    END { flush() }
  ' "$@"
}

# Prints the one-line entries of the files given that hold main, with "contrib non-free".
list_with_sections() {
  awk '$1 == "deb" {
    line = ""; main = 0
    for (i = 1; i <= NF; i++) {
      if ($i == "main") { main = 1; continue }
      if ($i == "contrib" || $i == "non-free" || $i == "non-free-firmware") continue
      line = line (line == "" ? "" : " ") $i
    }
    if (main) print line " contrib non-free"
  }' "$@"
}

# True when every archive that serves main already serves contrib and non-free too.
sections_enabled() {
  apt-get indextargets --format '$(COMPONENT)' 2>/dev/null | sort -u | grep -qx non-free &&
    apt-get indextargets --format '$(COMPONENT)' 2>/dev/null | sort -u | grep -qx contrib
}

# tests source the functions above alone
[ "${QUELT_SETUP_FUNCTIONS_ONLY:-0}" = 1 ] && return 0

if sections_enabled; then
  echo "Debian's contrib and non-free sections are enabled already"
else
  shopt -s nullglob
  deb822=()
  for f in /etc/apt/sources.list.d/*.sources; do
    [ "$f" = "$SECTIONS_FILE.sources" ] || deb822+=("$f")
  done
  lists=()
  [ -f /etc/apt/sources.list ] && lists+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list; do
    [ "$f" = "$SECTIONS_FILE.list" ] || lists+=("$f")
  done
  if [ ${#deb822[@]} -gt 0 ] && [ -n "$(deb822_with_sections "${deb822[@]}")" ]; then
    deb822_with_sections "${deb822[@]}" >"$SECTIONS_FILE.sources"
    written=$SECTIONS_FILE.sources
  elif [ ${#lists[@]} -gt 0 ] && [ -n "$(list_with_sections "${lists[@]}")" ]; then
    list_with_sections "${lists[@]}" >"$SECTIONS_FILE.list"
    written=$SECTIONS_FILE.list
  else
    echo "setup.sh: no Debian archive serving main found in /etc/apt" >&2
    exit 1
  fi
  echo "enabling Debian's contrib and non-free sections for the training voices" \
    "(RHVoice, SVOX Pico, mbrola) in $written"
fi

apt-get update
apt-get install -y \
  python3-torch python3-numpy python3-scipy python3-soundfile python3-matplotlib \
  espeak-ng flite festival festvox-kallpc16k festvox-kdlpc16k festvox-us-slt-hts \
  rhvoice rhvoice-english libttspico-utils praat nodejs \
  mbrola mbrola-us1 mbrola-us2 mbrola-us3 mbrola-en1 wamerican
# Debian's npm; a nodejs from elsewhere may bring its own and conflict with it.
command -v npm >/dev/null || apt-get install -y npm

npm ci --prefix "$HERE" --no-audit --no-fund
