# Albrivo: the two set-up commands of the README, and the quality gates.
#   make test   install what is missing, build, run the whole suite
#   make demo   install, build, download the demo album from the local demo site
#   make gui    the window against the local demo site
#   make asan / make tsan / make fuzz   sanitizer builds and fuzzing (see README)
#   make install [PREFIX=/usr/local]     the programs, man pages, menu entry, icon, completion
#   make package                         the Debian package, in $(BUILD)/
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
# What install and package need built: the programs and the files made from sources.
INSTALLED_TARGETS = albrivo albrivo-cli tavo-site albrivo_install_files

.PHONY: all deps configure build test demo gui install package asan tsan fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest -j$(JOBS) --output-on-failure --timeout 300 --repeat until-pass:2

demo: deps
	@scripts/demo $(BUILD)

gui: configure
	@cmake --build $(BUILD) -j$(JOBS) --target albrivo tavo-site
	@scripts/gui $(BUILD)

# DESTDIR, when set, is put in front of PREFIX (staged installs).
install: configure
	@cmake --build $(BUILD) -j$(JOBS) --target $(INSTALLED_TARGETS)
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The .deb installs under /usr whatever PREFIX says; dependencies from dpkg-shlibdeps.
package: configure
	@cmake --build $(BUILD) -j$(JOBS) --target $(INSTALLED_TARGETS)
	@cd $(BUILD) && cpack -G DEB

asan: deps
	@scripts/gate asan

tsan: deps
	@scripts/gate tsan

fuzz: deps
	@scripts/gate fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
