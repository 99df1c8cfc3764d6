# Thin driver over CMake; every target configures and builds what it needs.
# Ninja when the machine has it (its progress is one line per step), else Make
# without the sub-make directory chatter. Every path is quoted in the recipes:
# the checkout's own may hold a space.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
GENERATOR ?= $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)
DEMO_TARGETS = vesk-nm vesk-ranlib vesk-ar tarn_plugin demo_show_args

WIN_BUILD ?= build-win
ARM_BUILDS ?= build-armhf build-aarch64
RELEASE_BUILD ?= build-release
WIN_TOOLCHAIN = cmake/x86_64-w64-mingw32.cmake

.PHONY: configure build demo check bench clean check-windows configure-windows package stop-wine \
  check-arm configure-arm

# A build folder keeps the generator it was first configured with.
configure:
	@mkdir -p "$(BUILD)"
	@if [ -f "$(BUILD)/CMakeCache.txt" ]; then generator=; else generator='-G$(GENERATOR)'; fi; \
	cmake -S . -B "$(BUILD)" $${generator:+"$$generator"} $(CMAKE_FLAGS) >"$(BUILD)/configure.log" || \
	  { cat "$(BUILD)/configure.log"; exit 1; }

# Expanded only when a recipe runs, after configure has written the cache.
NATIVE_FLAGS = $(if $(filter Unix Makefiles,$(shell sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' \
  "$(BUILD)/CMakeCache.txt" 2>/dev/null)),-- --no-print-directory)

WIN_NATIVE_FLAGS = $(if $(filter Unix Makefiles,$(shell sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' \
  "$(WIN_BUILD)/CMakeCache.txt" 2>/dev/null)),-- --no-print-directory)
WINESERVER = $(firstword $(wildcard /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver) wineserver)

build: configure
	@cmake --build "$(BUILD)" -j$(JOBS) $(NATIVE_FLAGS)

# The demo needs the programs and its stand-ins, not the test suite.
demo: configure
	@cmake --build "$(BUILD)" -j$(JOBS) --target $(DEMO_TARGETS) $(NATIVE_FLAGS)
	@bash demo/run.sh "$(BUILD)"

check: build
	ctest --test-dir "$(BUILD)" --output-on-failure -j$(JOBS) --timeout 300

clean:
	rm -rf "$(BUILD)" "$(WIN_BUILD)" $(ARM_BUILDS) "$(RELEASE_BUILD)"

# The ARM Linux builds, cross-compiled, their tests run under qemu-user. A
# folder's name tells its host and so the toolchain file that configures it.
configure-arm:
	@bash cmake/arm-tools.sh
	@for dir in $(ARM_BUILDS); do \
	  case $$dir in *aarch64*) toolchain=cmake/aarch64-linux-gnu.cmake;; \
	    *) toolchain=cmake/arm-linux-gnueabihf.cmake;; esac; \
	  mkdir -p "$$dir"; \
	  if [ -f "$$dir/CMakeCache.txt" ]; then generator=; else generator='-G$(GENERATOR)'; fi; \
	  cmake -S . -B "$$dir" $${generator:+"$$generator"} --toolchain $$toolchain -DCMAKE_BUILD_TYPE=Release \
	    $(CMAKE_FLAGS) >"$$dir/configure.log" || { cat "$$dir/configure.log"; exit 1; }; \
	done

# Both builds are tested even when the first fails, so one run reports both.
check-arm: configure-arm
	@status=0; for dir in $(ARM_BUILDS); do \
	  echo "== $$dir"; \
	  flags=; grep -q '^CMAKE_GENERATOR:INTERNAL=Unix Makefiles' "$$dir/CMakeCache.txt" && \
	    flags='-- --no-print-directory'; \
	  { cmake --build "$$dir" -j$(JOBS) $$flags && \
	    ctest --test-dir "$$dir" --output-on-failure -j$(JOBS) --timeout 300; } || status=1; \
	done; exit $$status

# The native Windows build, cross-compiled, its tests run under Wine. The Wine
# server of the build's own prefix is ended afterwards, so nothing lingers.
configure-windows:
	@bash cmake/windows-tools.sh
	@mkdir -p "$(WIN_BUILD)"
	@if [ -f "$(WIN_BUILD)/CMakeCache.txt" ]; then generator=; else generator='-G$(GENERATOR)'; fi; \
	cmake -S . -B "$(WIN_BUILD)" $${generator:+"$$generator"} --toolchain $(WIN_TOOLCHAIN) \
	  -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >"$(WIN_BUILD)/configure.log" || \
	  { cat "$(WIN_BUILD)/configure.log"; exit 1; }

check-windows: configure-windows
	@cmake --build "$(WIN_BUILD)" -j$(JOBS) $(WIN_NATIVE_FLAGS)
	@status=0; ctest --test-dir "$(WIN_BUILD)" --output-on-failure -j$(JOBS) --timeout 300 || status=$$?; \
	  $(MAKE) --no-print-directory stop-wine; exit $$status

# Wine keeps its server's socket folder in /tmp under a name the prefix records.
stop-wine:
	@WINEPREFIX="$$(cd "$(WIN_BUILD)" 2>/dev/null && pwd)/wine-prefix" || exit 0; export WINEPREFIX; \
	  $(WINESERVER) -k 2>/dev/null; $(WINESERVER) -w 2>/dev/null; \
	  if [ -s "$$WINEPREFIX/wineserver" ]; then rm -rf "/tmp/$$(cat "$$WINEPREFIX/wineserver")"; fi; true

# The release archives, relocatable installed trees: .tar.gz for POSIX and
# each ARM Linux host, .zip for Windows, with SHA256SUMS beside them in
# $(RELEASE_BUILD). Each host has a Release folder of its own there, so the
# archives are built alike whatever the developer folders hold, and the same
# commit gives the same bytes (cmake/package.sh says how).
package:
	@GENERATOR='$(GENERATOR)' JOBS='$(JOBS)' bash cmake/package.sh "$(RELEASE_BUILD)" $(CMAKE_FLAGS)

bench: build
	bash bench/run.sh "$(BUILD)"
