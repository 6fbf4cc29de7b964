#!/usr/bin/env bash
# lay_out_dist from a made-up build folder: each kind of library lands in its own folder with its
# links, fixtures nowhere, and an edited setting in the tree survives a second lay-out.
source "$(dirname "$0")/../lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build dist=$work/dist
mkdir -p "$build"
fail() { echo "FAIL: $*"; exit 1; }

for lib in vorcore mod plug fix; do
  echo "$lib" >"$build/lib$lib.so.1.0.0"
  ln -s "lib$lib.so.1.0.0" "$build/lib$lib.so.1"
  ln -s "lib$lib.so.1" "$build/lib$lib.so"
done
touch "$build/quorind" "$build/quorinctl"
printf '%s\n' "module libmod.so.1.0.0 libmod.so.1 libmod.so" "plugin libplug.so.1.0.0 libplug.so.1 libplug.so" \
  "fixture libfix.so.1.0.0 libfix.so.1 libfix.so" >"$build/deliverables.txt"

lay_out_dist "$build" "$dist"
for f in bin/quorind bin/quorinctl bin/libvorcore.so.1.0.0 modules/libmod.so.1.0.0 plugins/libplug.so.1.0.0; do
  [ -f "$dist/$f" ] || fail "$f missing"
done
for f in bin/libvorcore.so.1 modules/libmod.so.1 modules/libmod.so plugins/libplug.so.1 plugins/libplug.so; do
  [ -L "$dist/$f" ] && [ -e "$dist/$f" ] || fail "$f is not a link that resolves"
done
[ "$(ls "$dist/modules" "$dist/plugins" "$dist/bin" | grep -c fix)" = 0 ] || fail "a fixture was laid out"
for d in config logs wwwroot; do [ -d "$dist/$d" ] || fail "$d/ missing"; done

shipped=$(cd "$ROOT/dist" && find . -type f | head -n 1)
[ -n "$shipped" ] && [ -f "$dist/$shipped" ] || fail "the shipped defaults were not copied"
echo edited >"$dist/$shipped"
lay_out_dist "$build" "$dist"
[ "$(cat "$dist/$shipped")" = edited ] || fail "a second lay-out overwrote an edited setting"

# A vuved.ini kept from before an admin module was shipped gains its lines; edits stay, and a
# second lay-out adds nothing again.
printf '%s\n' "[system]" "display_console=0" "" "[modules]" "module-0=libpanelbase.so" "export-0=genernal" \
  "module-1=libmine.so" "export-1=mine" "" "[index]" "index-0=home.html" >"$dist/modules/vuved.ini"
lay_out_dist "$build" "$dist"
lay_out_dist "$build" "$dist"
ini=$(cat "$dist/modules/vuved.ini")
grep -qx "display_console=0" <<<"$ini" || fail "an edited vuved.ini key was lost"
grep -qx "module-1=libmine.so" <<<"$ini" || fail "a module line of the kept vuved.ini was lost"
grep -qx "index-0=home.html" <<<"$ini" || fail "the kept [index] was lost"
while IFS= read -r line; do
  library=${line#*=}
  [ "$(grep -c "^module-[0-9]*=$library\$" <<<"$ini")" = 1 ] || fail "$library is not named once in the kept vuved.ini"
done < <(grep '^module-' "$ROOT/dist/modules/vuved.ini")
[ "$(awk '/^\[modules\]/{m=1;next} /^\[/{m=0} m&&/^module-/' <<<"$ini" | wc -l)" = 3 ] || fail "module lines: $ini"
echo "lay_out_dist: ok"
