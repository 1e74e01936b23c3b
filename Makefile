# The two commands of the README: `make run` and `make test`.
BUILD ?= build
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DKESTRUN_WERROR=ON
endif

WINDOWS_BUILD ?= build-windows

.PHONY: all setup configure build run test windows-test windows-build windows-installer \
	windows-screenshots \
	package lan-demo screenshots screenshot-setup bench \
	format clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD)

# Only the three programs: the tests and benchmarks are not needed to run them.
run: configure
	cmake --build $(BUILD) --target kestrun kbm kvu
	BUILD=$(abspath $(BUILD)) scripts/run-sample.sh

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2 --timeout 300

# The whole system cross-built with MinGW-w64 against Qt, libcurl and OpenSSL built for it from
# Debian's sources (once, into ~/.cache/kestrun/mingw: see the README), its tests run under
# Wine in a Wine prefix of the build folder's own, then the programs themselves under Wine.
windows-test: configure windows-build
# One test at a time: under Wine the host programs that serve the web tests do not bear a
# second test beside them.
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure --timeout 300
	cmake --build $(BUILD) --target kestrun # the Linux peer of the update engine's check
	BUILD=$(abspath $(WINDOWS_BUILD)) LINUX_BUILD=$(abspath $(BUILD)) scripts/windows-check.sh

windows-build:
	@scripts/setup.sh --windows
	deps=$$(scripts/windows-deps.sh) && \
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKESTRUN_MINGW_DEPS="$$deps" $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD)

# kestrun-<version>.msi in $(WINDOWS_BUILD)/, installed and removed again under Wine.
windows-installer: windows-build
	cmake --build $(WINDOWS_BUILD) --target windows_installer
	BUILD=$(abspath $(WINDOWS_BUILD)) scripts/windows-check.sh --installer

# One PNG per window of the Windows build under Wine in $(WINDOWS_BUILD)/screenshots/.
windows-screenshots: windows-build
	@scripts/setup.sh --screenshots
	BUILD=$(abspath $(WINDOWS_BUILD)) scripts/windows-check.sh --screenshots

# The Debian package kestrun_<version>_amd64.deb in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

# Two Kestruns and a web site on loopback: a workstation updates its Zelmo from the server.
lan-demo: build
	BUILD=$(abspath $(BUILD)) scripts/lan-demo.sh $(LAN_DEMO_ARGS)

# One PNG per window of both programs in $(BUILD)/screenshots/, drawn offscreen.
screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/kestrun_screenshots $(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/ui_lists_screenshots $(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/kbm_screenshots $(BUILD)/screenshots

# Every benchmark beside its reference, one table in $(BUILD)/bench.md (about 20 minutes;
# BENCH_QUICK=1 for a quick check that they work).
bench: build
	@scripts/setup.sh --bench
	BUILD=$(abspath $(BUILD)) scripts/bench.sh

screenshot-setup:
	@scripts/setup.sh --screenshots

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD)
