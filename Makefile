# Front door. Each target sets up what it needs first, so one command works
# on a fresh Debian machine.
BUILD   ?= build
PREFIX  := $(abspath $(BUILD))/wineprefix
CMAKE_FLAGS := -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release

.PHONY: setup build test demo clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$$(nproc)

test: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 600

demo: build
	@bash scripts/demo.sh $(BUILD)

clean:
	-@WINEPREFIX=$(PREFIX) wineserver -k 2>/dev/null
	rm -rf $(BUILD)
