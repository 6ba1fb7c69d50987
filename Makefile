# The two everyday commands: `make demo` and `make test`. Both install the Debian packages
# that the build needs when they are missing, configure with CMake presets and Ninja, build,
# and then run.

PACKAGES := cmake ninja-build g++ make pkg-config \
	libgtest-dev libgmock-dev libfmt-dev nettle-dev nlohmann-json3-dev libcli11-dev \
	libsdl2-dev libsdl2-ttf-dev libsdl2-image-dev fonts-dejavu-core

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: all deps build demo test test-asan clean

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

clean:
	rm -rf build build-asan
