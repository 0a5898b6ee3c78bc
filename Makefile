# Thin wrapper around CMake: `make test` installs what is missing, builds
# everything and runs every test; `make demo` runs the main job.
BUILD ?= build
JOBS ?= $(shell nproc)
PY := /usr/bin/python3
APT_PACKAGES := cmake ninja-build g++ libgtest-dev python3-numpy python3-pytest python3-matplotlib python3-torch

.PHONY: all deps configure build test test-fast demo bench asan clean

all: build

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L fast

demo: build
	$(PY) examples/gpr_demo.py $(if $(OUT),$(OUT),out)

bench: build
	$(BUILD)/bench/norvane_bench

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -L fast

clean:
	rm -rf $(BUILD) build-asan
