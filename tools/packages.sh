# Debian packages of the project, and a helper that installs the missing ones.
# Sourced by tools/test-all.sh and tools/run.sh.

# Building every layer (the test frameworks too: the build configures them).
qorvel_build_packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
                       qt6-base-dev libsimpleini-dev libsqlite3-dev)
# The checks: sanitizers and fuzzing (clang), D-Bus tests, windows without a screen.
# gdbus and python3-gi are the outside clients of the automation tests; dpkg-dev
# and fakeroot build the .deb, file lets CPack find the binaries to inspect, and
# lintian checks the package.
qorvel_check_packages=(clang libclang-rt-14-dev dbus xvfb libglib2.0-bin python3-gi dpkg-dev fakeroot
                       file lintian)

# Installs those of the named packages that are missing, through apt-get;
# as root, or through sudo when there is one.
qorvel_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  local as_root=()
  if ((EUID != 0)); then
    if command -v sudo >/dev/null; then
      as_root=(sudo)
    else
      echo "missing packages: ${missing[*]} (run as root to install them)" >&2
      return 1
    fi
  fi
  echo "installing: ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
