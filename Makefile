# Entry points; see README.md.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
SECONDS ?= 30

.PHONY: all deps build test package test-package run run-pyramid bench-python sanitize tsan bench bench-host bench-scale fuzz soak attack architecture clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The Debian packages, from the Release build (only the packaged targets are
# built; cpack builds nothing): build-release/packages/*.deb. See README.md,
# "Install".
PACKAGE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCORVANE_PYTHON_INSTALL_DIR:STRING=lib/python3/dist-packages \
  -DCORVANE_SYSTEMD_UNIT_DIR:STRING=/lib/systemd/system -DCORVANE_INSTALL_REFERENCE_MODULES=ON \
  -DCMAKE_EXE_LINKER_FLAGS='-Wl,-z,relro -Wl,-z,now' -DCMAKE_MODULE_LINKER_FLAGS='-Wl,-z,relro -Wl,-z,now'
package: deps
	@scripts/install-deps package
	cmake -S . -B build-release -G Ninja $(PACKAGE_FLAGS)
	cmake --build build-release -j $(JOBS) --target corvane_packaged
	rm -f build-release/packages/*.deb
	cd build-release && cpack
	@ls -1 build-release/packages/*.deb

# The packages unpacked and used: lintian, find_package, the Python package,
# corvane-jwt check, systemd-analyze verify (tests/package/package.sh).
test-package: package
	@tests/package/package.sh build-release

run: build
	@scripts/run-demo $(BUILD)

run-pyramid: build
	@scripts/run-pyramid $(BUILD)

# The benchmarks are compiled here (not run), so that CI sees them break.
sanitize:
	@scripts/install-deps sanitize
	$(MAKE) test BUILD=build-asan \
	  CMAKE_FLAGS='-DCORVANE_SANITIZE="address;undefined" -DCMAKE_BUILD_TYPE=Debug -DCORVANE_BUILD_BENCH=ON'

# Only the suites that hold concurrency tests are built here; the host tests
# run too, for the HTTP layer's watcher and the reload thread.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCORVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan -j $(JOBS) --target jose_tests auth_tests apps_tests
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS) -R 'Concurren|^Host\.'

# Only the programs it runs are built: policy_bench, and the host and its
# tool for the short host run beside it.
bench: deps
	@scripts/install-deps bench
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON
	cmake --build build-release -j $(JOBS) --target policy_bench corvane-host corvane-jwt
	@scripts/run-bench build-release

bench-host:
	@scripts/install-deps bench
	$(MAKE) build BUILD=build-release CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON'
	@scripts/bench-host build-release

# Through nginx (deploy/nginx) with one and two host processes, and the host
# alone; only the two programs are built.
bench-scale:
	@scripts/install-deps bench
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON
	cmake --build build-release -j $(JOBS) --target corvane-host corvane-jwt
	@scripts/bench-scale build-release

bench-python:
	@scripts/install-deps bench
	$(MAKE) build BUILD=build-release CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON'
	@scripts/bench-python build-release

FUZZ_TARGETS = $(basename $(notdir $(wildcard fuzz/*_fuzz.cpp)))

fuzz: deps
	@scripts/install-deps fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCORVANE_BUILD_FUZZ=ON \
	  -DCORVANE_SANITIZE="address;undefined" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	@scripts/run-fuzz build-fuzz $(SECONDS)

soak:
	@scripts/install-deps bench
	$(MAKE) build BUILD=build-release CMAKE_FLAGS='-DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON'
	@scripts/soak build-release

# The slow attacks on the reference host (header flood, slow clients,
# connection limits), each asserting its bound; about 30 s.
attack: build
	@scripts/attack $(BUILD)

# docs/architecture.dot and .png, drawn from the build file's targets; the
# test build.architecture_picture says when they are stale.
architecture: deps $(BUILD)/build.ninja
	@scripts/install-deps docs
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	@scripts/draw-architecture $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
