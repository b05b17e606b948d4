# Debian packages the build, the tests and a run need, and a helper that installs the missing
# ones. Sourced by the other scripts; silent when nothing is missing.

LUMIVANE_BUILD_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev nlohmann-json3-dev liburiparser-dev
  python3 python3-venv
)
LUMIVANE_RUN_PACKAGES=(xdg-utils dbus)
LUMIVANE_CHECK_PACKAGES=(clang libclang-rt-14-dev)
LUMIVANE_TEST_PACKAGES=(
  libgtest-dev libgmock-dev googletest
  xvfb xauth x11-utils xdotool imagemagick
  dbus dbus-x11 python3-dbus python3-gi
  iproute2 util-linux procps tmux chromium
)

ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  echo "Installing Debian packages: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "These packages are missing and there is neither root nor sudo: ${missing[*]}" >&2
      return 1
    fi
  fi
  "${sudo[@]}" apt-get update -qq >&2 || return 1
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2 || return 1
}
