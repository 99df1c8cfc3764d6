# Thin driver over CMake; every target configures and builds what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: build demo check bench clean

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	bash demo/run.sh $(BUILD)

check: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) --timeout 300

clean:
	rm -rf $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)
