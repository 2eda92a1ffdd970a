# The two commands of the README. Everything else is CMake's.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# A second build of the same sources with clang's sanitizers, for the unit, serial-line and
# fuzz tests; libFuzzer's coverage needs the libraries instrumented too.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

# What a fresh Debian 12 needs to build, run and test the program.
PACKAGES := cmake ninja-build g++ pkg-config \
	qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev libxcb1-dev \
	fonts-noto-cjk qt6ct \
	xvfb openbox xdotool x11-utils imagemagick \
	dpkg-dev desktop-file-utils appstream file python3 \
	lintian man-db debootstrap qt6-translations-l10n weston xwayland qt6-wayland \
	clang libclang-rt-14-dev \
	qemu-system-x86 busybox-static

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: run test package sanitize deps configure build

run: build
	$(BUILD)/vantrelo-relay

test: build sanitize
	ctest --test-dir $(BUILD) --output-on-failure
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -R '^(tst_|fuzz_)'

package: build
	cd $(BUILD) && cpack -B $(CURDIR)/$(BUILD)/package
	@ls $(BUILD)/package/*.deb

sanitize: deps
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		"-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS) -fsanitize=fuzzer-no-link"
	cmake --build $(SANITIZE_BUILD)

build: configure
	cmake --build $(BUILD)

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

deps:
	@missing=$$(for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
