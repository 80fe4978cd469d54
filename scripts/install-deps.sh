#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with, only when missing, and the
# pinned OpenVINO runtime (its C++ libraries, headers and CMake package come in its PyPI wheel)
# into a virtual environment of the project's own, .deps/openvino, never the system Python.
set -euo pipefail
cd "$(dirname "$0")/.."
openvino_version=2026.4.1

packages=(build-essential cmake ninja-build pkg-config libopencv-dev libgtest-dev
          libbenchmark-dev nlohmann-json3-dev libcli11-dev binutils python3-onnx python3-numpy
          dpkg-dev file g++-mingw-w64-x86-64-posix clang libclang-rt-14-dev
          libmosquitto-dev libyaml-cpp-dev mosquitto mosquitto-clients ffmpeg python3-torch time python3-venv
          libcpp-httplib-dev libcurl4-openssl-dev curl chromium prometheus)
missing=()
for p in "${packages[@]}"; do
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
