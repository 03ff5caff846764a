#!/usr/bin/env bash
# The plug-in's dynamic symbol table holds exactly the names that the version
# script's "global:" section lists: nothing more leaks out, nothing is lost.
#
#   check_exports.sh LIBVYX_SO VERSION_SCRIPT
set -euo pipefail
so=$1 map=$2
command -v nm >/dev/null || { echo "nm not found: skipped"; exit 77; }
want=$(sed -n '/global:/,/local:/p' "$map" | sed '1d;$d' | tr -d ' \t;' | grep -v '^$' | sort)
[ -n "$want" ] || { echo "no global names in $map"; exit 1; }
have=$(nm -D --defined-only "$so" | awk '{print $NF}' | sort)
if [ "$want" != "$have" ]; then
  echo "exported symbols of $so differ from $map:"
  diff <(echo "$want") <(echo "$have") | sed -n 's/^</missing:/p; s/^>/extra:/p'
  exit 1
fi
echo "exports of $(basename "$so"): $(echo $have)"
