# Front door. Each target sets up what it needs first, so one command works
# on a fresh Debian machine.
BUILD   ?= build
BUILD64 ?= build-x64
BUILDLX ?= build-linux
# The WMI test double answers for WMI in its own prefix (tests/wmidouble).
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
JOBS    ?= $(shell nproc)
# Whether this host runs 32-bit programs (scripts/wine-host.sh; QVWMI_NO_X86=1
# makes one that does behave as one that does not).
HOST    := bash scripts/wine-host.sh

.PHONY: setup host build build-x86 build-x64 build-linux test test-x86 test-x64 test-linux dist demo demo-linux bench clean

setup:
	@bash scripts/setup.sh

# Which kind of host this is, and what runs on it.
host: setup
	@$(HOST) || true

# x86 into build/, x64 into build-x64/: the same sources, two toolchains;
# the native Linux wmicheck into build-linux/ with the system's compiler.
build: build-linux build-x86 build-x64

build-linux: setup
	@cmake -S . -B $(BUILDLX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILDLX) -j$(JOBS)

build-x86: setup
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake $(CMAKE_FLAGS) \
	       -DQVWMI_X64_BUILD=$(abspath $(BUILD64)) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-x64: setup
	@cmake -S . -B $(BUILD64) -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake $(CMAKE_FLAGS) \
	       -DQVWMI_X86_BUILD=$(abspath $(BUILD)) >/dev/null
	@cmake --build $(BUILD64) -j$(JOBS)

# Both architectures' suites, each in its own Wine prefixes; fails when
# either fails. Where 32-bit programs do not run, the x86 suite's tests are
# reported as skipped, and one line says why.
test: build
	@status=0; \
	 echo "== Linux tests ($(BUILDLX))"; (cd $(BUILDLX) && ctest --output-on-failure --timeout 600) || status=1; \
	 if $(HOST) >/dev/null; then echo "== x86 tests ($(BUILD))"; \
	 else echo "== x86 tests ($(BUILD)): not run, skipped: $$($(HOST) --why)"; fi; \
	 (cd $(BUILD) && ctest --output-on-failure --timeout 600) || status=1; \
	 echo "== x64 tests ($(BUILD64))"; (cd $(BUILD64) && ctest --output-on-failure --timeout 600) || status=1; \
	 exit $$status

# The x86 suite needs the x64 build too: its packages take their registry
# rows from the x64 registration.
test-x86: build
	@$(HOST) >/dev/null || echo "== x86 tests ($(BUILD)): not run, skipped: $$($(HOST) --why)"
	@cd $(BUILD) && ctest --output-on-failure --timeout 600

test-linux: build-linux
	@cd $(BUILDLX) && ctest --output-on-failure --timeout 600

test-x64: build-x64
	@cd $(BUILD64) && ctest --output-on-failure --timeout 600

# Both MSIs, both zips, the Linux wmicheck's .deb and SHA256SUMS in dist/,
# on any host (build builds the Linux tree too).
dist: build
	@bash scripts/dist.sh $(BUILD) $(BUILD64) $(BUILDLX) dist

# demo and bench run the x86 build where 32-bit programs run, the x64 build
# elsewhere; their first line says which and why. pick_build prints that
# line, builds that build and sets the shell variable build to its tree.
define pick_build
arch=$$($(HOST) --arch); build=$$([ $$arch = x86 ] && echo $(BUILD) || echo $(BUILD64)); \
	 echo "$(1): the $$arch build, since $$($(HOST) --why)"; \
	 $(MAKE) --no-print-directory build-$$arch >/dev/null
endef

# The Windows build under Wine, then the native Linux wmicheck against the
# WinRM test double.
demo: setup
	@$(call pick_build,demo) && bash scripts/demo.sh $$build
	@$(MAKE) --no-print-directory demo-linux

# The native Linux wmicheck against the WinRM test double on the loopback.
demo-linux: build-linux
	@bash scripts/linux-demo.sh $(BUILDLX)

# The Windows benchmarks, then the Linux wmicheck's (scripts/linux-bench.sh)
# against the WinRM double, with python3-winrm and wmicheck.exe under Wine
# (the Windows build just run) as its peers.
bench: setup
	@$(call pick_build,bench) && \
	 bash scripts/bench.sh $$build "$(ROUNDS)" "$(CHECKS)" "$(SOAK)" "$(DOUBLE_RUNS)" "$(STUCK_CHECKS)" "$(FLEET_CHECKS)" && \
	 $(MAKE) --no-print-directory build-linux >/dev/null && \
	 bash scripts/linux-bench.sh $(BUILDLX) "$(LINUX_COST_CHECKS)" "$(LINUX_FLEET_CHECKS)" "$(LINUX_TICKET_CHECKS)" \
	   "$(LINUX_SOAK_CHECKS)" "$(LINUX_SOAK_RUNS)" $$build

clean:
	-@WINEPREFIX=$(abspath $(BUILD))/wineprefix wineserver -k 2>/dev/null
	-@WINEPREFIX=$(abspath $(BUILD64))/wineprefix wineserver -k 2>/dev/null
	rm -rf $(BUILD) $(BUILD64) $(BUILDLX) dist
