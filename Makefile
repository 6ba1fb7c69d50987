# The two everyday commands: `make demo` and `make test`. Both install the Debian packages
# that the build needs when they are missing, configure with CMake presets and Ninja, build,
# and then run.

PACKAGES := cmake ninja-build g++ make pkg-config \
	libgtest-dev libgmock-dev libfmt-dev nettle-dev nlohmann-json3-dev libcli11-dev \
	libsdl2-dev libsdl2-ttf-dev libsdl2-image-dev fonts-dejavu-core b3sum

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: all deps build demo test test-asan test-arm arm-deps test-win32 win32-deps fuzz fuzz-deps \
	clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake --preset default
	cmake --build --preset default

demo: build
	./build/vostrel demo

test: build
	ctest --preset default

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The suite on the terminal's kind of processor: cross-built for 32-bit ARM with hard float and
# run under user-mode emulation. The cross compiler, qemu and the armhf libraries of Debian
# multiarch (the header-only libraries and the fonts come with PACKAGES); the armhf C and C++
# runtime are named because the emulated programs load them.
ARM_PACKAGES := g++-arm-linux-gnueabihf qemu-user pkg-config:armhf libc6:armhf libstdc++6:armhf \
	libgtest-dev:armhf libgmock-dev:armhf libfmt-dev:armhf nettle-dev:armhf \
	libsdl2-dev:armhf libsdl2-ttf-dev:armhf libsdl2-image-dev:armhf

arm-deps: deps
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	@$(MAKE) --no-print-directory deps PACKAGES="$(ARM_PACKAGES)"

test-arm: arm-deps
	cmake --preset arm
	cmake --build --preset arm
	ctest --preset arm

# The updater as a Win32 program (VostrelHHT.exe on the Win32 backend), cross-built with Debian's
# mingw-w64 compiler and tested under Wine: the backend's suite, and whole updates of the demo's
# package in terminal and desktop mode with the GPS chip on a pseudo-terminal behind COM6 and the
# screens under Xvfb. Wine ignores the read-only attribute for root, so as root the programs run
# as the unprivileged user WINE_USER in its own Wine prefix (tests/win32/wine.sh). The native
# build's picture and GPS-image generators and its vostrel command serve the cross build.
WIN32_PACKAGES := g++-mingw-w64-x86-64-posix wine64 xvfb xauth
WINE_USER := vostrelwine
WINE_HOME := /var/lib/vostrel-wine

win32-deps: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(WIN32_PACKAGES)"
	@if [ "$$(id -u)" -eq 0 ] && ! id $(WINE_USER) >/dev/null 2>&1; then \
	  useradd --system --create-home --home-dir $(WINE_HOME) --shell /usr/sbin/nologin $(WINE_USER); \
	fi
	@home=$$( [ "$$(id -u)" -eq 0 ] && echo $(WINE_HOME)/prefix || echo $${WINEPREFIX:-$$HOME/.wine-vostrel}); \
	[ -f "$$home/system.reg" ] || tests/win32/wine.sh --init

test-win32: win32-deps
	cmake --preset default
	cmake --build --preset default --target vostrel make_screens make_gps_images
	cmake --preset win32
	cmake --build --preset win32
	ctest --preset win32

# Fuzzing campaigns with clang's libFuzzer and the sanitizers: every fuzz target for
# FUZZ_SECONDS seconds (or FUZZ_RUNS executions); what they find is kept, minimised, in
# tests/fuzz/corpus/.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
FUZZ_TARGETS := $(basename $(notdir $(wildcard tests/fuzz/*_fuzz.cpp)))

fuzz-deps: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(FUZZ_PACKAGES)"

fuzz: fuzz-deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZ_TARGETS)
	tools/fuzz_campaign.sh $(if $(FUZZ_RUNS),--runs $(FUZZ_RUNS),--seconds $(FUZZ_SECONDS)) $(FUZZ_TARGETS)

clean:
	rm -rf build build-asan build-fuzz build-arm build-win32
