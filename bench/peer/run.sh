#!/usr/bin/env bash
# Benchmarks quorvanta against a two-model (T-learner) baseline built from scikit-learn's random
# forests. The baseline lives in its own virtual environment, bench/peer/.venv-peer, so the
# project's .venv never carries scikit-learn. Quick when run again. Arguments go to compare.py
# (e.g. --rows 500000).
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
apt_install g++
prepare_venv
install_module

PEER_VENV="$QV_ROOT/bench/peer/.venv-peer"
if [ ! -x "$PEER_VENV/bin/python" ] || ! "$PEER_VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  rm -rf "$PEER_VENV"
  "$(find_python312)" -m venv "$PEER_VENV"
fi
if ! "$PEER_VENV/bin/python" -c 'import numpy, sklearn' 2>/dev/null; then
  "$PEER_VENV/bin/python" -m pip install -q --upgrade pip
  "$PEER_VENV/bin/python" -m pip install -q numpy scikit-learn
fi

# Both environments share one interpreter, so the extension just built for .venv serves here as
# it is; a link keeps it current after every rebuild.
site_packages() { "$1/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))'; }
module="$(ls "$(site_packages "$QV_VENV")"/quorvanta.cpython-312-*.so)"
ln -sf "$module" "$(site_packages "$PEER_VENV")/"

cd "$QV_ROOT"
exec "$PEER_VENV/bin/python" bench/peer/compare.py "$@"
