# Sourced by the other scripts: finds CPython 3.12, prepares the project's virtual environment and
# the system packages the build needs. Quick when everything is already in place.
set -euo pipefail

QV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QV_VENV="$QV_ROOT/.venv"
export QV_ROOT QV_VENV

find_python312() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; return; fi
  local root candidate
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for candidate in "$root"/versions/3.12*/bin/python3.12; do
    if [ -x "$candidate" ]; then echo "$candidate"; return; fi
  done
  echo "CPython 3.12 not found: set PYTHON to its interpreter" >&2
  return 1
}

apt_install() {
  # Installs Debian packages that are missing; `apt-get update` runs once per call.
  local missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

prepare_venv() {
  local python
  python="$(find_python312)"
  if [ ! -x "$QV_VENV/bin/python" ] || ! "$QV_VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf "$QV_VENV"
    "$python" -m venv "$QV_VENV"
  fi
  local stamp="$QV_VENV/.requirements-stamp"
  if [ ! -f "$stamp" ] || [ "$QV_ROOT/requirements-dev.txt" -nt "$stamp" ]; then
    "$QV_VENV/bin/python" -m pip install -q --upgrade pip
    "$QV_VENV/bin/python" -m pip install -q -r "$QV_ROOT/requirements-dev.txt"
    touch "$stamp"
  fi
  export PATH="$QV_VENV/bin:$PATH"
}

# Builds and installs the module into the venv (incremental: the build folder is kept).
install_module() {
  (cd "$QV_ROOT" && python -m pip install -q --no-build-isolation . >/dev/null)
}

# Configures and builds a CMake tree under build/NAME with extra -D options.
cmake_build() {
  local name="$1"; shift
  local dir="$QV_ROOT/build/$name"
  cmake -S "$QV_ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$QV_VENV/bin/python" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
