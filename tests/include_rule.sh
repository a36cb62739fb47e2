#!/bin/sh
# The layers' arrows run one way: app -> ui -> sys, net, usb, state. No file
# below src/app includes it, and none under net, usb, state or sys includes
# the wizard. Prints each offending line; fails when there is one.
# usage: include_rule.sh SOURCE_ROOT
src="${1:?usage: include_rule.sh SOURCE_ROOT}/src"
bad=$(
  grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](\.\./)*app/' \
       "$src/ui" "$src/net" "$src/usb" "$src/state" "$src/sys"
  grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](\.\./)*ui/' \
       "$src/net" "$src/usb" "$src/state" "$src/sys"
)
[ -z "$bad" ] && exit 0
printf 'an include against the layers:\n%s\n' "$bad"
exit 1
