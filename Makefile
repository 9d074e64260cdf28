# Front door. Each target sets up what it needs first, so one command works
# on a fresh Debian machine.
BUILD   ?= build
PREFIX  := $(abspath $(BUILD))/wineprefix
# The WMI test double answers for WMI here (tests/wmidouble).
DOUBLE_PREFIX := $(abspath $(BUILD))/wineprefix-double
CMAKE_FLAGS := -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: setup build test demo bench clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$$(nproc)

test: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 600

demo: build
	@bash scripts/demo.sh $(BUILD)

bench: build
	@WINEPREFIX=$(PREFIX) bash scripts/wine-register.sh $(BUILD)/bin/qvWMI.dll $(BUILD)/bin/ostrel.dll
	@WINEPREFIX=$(PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/bridge_bench.exe $(ROUNDS)
	@WINEPREFIX=$(PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/check_bench.exe $(CHECKS) $(SOAK)
	@WINEPREFIX=$(DOUBLE_PREFIX) bash scripts/wine-register.sh $(BUILD)/bin/qvWMI.dll $(BUILD)/bin/wmidouble.dll
	@WINEPREFIX=$(DOUBLE_PREFIX) bash scripts/wine-run.sh $(BUILD)/bin/bridge_bench.exe --double $(DOUBLE_RUNS)

clean:
	-@WINEPREFIX=$(PREFIX) wineserver -k 2>/dev/null
	rm -rf $(BUILD)
