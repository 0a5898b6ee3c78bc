# Thin wrapper around CMake: `make test` installs what is missing, builds
# everything and runs every test; `make demo` runs the main job.
BUILD ?= build
JOBS ?= $(shell nproc)
PY := /usr/bin/python3
APT_PACKAGES := cmake ninja-build g++ libgtest-dev python3-numpy python3-pytest python3-matplotlib python3-torch python3-hypothesis \
                python3-mpi4py openmpi-bin

.PHONY: all deps configure build test test-fast demo demo-mpi bench asan test-sanitize test-tsan clean

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

# The same demo on MPI_RANKS processes of this machine, shots split among
# them, OMP_THREADS OpenMP threads each (see README, "Many processes").
MPI_RANKS ?= 2
OMP_THREADS ?= 1
MPIRUN := mpirun --allow-run-as-root --oversubscribe --bind-to none \
           -x OMP_NUM_THREADS=$(OMP_THREADS) -x OMPI_MCA_btl_vader_single_copy_mechanism=none

demo-mpi: build
	$(MPIRUN) -np $(MPI_RANKS) $(PY) examples/gpr_demo.py --mpi $(if $(OUT),$(OUT),out)

bench: build
	$(BUILD)/bench/norvane_bench

# The fast tests under AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer; any report fails its test (the run-time
# settings are in cmake/norvane_warnings.cmake, so a bare ctest applies them).
test-sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON \
	  -DNORVANE_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) -L fast

asan: test-sanitize

# Data races: the fast tests of the forward and backward passes under
# ThreadSanitizer, built with clang against LLVM's OpenMP runtime, whose
# race-detection tool reports the team barriers to the sanitizer. Run with
# 2 and with 4 threads (tests that pick their own thread count keep it).
TSAN_PACKAGES := clang libomp-dev libclang-rt-dev
test-tsan: deps
	@$(MAKE) --no-print-directory deps APT_PACKAGES="$(TSAN_PACKAGES)"
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVANE_TSAN=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DNORVANE_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target forward_tests adjoint_tests
	cd build-tsan && for n in 2 4; do \
	  echo "== $$n threads"; \
	  OMP_NUM_THREADS=$$n ctest --output-on-failure -j $(JOBS) -L passes -L fast || exit 1; \
	done

clean:
	rm -rf $(BUILD) build-asan build-tsan
