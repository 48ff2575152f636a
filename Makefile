# The two commands of the README, each doing all the set-up on a fresh Debian 12 or 13 machine
# (Ubuntu 24.04 the same way):
#   make run    build and run the service in the foreground (simulated reader unless the
#               vendor's libzkfp.so is installed)
#   make test   build and pass every test
# With CI set (as .ci/run does), compiler warnings are errors.

SHELL := /bin/bash
PRESET ?= default
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
# The simulated reader's control channel under `make run`: build/reader-sim talks to it.
SIM_CONTROL_PORT ?= 22002
BUILD_DIR ?= $(if $(filter default,$(PRESET)),build,build-$(PRESET))

# What differs between the releases, decided by cmake/release-packages.sh from what apt offers:
# the Boost development package (1.81 or later: libboost1.81-dev on Debian 12, libboost1.83-dev
# on Debian 13 and Ubuntu 24.04) and the release's own clang version N (clang-N,
# libclang-rt-N-dev, clang++-N: 14, 19, 18). Each is worked out once, on first use, so only the
# goals that install packages or build with clang run the probe; `make … CLANG_VERSION=17` picks
# another clang.
BOOST_DEV = $(eval BOOST_DEV := $$(or $$(shell cmake/release-packages.sh boost),$$(error no Boost 1.81 or later found)))$(BOOST_DEV)
CLANG_VERSION = $(eval CLANG_VERSION := $$(or $$(shell cmake/release-packages.sh clang),$$(error no clang found)))$(CLANG_VERSION)
CLANGXX = clang++-$(CLANG_VERSION)

