#!/usr/bin/env bash
# What a technician gets: the install tree, the manual pages, the .deb, and
# the README's demo. Usage: packaging_test.sh CHECK BUILD_DIR SOURCE_DIR
set -uo pipefail
check=$1 build=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "missing $1"; }

# The rule must match the bootloader's vendor and product, and grant access
# both through the seat (uaccess) and through group plugdev, for a
# technician without a seat (SSH, a headless station).
check_rule() {
  local rule=$1
  grep -q 'ATTR{idVendor}=="15a2"' "$rule" || fail "the rule does not name vendor 15a2"
  grep -q 'ATTR{idProduct}=="0040"' "$rule" || fail "the rule does not name product 0040"
  grep -q 'TAG+="uaccess"' "$rule" || fail "the rule does not tag uaccess"
  grep -q 'GROUP="plugdev", MODE="0660"' "$rule" || fail "the rule does not open the panel to plugdev"
}

# udev never reads rules below a prefix such as /opt/panel or /usr/local:
# there the rule goes to /etc/udev/rules.d; into /usr, to udev's own folder.
install_tree() {
  for prefix in /opt/panel /usr/local /usr; do
    local root="$work/root$prefix" rule=etc/udev/rules.d/60-panel-service-tools.rules
    DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install --prefix $prefix"
    # Into /usr, udev's own folder, wherever udev's pkg-config file puts it.
    [ "$prefix" = /usr ] && rule=$(cd "$root" && ls {usr/,}lib/udev/rules.d/60-panel-service-tools.rules 2>/dev/null | head -1)
    expect_file "$root/${rule:-usr/lib/udev/rules.d/60-panel-service-tools.rules}"
    [ "$prefix" = /usr ] || [ -z "$(find "$root$prefix" -name '*.rules')" ] ||
      fail "a rule below the prefix $prefix, where udev never looks"
  done
  for p in lang_loader panel_flasher panel_readback panel_tool panel_view; do
    [ -x "$work/root/opt/panel/opt/panel/bin/$p" ] || fail "missing program bin/$p"
    expect_file "$work/root/opt/panel/opt/panel/share/man/man1/$p.1"
  done
  check_rule "$work/root/opt/panel/etc/udev/rules.d/60-panel-service-tools.rules"
  # The installed programs run on their own: no emulator, no panel.
  out=$("$work/root/opt/panel/opt/panel/bin/panel_flasher" 2>/dev/null)
  [ "$out" = "ERROR: No existe fichero .s19" ] || fail "installed panel_flasher printed '$out'"
  user_install
}

