# The Debian packages Porthold needs, and how the scripts install them.
# Sourced by scripts/run, scripts/test, scripts/package and
# scripts/lib/check-build-packages. The lists are installed without
# recommended packages, so each one names everything it needs itself.

# Building, running the panel and its demo (with a private Apache).
# The test programs are part of every build, so GoogleTest is here too.
porthold_build_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev libqt6opengl6-dev libqt6uitools6 qt6-qpa-plugins
  libicu-dev libplist-dev libcrypt-dev libgtest-dev
  libssl-dev ca-certificates
  apache2 apache2-utils
)

# Making the Debian package (dpkg-shlibdeps works out its dependencies).
porthold_package_packages=(dpkg-dev)

# Running the tests, the fuzz targets and the package checks. ansible-test
# sanity runs offline on Debian's pylint, pycodestyle, yamllint and voluptuous
# (scripts/ansible-sanity). The privileged
# path is tested through the real pkexec with a system bus (dbus) and polkitd
# of the tests' own; polkitd also brings pkttyagent, the tests' authentication
# agent, and libglib2.0-bin has gdbus.
porthold_test_packages=(
  clang libclang-rt-14-dev clang-format
  util-linux procps passwd file fonts-dejavu-core binutils
  libpam-modules libpam-runtime
  dbus polkitd pkexec libglib2.0-bin
  lintian
  ansible-core
  pylint pycodestyle yamllint python3-voluptuous python3-venv
  openssl
)

# The static checks of scripts/check-tidy.
porthold_tidy_packages=(clang-tidy)

# Packages of the lists above that the tests can do without: where the
# distribution has none (ansible-core is in Debian from 12 on), they are left
# out with a message and the tests that need them say they skip.
porthold_optional_packages=(ansible-core)

# porthold_missing_packages PACKAGE...: prints those not installed, one a line.
porthold_missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

# porthold_install_packages WHO PACKAGE...: installs what is missing when run
# as root; otherwise prints the one command that does it and fails.
porthold_install_packages() {
  local who=$1; shift
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "$who: this is not a Debian system; install the equivalents of: $*" >&2
    return 1
  fi
  local missing
  mapfile -t missing < <(porthold_missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$who: these packages are missing; install them with:" >&2
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  apt-get update -q
  local available=() p
  for p in "${missing[@]}"; do
    if [[ " ${porthold_optional_packages[*]} " == *" $p "* ]] && ! apt-cache show "$p" >/dev/null 2>&1; then
      echo "$who: $p is not available from this system's package sources; the tests that need it skip" >&2
      continue
    fi
    available+=("$p")
  done
  [ ${#available[@]} -eq 0 ] && return 0
  echo "$who: installing ${available[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${available[@]}"
}
