#!/bin/sh
# Every catalogue of po/LINGUAS is valid for msgfmt --check (format
# directives, header) and complete: no untranslated or fuzzy entry, both as
# committed and against the texts the sources mark today.
# Usage: check_catalogues.sh SOURCE_DIR WORK_DIR
set -eu
top=$1
work=$2
mkdir -p "$work"
# xgettext warns about every Chinese message id; those are wanted.
sh "$top/po/extract" "$work/lumora-updater.pot" 2>/dev/null
failed=0
for language in $(grep -v '^#' "$top/po/LINGUAS"); do
  msgmerge --quiet --no-fuzzy-matching -o "$work/$language.po" "$top/po/$language.po" \
    "$work/lumora-updater.pot"
  for po in "$top/po/$language.po" "$work/$language.po"; do
    if ! stats=$(LC_ALL=C msgfmt --check --statistics -o /dev/null "$po" 2>&1); then
      echo "FAIL: $po: $stats"
      failed=1
      continue
    fi
    echo "$po: $stats"
    case $stats in
      *untranslated*|*fuzzy*) echo "FAIL: $po is not complete"; failed=1 ;;
    esac
  done
  # A text the sources no longer use is left behind as obsolete (#~).
  if grep -q '^#~ msgid' "$work/$language.po"; then
    echo "FAIL: po/$language.po translates texts the sources no longer have:"
    grep -A1 '^#~ msgid' "$work/$language.po"
    failed=1
  fi
done
exit $failed