# A user without root installs into a folder of their own: /etc/udev is not
# theirs, so the rule lands below the prefix and the install says how to
# enable it, and succeeds. (As root the test installs as nobody; the
# manifest it writes into the build folder is made writable first.)
user_install() {
  local home="$work/home" as=()
  mkdir -p "$home"
  local opened=() d
  if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$work" && chown nobody "$home"
    touch "$build/install_manifest.txt" && chmod 666 "$build/install_manifest.txt"
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    # A clone in a private folder (mktemp -d) is opened to others for
    # search, not listing, while nobody installs from it.
    for d in "$build" "$source"; do
      while [ "$d" != / ]; do
        if [ -z "$(find "$d" -maxdepth 0 -perm -o+x)" ]; then chmod o+x "$d" && opened+=("$d"); fi
        d=$(dirname "$d")
      done
    done
  fi
  out=$("${as[@]}" cmake --install "$build" --prefix "$home/.local" 2>&1) ||
    fail "a user's cmake --install --prefix ~/.local failed: $out"
  [ ${#opened[@]} -eq 0 ] || chmod o-x "${opened[@]}"
  [ "$(id -u)" -eq 0 ] && chmod 644 "$build/install_manifest.txt"
  local rule="$home/.local/share/panel-service-tools/60-panel-service-tools.rules"
  expect_file "$rule"
  [ -x "$home/.local/bin/panel_flasher" ] || fail "a user's install lacks bin/panel_flasher"
  grep -qF "run as root: install -m 644 $rule /etc/udev/rules.d/" <<<"$out" ||
    fail "a user's install does not say how to enable the rule: $out"
}

man_pages() {
  for page in "$source"/man/*.1; do
    warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    text=$(groff -man -Tutf8 -P-c "$page" 2>/dev/null | sed 's/.\x08//g')
    for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
      grep -q "^$section" <<<"$text" || fail "$(basename "$page") has no $section section"
    done
  done
  # The Latin-1 message renders with its accent.
  # Read whole first: grep -q would stop reading early, and pipefail would
  # then count the writer's broken pipe as a failure.
  text=$(groff -man -Tutf8 "$source/man/lang_loader.1" 2>/dev/null | sed 's/.\x08//g')
  grep -q "par.metros de entrada" <<<"$text" || fail "lang_loader.1 lacks the arguments message"
}

deb_package() {
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null) ||
    { fail "cpack -G DEB"; return; }
  deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || { fail "no .deb produced"; return; }
  depends=$(dpkg-deb -f "$deb" Depends)
  for package in libusb-0.1-4 libssl3 libudev1; do
    grep -q "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
  done
  # The two original programs link libusb-0.1 and the C++ runtime only
  # (a sanitizer build adds its own runtimes, which a release never has).
  for p in lang_loader panel_flasher; do
    extra=$(readelf -d "$build/$p/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
            grep -vE '^(libusb-0\.1\.so\.4|libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6)$' |
            grep -vE '^lib(a|ub|l|t)san\.so\.[0-9]+$' || true)
    [ -z "$extra" ] || fail "$p links more than libusb-0.1: $extra"
  done
  contents=$(dpkg-deb -c "$deb")
  for f in ./usr/bin/lang_loader ./usr/bin/panel_flasher ./usr/bin/panel_readback ./usr/bin/panel_tool \
           ./usr/share/man/man1/lang_loader.1 ./usr/share/man/man1/panel_flasher.1 \
           ./usr/share/man/man1/panel_readback.1 ./usr/share/man/man1/panel_tool.1 \
           /rules.d/60-panel-service-tools.rules; do
    grep -qF "$f" <<<"$contents" || fail "the .deb lacks $f"
  done
  dpkg-deb -e "$deb" "$work/control"
  grep -q 'udevadm control --reload-rules' "$work/control/postinst" || fail "postinst does not reload udev"
  sh -n "$work/control/postinst" || fail "postinst is not valid sh"
  service_unit
}

# The service bench's unit: installed with its configuration (a conffile)
# and its system user, never enabled; it passes systemd-analyze verify
# (pointed at the packaged program), and the shipped configuration, which
# names no firmware yet, fails the unit at once instead of a bench that
# waits and does nothing.
service_unit() {
  local root="$work/root" unit
  dpkg-deb -x "$deb" "$root"
  unit=$(ls "$root"/lib/systemd/system/panel-bench.service "$root"/usr/lib/systemd/system/panel-bench.service \
           2>/dev/null | head -1)
  [ -n "$unit" ] || { fail "the .deb lacks panel-bench.service"; return; }
  [ -f "$root/etc/panel-service-tools/bench.conf" ] || fail "the .deb lacks bench.conf"
  grep -qx /etc/panel-service-tools/bench.conf "$work/control/conffiles" || fail "bench.conf is not a conffile"
  [ "$(stat -c %a "$root/etc/panel-service-tools/trusted-keys")" = 755 ] || fail "no trusted-keys folder (755)"
  grep -qx 'require_signature = yes' "$root/etc/panel-service-tools/bench.conf" || fail "signatures not required"
  grep -q '^m panel-bench plugdev' "$root"/usr/lib/sysusers.d/panel-service-tools.conf ||
    fail "no system user panel-bench in plugdev"
  ! grep -qF '.wants/' <<<"$contents" || fail "the .deb enables the unit"
  if command -v systemd-analyze >/dev/null; then
    sed "s|ExecStart=/usr/bin/panel_tool|ExecStart=$root/usr/bin/panel_tool|" "$unit" > "$work/panel-bench.service"
    systemd-analyze verify --man=no "$work/panel-bench.service" || fail "systemd-analyze verify"
    exposure=$(systemd-analyze security --offline=true --root="$root" "${unit#$root}" 2>/dev/null |
               sed -n 's/.*Overall exposure level for panel-bench.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security: exposure $exposure"
    awk -v e="${exposure:-10}" 'BEGIN {exit !(e <= 2.0)}' || fail "exposure $exposure, more than 2.0"
  else
    echo "systemd-analyze is not installed: the unit not verified"
  fi
  command=$(sed -n 's/^ExecStart=//p' "$unit" | sed "s|/usr/bin/panel_tool|$root/usr/bin/panel_tool|; s|/etc/|$root/etc/|")
  err=$($command 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 2 ] || fail "the shipped configuration: exit status $status, not 2"
  grep -q 'no firmware set' <<<"$err" || fail "the shipped configuration: '$err'"
  view_units "$root" "${exposure:-}"
}

# The bench's view: its socket and service, never enabled, verified, no
# more exposed than the bench; its own user, in the bench's group only;
# a program that links no USB library.
view_units() {
  local root="$1" bench_exposure="$2" dir view
  dir=$(dirname "$(ls "$root"/lib/systemd/system/panel-view.service "$root"/usr/lib/systemd/system/panel-view.service \
           2>/dev/null | head -1)")
  [ -f "$dir/panel-view.service" ] && [ -f "$dir/panel-view.socket" ] ||
    { fail "the .deb lacks panel-view.service or panel-view.socket"; return; }
  grep -q '^m panel-view panel-bench' "$root"/usr/lib/sysusers.d/panel-service-tools.conf ||
    fail "no system user panel-view in group panel-bench"
  ! ldd "$root/usr/bin/panel_view" | grep -q libusb || fail "panel_view links a USB library"
  if command -v systemd-analyze >/dev/null; then
    sed "s|ExecStart=/usr/bin/panel_view|ExecStart=$root/usr/bin/panel_view|" "$dir/panel-view.service" \
      > "$work/panel-view.service"
    cp "$dir/panel-view.socket" "$work/panel-view.socket"
    systemd-analyze verify --man=no "$work/panel-view.socket" "$work/panel-view.service" ||
      fail "systemd-analyze verify of the view's units"
    view=$(systemd-analyze security --offline=true --root="$root" "${dir#$root}/panel-view.service" 2>/dev/null |
           sed -n 's/.*Overall exposure level for panel-view.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security: the view's exposure $view"
    awk -v v="${view:-10}" -v b="${bench_exposure:-0}" 'BEGIN {exit !(v <= b)}' ||
      fail "the view's exposure $view, more than the bench's $bench_exposure"
  fi
}

# The programs built against a libusb-compat install, the standard way
# (CMAKE_PREFIX_PATH, which pkg-config then searches), link that library.
build_against_compat() {
  local compat="$build/libusb-compat"
  [ -e "$compat/lib/libusb-0.1.so.4" ] || { echo "no libusb-compat in $build: skipped"; exit 77; }
  cmake -S "$source" -B "$work/compat-build" -DPANEL_BUILD_TESTS=OFF -DCMAKE_PREFIX_PATH="$compat" \
    >"$work/configure.log" 2>&1 || { fail "configure against libusb-compat"; cat "$work/configure.log"; return; }
  cmake --build "$work/compat-build" --target lang_loader panel_flasher -j2 >"$work/build.log" 2>&1 ||
    { fail "build against libusb-compat"; tail -20 "$work/build.log"; return; }
  for p in lang_loader panel_flasher; do
    libraries=$(ldd "$work/compat-build/$p/$p")
    grep -qF "libusb-0.1.so.4 => $compat/lib/" <<<"$libraries" ||
      fail "$p does not load libusb-compat: $(grep libusb <<<"$libraries")"
  done
  out=$("$work/compat-build/panel_flasher/panel_flasher" 2>/dev/null)
  [ "$out" = "ERROR: No existe fichero .s19" ] || fail "panel_flasher built against libusb-compat printed '$out'"
}

# Every relative link in the README and docs/ resolves: to a file or
# folder of the tree, and to a heading of that page when it names one.
docs_links() {
  local page link target anchor heading found
  for page in "$source/README.md" "$source"/docs/*.md; do
    while read -r link; do
      case "$link" in http*|mailto:*) continue ;; esac
      target=${link%%#*}
      anchor=
      [ "$target" != "$link" ] && anchor=${link#*#}
      [ -n "$target" ] && target="$(dirname "$page")/$target" || target=$page
      [ -e "$target" ] || { fail "$(basename "$page"): $link does not exist"; continue; }
      [ -n "$anchor" ] || continue
      found=no
      while read -r heading; do
        [ "$(tr 'A-Z' 'a-z' <<<"$heading" | sed 's/[^a-z0-9 -]//g; s/ /-/g')" = "$anchor" ] && found=yes
      done < <(sed -n 's/^#\+ //p' "$target")
      [ "$found" = yes ] || fail "$(basename "$page"): $link names no heading"
    done < <(grep -o '\](\([^)]*\))' "$page" | sed 's/^](//; s/)$//')
  done
}

demo() {
  out=$("$source/scripts/demo-run" "$build" 2>&1 | tr '\r' '\n')
  status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || fail "demo-run exited $status"
  for expected in "Lenguaje cargado correctamente :)" "language header marked as loaded" \
                  "Panel OK!!! :)" "pages written: 960 (64-1023)" "boot check passes"; do
    grep -qF "$expected" <<<"$out" || fail "the demo did not show '$expected'"
  done
  [ "$failures" -eq 0 ] || echo "$out" | tail -20
}

"$check"
[ "$failures" -eq 0 ] && echo "$check: all checks passed"
exit $((failures != 0))
