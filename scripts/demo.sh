#!/usr/bin/env bash
# Sets everything up and runs the demo: trains both kinds of uplift forest on synthetic data,
# predicts, evaluates, draws the uplift curves and saves the models under out/.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
apt_install g++
prepare_venv
install_module
cd "$QV_ROOT"
python examples/demo.py "$@"