# The Debian packages of each goal, each list written here once; `make deps-all` installs all of
# them (.ci/run does).
BUILD_PACKAGES = cmake make g++ pkg-config $(BOOST_DEV) libgtest-dev googletest
# The Windows cross build (posix-threads MinGW-w64) and Wine to run its binaries in tests.
WINDOWS_PACKAGES = cmake make g++-mingw-w64-x86-64-posix $(BOOST_DEV) googletest wine wine64
# The browser tests (tests/browser/) also need Chromium, Firefox, openssl (their throw-away
# https certificate), and Node.js 18 or later with npm unless both are there already (a Node.js
# that brings its own npm counts; Debian 12's nodejs is 18, Debian 13's 20); only `make test`
# and `make deps-test` install them.
BROWSER_PACKAGES = chromium firefox-esr openssl $(if $(shell command -v node && command -v npm),,nodejs npm)
# Every test run (make test, make test-asan) needs curl for the README walk-through and Node.js
# for the simulated reader's Node client (tests/readme/, tests/simulator-client/).
TEST_PACKAGES = curl $(if $(shell command -v node),,nodejs)
FUZZ_PACKAGES = cmake make clang-$(CLANG_VERSION) libclang-rt-$(CLANG_VERSION)-dev $(BOOST_DEV)
THREAD_SAFETY_PACKAGES = cmake make clang-$(CLANG_VERSION) $(BOOST_DEV)
BENCH_PACKAGES = wrk gcc linux-perf
FORMAT_PACKAGES = clang-format
# Building the Debian package needs dpkg-dev (dpkg-shlibdeps) and file besides the compiler;
# checking it needs the checkers as well.
PACKAGE_PACKAGES = cmake make g++ pkg-config $(BOOST_DEV) dpkg-dev file
PACKAGE_CHECK_PACKAGES = lintian systemd desktop-file-utils
# The Windows installers: NSIS (per user), wixl (the per-machine MSI) and msitools' msiinfo and
# msidump to check it.
INSTALLER_PACKAGES = nsis wixl msitools
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# A recipe line installing those of the packages given that are missing.
install-missing = @missing=$$(for p in $(sort $(1)); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

.PHONY: all deps deps-test deps-all configure build run test
all: build

deps:
	$(call install-missing,$(BUILD_PACKAGES))

deps-test:
	$(call install-missing,$(BUILD_PACKAGES) $(TEST_PACKAGES) $(BROWSER_PACKAGES))

deps-all:
	$(call install-missing,$(BUILD_PACKAGES) $(TEST_PACKAGES) $(BROWSER_PACKAGES) \
	  $(WINDOWS_PACKAGES) $(FUZZ_PACKAGES) $(THREAD_SAFETY_PACKAGES) $(PACKAGE_PACKAGES) \
	  $(PACKAGE_CHECK_PACKAGES) $(INSTALLER_PACKAGES) $(FORMAT_PACKAGES))

# configure and build install nothing; the goals that set up a fresh machine and build through
# them (run, test, test-windows, bench) install what is missing first.
configure: $(if $(filter test,$(MAKECMDGOALS)),deps-test,$(if $(filter run test-windows bench,$(MAKECMDGOALS)),deps))
	cmake --preset $(PRESET) -DTOBRAN_WERROR=$(WERROR)

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

# The service in the foreground (tools/run-service.sh): a vendor library known to the dynamic
# loader is preferred over the simulated one beside the binary. When another copy already runs
# for this user, or another program holds port 22001, it says which and exits 1.
run: build
	@tools/run-service.sh $(BUILD_DIR) $(SIM_CONTROL_PORT)

test: build
	ctest --preset $(PRESET)

# The in-process tests and the end-to-end tests (against a ThreadSanitizer build of the service)
# under ThreadSanitizer: the cases labelled tsan in tests/CMakeLists.txt and tests/e2e.
.PHONY: test-tsan
test-tsan: deps
	cmake --preset tsan -DTOBRAN_WERROR=$(WERROR)
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" TOBRAN_TIMEOUT_SCALE=3 \
	  ctest --preset tsan -L tsan

# Every test but the browser's against an AddressSanitizer + UndefinedBehaviorSanitizer build
# (build-asan/), the service binary included; any report ends that process and fails its test.
.PHONY: test-asan
test-asan:
	$(call install-missing,$(BUILD_PACKAGES) $(TEST_PACKAGES))
	cmake --preset asan -DTOBRAN_WERROR=$(WERROR)
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS="abort_on_error=1 detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
	  TOBRAN_TIMEOUT_SCALE=3 ctest --preset asan -E '^browser\.'

# The libFuzzer harnesses of tests/fuzz (clang, build-fuzz/), FUZZ_SECONDS each; a crash, leak,
# hang, sanitizer report or broken invariant fails. Inputs found are kept in build-fuzz/fuzz/.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	$(call install-missing,$(FUZZ_PACKAGES))
	cmake --preset fuzz -DCMAKE_CXX_COMPILER=$(CLANGXX) -DTOBRAN_WERROR=$(WERROR)
	cmake --build --preset fuzz -j $(JOBS)
	tests/fuzz/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# clang's compile-time lock checks: the capture library and the service built with clang and
# -Wthread-safety -Werror (build-thread-safety/), so a guarded field touched without its lock, or
# a function called without the lock it REQUIRES, fails the build. Nothing is run.
.PHONY: check-thread-safety
check-thread-safety:
	$(call install-missing,$(THREAD_SAFETY_PACKAGES))
	cmake --preset thread-safety -DCMAKE_CXX_COMPILER=$(CLANGXX)
	cmake --build --preset thread-safety -j $(JOBS)

# Throughput, latency, CPU per request and memory of the service next to a floor server
# (bench/floor_server.c), measured in the same run (bench/run-bench.sh, bench/README.md); results
# in build/bench/results.txt.
.PHONY: bench
bench: build
	$(call install-missing,$(BENCH_PACKAGES))
	bench/run-bench.sh build

# The C++ files (tracked by git) that Debian's clang-format would change under .clang-format,
# listed; fails if there are any. Changes nothing.
.PHONY: format-check
format-check:
	$(call install-missing,$(FORMAT_PACKAGES))
	@changed=$$(git ls-files '*.cc' '*.h' | while read -r file; do \
	    clang-format --dry-run -Werror "$$file" > /dev/null 2>&1 || echo "$$file"; \
	  done); \
	if [ -n "$$changed" ]; then \
	  echo "clang-format $$(clang-format --version | grep -o '[0-9][0-9.]*' | head -n 1) would change:"; \
	  echo "$$changed" | sed 's/^/  /'; exit 1; \
	fi

# Windows: build-windows/Tobran-Quorvel.exe and libzkfp.dll, the platform seam's own Windows
# tests (build-windows/platform-tests), and every end-to-end and load case against the Windows
# binaries but those tests/windows/excluded-under-wine.txt names, all run under Wine, the
# end-to-end and load ones by the Linux test programs of `make build`.
.PHONY: deps-windows windows test-windows
deps-windows:
	$(call install-missing,$(WINDOWS_PACKAGES))

windows: deps-windows
	cmake --preset windows -DTOBRAN_WERROR=$(WERROR)
	cmake --build --preset windows -j $(JOBS)
	cmake -S tests/windows -B build-windows/platform-tests --toolchain $(CURDIR)/cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DTOBRAN_WERROR=$(WERROR)
	cmake --build build-windows/platform-tests -j $(JOBS)

test-windows: windows build
	tests/windows/run-under-wine.sh $(if $(filter default,$(PRESET)),build,build-$(PRESET)) build-windows

# The Windows installer, build-windows/Tobran-Quorvel-Setup-<version>.exe, made by NSIS from
# packaging/windows/tobran-quorvel.nsi with the CMake project's version. `make
# test-windows-installer` installs, starts, reinstalls and uninstalls it under Wine
# (tests/install/check-windows-installer.sh); it uses port 22001: not while `make test` runs.
WINDOWS_VERSION = $(shell sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
WINDOWS_SETUP = build-windows/Tobran-Quorvel-Setup-$(WINDOWS_VERSION).exe
.PHONY: windows-installer test-windows-installer
windows-installer: windows
	$(call install-missing,$(INSTALLER_PACKAGES))
	cd packaging/windows && makensis -V2 -WX -DVERSION=$(WINDOWS_VERSION) \
	  -DBUILD_DIR=$(CURDIR)/build-windows -DOUT_FILE=$(CURDIR)/$(WINDOWS_SETUP) tobran-quorvel.nsi
	@echo "Built $(WINDOWS_SETUP)"

test-windows-installer: windows-installer
	tests/install/check-windows-installer.sh $(WINDOWS_SETUP) build-windows

# The per-machine Windows installer, build-windows/Tobran-Quorvel-<version>.msi, made by wixl
# from packaging/windows/tobran-quorvel.wxs with the CMake project's version and the product and
# upgrade codes of the Windows build's cache; tobran-quorvel-doctor.exe goes in when the build
# made it. `make test-windows-msi` checks its tables, then installs, upgrades and removes it
# under Wine (tests/install/check-windows-msi.sh); it uses port 22001: not while `make test` runs.
windows_cache = $(shell sed -n 's/^$(1):[A-Z]*=//p' build-windows/CMakeCache.txt)
WINDOWS_MSI = build-windows/Tobran-Quorvel-$(WINDOWS_VERSION).msi
.PHONY: windows-msi test-windows-msi
windows-msi: windows
	$(call install-missing,$(INSTALLER_PACKAGES))
	cd packaging/windows && wixl -a x64 -D VERSION=$(WINDOWS_VERSION) \
	  -D PRODUCT_CODE=$(call windows_cache,TOBRAN_MSI_PRODUCT_CODE) \
	  -D UPGRADE_CODE=$(call windows_cache,TOBRAN_MSI_UPGRADE_CODE) \
	  -D BUILD_DIR=../../build-windows \
	  -o $(CURDIR)/$(WINDOWS_MSI) tobran-quorvel.wxs
	@echo "Built $(WINDOWS_MSI)"

test-windows-msi: windows-msi
	tests/install/check-windows-msi.sh $(WINDOWS_MSI) build-windows

# Installing: `make package` builds the Debian package build-package/tobran-quorvel_*.deb
# (CPack, prefix /usr). `make test-install` checks it: lintian, the systemd unit, the package's
# files in a throw-away root and which libzkfp.so the service loads. It uses port 22001: not
# while `make test` runs.
.PHONY: package test-install
package:
	$(call install-missing,$(PACKAGE_PACKAGES))
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DTOBRAN_TESTS=OFF -DTOBRAN_WERROR=$(WERROR)
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB

test-install: package
	$(call install-missing,$(PACKAGE_CHECK_PACKAGES))
	tests/install/check-linux-package.sh build-package
