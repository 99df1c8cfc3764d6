# Thin driver over CMake; every target configures and builds what it needs.
# Ninja when the machine has it (its progress is one line per step), else Make
# without the sub-make directory chatter.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
GENERATOR ?= $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)
DEMO_TARGETS = vesk-nm vesk-ranlib vesk-ar tarn_plugin demo_show_args

.PHONY: configure build demo check bench clean

# A build folder keeps the generator it was first configured with.
configure:
	@mkdir -p $(BUILD)
	@if [ -f $(BUILD)/CMakeCache.txt ]; then generator=; else generator='-G$(GENERATOR)'; fi; \
	cmake -S . -B $(BUILD) $$generator $(CMAKE_FLAGS) >$(BUILD)/configure.log || \
	  { cat $(BUILD)/configure.log; exit 1; }

# Expanded only when a recipe runs, after configure has written the cache.
NATIVE_FLAGS = $(if $(filter Unix Makefiles,$(shell sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' \
  $(BUILD)/CMakeCache.txt 2>/dev/null)),-- --no-print-directory)

build: configure
	@cmake --build $(BUILD) -j$(JOBS) $(NATIVE_FLAGS)

# The demo needs the programs and its stand-ins, not the test suite.
demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS) $(NATIVE_FLAGS)
	@bash demo/run.sh $(BUILD)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

clean:
	rm -rf $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)
