# Shared by the scripts: where things are, and the Wine environment of the project prefix.
# Sourced, not run.
VONDREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VONDREL_BUILD=${VONDREL_BUILD:-$VONDREL_ROOT/build}
export WINEPREFIX=$VONDREL_ROOT/build/wine
set -a
source "$VONDREL_ROOT/scripts/wine.env"
set +a
# A copy of the prefix as it was made, from which suites that need a prefix of their own start.
VONDREL_TEMPLATE_PREFIX=$VONDREL_ROOT/build/wine-template

# Creates the prefix once (with the tests' CA in its Root store and the agent's data folder) and its
# template copy, and keeps a wineserver up so that every later process starts fast.
vondrel_prefix_ready() {
  if [ ! -f "$WINEPREFIX/.vondrel-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    wine "$VONDREL_BUILD/tools/vondrel_install_ca.exe" "Z:${VONDREL_ROOT//\//\\}\\tests\\pki\\ca.der" >/dev/null 2>&1
    mkdir -p "$WINEPREFIX/drive_c/ProgramData/Norvane"
    touch "$WINEPREFIX/.vondrel-ready"
    rm -rf "$VONDREL_TEMPLATE_PREFIX"
  fi
  if [ ! -f "$VONDREL_TEMPLATE_PREFIX/.vondrel-ready" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$VONDREL_TEMPLATE_PREFIX"
    cp -a "$WINEPREFIX" "$VONDREL_TEMPLATE_PREFIX"
  fi
  vondrel_wineserver_up
}

# A persistent wineserver and one warm-up process whose helpers do not hold any caller's pipes.
vondrel_wineserver_up() {
  wineserver -p >/dev/null 2>&1 </dev/null || true
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

vondrel_wineserver_down() {
  wineserver -k >/dev/null 2>&1 || true
}

# "/a/b" -> "Z:\a\b"
vondrel_winpath() {
  local p=$1
  printf 'Z:%s' "${p//\//\\}"
}
