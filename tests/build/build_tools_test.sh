#!/bin/sh
# Checks the tools that make runs around the build, by what they print and their exit status:
# tools/install-deps on a system without apt-get, and tools/built-line, make's last line.
#
#   build_tools_test.sh SOURCE_FOLDER
set -u
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

# Runs a command and compares its exit status and its output (stdout and stderr together).
# expect NAME STATUS OUTPUT COMMAND...
expect() {
  name=$1 status=$2 output=$3
  shift 3
  got=$("$@" 2>&1)
  got_status=$?
  if [ "$got_status" != "$status" ] || [ "$got" != "$output" ]; then
    printf 'FAILED: %s: exit status %s, printed:\n%s\nexpected %s:\n%s\n' \
      "$name" "$got_status" "$got" "$status" "$output"
    failed=1
  else
    echo "build tools: $name"
  fi
}

# A system without apt-get: the commands install-deps uses, and a pkg-config that finds every
# module but those in $LACKING.
bin=$scratch/bin
mkdir "$bin"
for tool in sh grep sed basename dirname; do
  ln -s "$(command -v "$tool")" "$bin/$tool"
done
for tool in cmake make c++ gzip; do
  printf '#!/bin/sh\n' >"$bin/$tool" && chmod +x "$bin/$tool"
done
cat >"$bin/pkg-config" <<'SCRIPT'
#!/bin/sh
for module; do
  case " ${LACKING:-} " in *" $module "*) exit 1 ;; esac
done
SCRIPT
chmod +x "$bin/pkg-config"
deps=$source/tools/install-deps
lists="$source/tools/packages-build.txt $source/tools/packages-check.txt"

found="No apt-get here: installing nothing, as pkg-config finds every library the build needs"
expect "no apt-get, every build dependency found" 0 \
  "$found (not checked: $source/tools/packages-check.txt)" \
  env PATH="$bin" $deps $lists
rm "$bin/gzip"
expect "no apt-get, a library and a tool missing" 1 \
  "No apt-get here to install packages with, and the build lacks: expat gzip
Install those with this system's own packages, then run make again." \
  env PATH="$bin" LACKING=expat $deps $lists

# make's last line, from the build folder's cache.
cached() {
  mkdir -p "$scratch/$1"
  printf 'QUILLORA_DEFAULT_ORIGIN:INTERNAL=%s\nQUILLORA_ORIGIN:STRING=%s\n' \
    https://addons.quillora.com:8443 "$2" >"$scratch/$1/CMakeCache.txt"
  echo "$scratch/$1"
}
line=$source/tools/built-line
kept="kept from an earlier CMAKE_ARGS"
back="(make CMAKE_ARGS=-DQUILLORA_ORIGIN=https://addons.quillora.com:8443 goes back to the default)"
default=$(cached default https://addons.quillora.com:8443)
other=$(cached other https://addons.example.org:443)
expect "the default server" 0 \
  "Built $default/quillora-installer for the publishing server https://addons.quillora.com:8443" \
  "$line" "$default" ""
expect "another server, given" 0 \
  "Built $other/quillora-installer for the publishing server https://addons.example.org:443" \
  "$line" "$other" "-DQUILLORA_ORIGIN=https://addons.example.org:443"
expect "another server, kept by a plain make" 0 \
  "Built $other/quillora-installer for the publishing server https://addons.example.org:443, $kept $back" \
  "$line" "$other" ""
expect "another server, kept past other CMAKE_ARGS" 0 \
  "Built $other/quillora-installer for the publishing server https://addons.example.org:443, $kept $back" \
  "$line" "$other" "-DCMAKE_BUILD_TYPE=Debug"
exit $failed
