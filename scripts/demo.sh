#!/usr/bin/env bash
# Sets everything up and runs the demo: fits both uplift forest estimators on a synthetic
# marketing DataFrame, predicts, scores each treatment, and draws the Qini curves and the uplift
# by percentile into out/uplift_evaluation.png.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
apt_install g++
prepare_venv
install_module
cd "$QV_ROOT"
python examples/demo.py "$@"
