# Front door. Each target sets up what it needs first, so one command works
# on a fresh Debian machine.
BUILD   ?= build
BUILD64 ?= build-x64
PREFIX  := $(abspath $(BUILD))/wineprefix
# The WMI test double answers for WMI here (tests/wmidouble).
DOUBLE_PREFIX := $(abspath $(BUILD))/wineprefix-double
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
JOBS    ?= $(shell nproc)

.PHONY: setup build build-x86 build-x64 test test-x86 test-x64 dist demo bench clean

setup:
	@bash scripts/setup.sh

# x86 into build/, x64 into build-x64/: the same sources, two toolchains.
build: build-x86 build-x64

build-x86: setup
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-x64: setup
	@cmake -S . -B $(BUILD64) -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake $(CMAKE_FLAGS) \
	       -DQVWMI_X86_BUILD=$(abspath $(BUILD)) >/dev/null
	@cmake --build $(BUILD64) -j$(JOBS)

# Both architectures' suites, each in its own Wine prefixes; fails when
# either fails.
test: build
	@status=0; \
	 echo "== x86 tests ($(BUILD))"; (cd $(BUILD) && ctest --output-on-failure --timeout 600) || status=1; \
	 echo "== x64 tests ($(BUILD64))"; (cd $(BUILD64) && ctest --output-on-failure --timeout 600) || status=1; \
	 exit $$status

test-x86: build-x86
	@cd $(BUILD) && ctest --output-on-failure --timeout 600

test-x64: build-x64
	@cd $(BUILD64) && ctest --output-on-failure --timeout 600

# Both MSIs, both zips and SHA256SUMS in dist/.
dist: build
	@bash scripts/dist.sh $(BUILD) $(BUILD64) dist

demo: build-x86
	@bash scripts/demo.sh $(BUILD)

bench: build-x86
	@WINEPREFIX=$(PREFIX) bash scripts/wine-register.sh $(BUILD)/bin/qvWMI.dll $(BUILD)/bin/ostrel.dll
	@WINEPREFIX=$(PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/bridge_bench.exe $(ROUNDS)
	@WINEPREFIX=$(PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/check_bench.exe $(CHECKS) $(SOAK)
	@WINEPREFIX=$(DOUBLE_PREFIX) bash scripts/wine-register.sh $(BUILD)/bin/qvWMI.dll $(BUILD)/bin/wmidouble.dll
	@WINEPREFIX=$(DOUBLE_PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/bridge_bench.exe --double $(DOUBLE_RUNS)

clean:
	-@WINEPREFIX=$(PREFIX) wineserver -k 2>/dev/null
	-@WINEPREFIX=$(abspath $(BUILD64))/wineprefix wineserver -k 2>/dev/null
	rm -rf $(BUILD) $(BUILD64) dist
