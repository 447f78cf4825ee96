# Sourced by the other scripts: stops with the package to install when a
# tool they need is missing.
need() { # need COMMAND DEBIAN-PACKAGE
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "$1 is missing: install it with 'apt-get install $2'" >&2
    exit 3
  fi
}
need cmake cmake
need c++ g++
need make make
