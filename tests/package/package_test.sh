#!/usr/bin/env bash
# Makes the Debian package from this build folder, unpacks it into a scratch root and checks
# that what is installed works on its own: every program's --version, an example run by the
# installed kovrun with the same report as the build's kovrun, the declared dependencies and
# the desktop metadata.
#
#   package_test.sh BUILD_DIR VERSION EXAMPLES_DIR
#
# Exits 77 (skipped) when the Debian tools that make or unpack a package are missing.
set -euo pipefail
build=$1
version=$2
examples=$3

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/marnel-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The package of this build, made in the scratch folder so that the build folder stays as it is.
if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not make the package" >&2
  exit 1
fi
debs=("$scratch"/cpack/marnel_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: cpack made no single marnel_*.deb: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
root=$scratch/root
dpkg -x "$deb" "$root"
# The programs of the package must run from the scratch root, with nothing of the build
# folder on their library path.
unset LD_LIBRARY_PATH

# --version through the links in /usr/bin: each program names itself and this build's version.
for program in kovrun kovexec marnel; do
  if [ ! -L "$root/usr/bin/$program" ]; then
    fail "/usr/bin/$program is not a link to the program"
    continue
  fi
  answer=$("$root/usr/bin/$program" --version 2>&1) && status=0 || status=$?
  [ "$status" -eq 0 ] || fail "$program --version exited with $status"
  [ "$answer" = "$program $version" ] || fail "$program --version printed '$answer', not '$program $version'"
done

# The installed example against the same example run by the build folder's kovrun. Lines that
# name the moment of the run cannot agree and are left out.
copy_and_run() {  # KOVRUN FOLDER EXAMPLES
  mkdir -p "$2"
  cp -R "$3"/. "$2"/
  (cd "$2" && "$1" --em stouffer_toby.cnt >/dev/null 2>"$2.stderr") ||
    fail "$1 --em stouffer_toby.cnt failed: $(cat "$2.stderr")"
}
without_moments() {
  grep -vE '^ PROGRAM (STARTED|FINISHED):|[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}' "$1" |
    grep -vF "$scratch" || true
}
installed_examples=$root/usr/share/doc/marnel/examples
if [ ! -f "$installed_examples/stouffer_toby.cnt" ]; then
  fail "the examples are not installed in /usr/share/doc/marnel/examples"
else
  copy_and_run "$root/usr/bin/kovrun" "$scratch/installed" "$installed_examples"
  copy_and_run "$build/bin/kovrun" "$scratch/built" "$examples"
  for report in installed built; do
    [ -s "$scratch/$report/stouffer_toby.out" ] || fail "the $report kovrun wrote no report"
  done
  if ! diff <(without_moments "$scratch/built/stouffer_toby.out") \
            <(without_moments "$scratch/installed/stouffer_toby.out") >"$scratch/report.diff"; then
    head -40 "$scratch/report.diff" >&2
    fail "the installed kovrun's report differs from the build's"
  fi
  grep -qE "^ PROGRAM VERSION: $version REL *\$" "$scratch/installed/stouffer_toby.out" ||
    fail "the report's PROGRAM VERSION line does not give $version"
fi

# The editor's help pages, where it looks for them from its own folder.
[ -f "$root/usr/share/marnel/help/contents.txt" ] || fail "the help pages are not installed"
[ -f "$root/usr/share/man/man1/kovrun.1" ] || fail "kovrun.1 is not installed"
[ -f "$root/usr/share/man/man1/kovexec.1" ] || fail "kovexec.1 is not installed"

# The dependencies that let apt-get bring Qt and the C++ runtime.
depends=$(dpkg-deb -f "$deb" Depends)
info=$(dpkg-deb -I "$deb")
grep -q '^ Depends: ' <<<"$info" || fail "dpkg-deb -I lists no Depends"
for needed in libqt6widgets6 libstdc++6 libc6; do
  [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"

desktop=$root/usr/share/applications/marnel.desktop
metainfo=$root/usr/share/metainfo/io.marnel.Marnel.metainfo.xml
for file in "$desktop" "$metainfo" "$root/usr/share/mime/packages/marnel.xml" \
            "$root/usr/share/icons/hicolor/scalable/apps/marnel.svg"; do
  [ -f "$file" ] || fail "${file#"$root"} is not installed"
done
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects marnel.desktop"
else
  echo "note: desktop-file-validate is not installed; the desktop entry was not validated"
fi
if command -v appstreamcli >/dev/null 2>&1; then
  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
else
  echo "note: appstreamcli is not installed; the AppStream metadata was not validated"
fi

[ "$failures" -eq 0 ] || exit 1
echo "package $(basename "$deb") installs and runs"
