# Albrivo: the two set-up commands of the README, and the quality gates.
#   make test   install what is missing, build, run the whole suite
#   make demo   install, build, download the demo album from the local demo site
#   make gui    the window against the local demo site
#   make asan / make tsan / make fuzz   sanitizer builds and fuzzing (see README)
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo gui asan tsan fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest -j$(JOBS) --output-on-failure --timeout 300

demo: deps
	@scripts/demo $(BUILD)

gui: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target albrivo tavo-site
	@scripts/gui $(BUILD)

asan: deps
	@scripts/gate asan

tsan: deps
	@scripts/gate tsan

fuzz: deps
	@scripts/gate fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
