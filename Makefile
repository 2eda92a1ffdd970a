# The commands of the README. Everything else is CMake's.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The tests' builds take any compiler warning for an error, on every release they run on.
TEST_CMAKE_FLAGS := -DBUILD_TESTING=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
# A second build of the same sources with clang's sanitizers, for the unit, serial-line and
# fuzz tests; libFuzzer's coverage needs the libraries instrumented too. Debian's fortified
# build flags stay out of it: they hide what AddressSanitizer would find.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZE_CTEST := LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt:print_suppressions=0 \
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -R '^(tst_|fuzz_)'

# What a fresh Debian 12 or 13 needs, by purpose; each target installs only its own. Every name
# here is the same on both releases.
# Building the program and running it: compiler, Qt, the Chinese font and Qt's Chinese texts.
RUN_PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libxcb1-dev \
	fonts-noto-cjk qt6-translations-l10n
# The Debian package: Debian's build flags and library dependencies (dpkg-dev), CPack's ELF check.
PACKAGE_PACKAGES := dpkg-dev file
# The tests: the serial line's Qt peer, displays and window managers, screenshots, the screen
# reader's bus and the screen reader with its speech and Chinese locale, the package's checkers,
# a fresh Debian to install into, the sanitizer build, the kernel rig and ser2net serving ports
# over the network.
TEST_PACKAGES := qt6-serialport-dev python3 ser2net \
	xvfb openbox xdotool x11-utils imagemagick qt6ct weston xwayland qt6-wayland \
	at-spi2-core python3-pyatspi dbus orca speech-dispatcher locales \
	desktop-file-utils appstream lintian man-db debootstrap \
	clang libclang-rt-dev \
	qemu-system-x86 busybox-static

# The Windows program, cross-built here: mingw-w64, Debian's Qt source (dpkg-source, perl for its
# header script) built once into a cache outside the repository, NSIS and zip for the
# installer and the portable folder, and wine to run its tests.
WINDOWS_BUILD ?= build-windows
QT_CACHE ?= $(HOME)/.cache/vantrelo-relay
WINDOWS_PACKAGES := cmake ninja-build perl dpkg-dev xz-utils ca-certificates \
	qt6-base-dev qt6-base-dev-tools qt6-translations-l10n \
	g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
	nsis zip wine wine64 fonts-noto-cjk

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: run test test-linux test-release package windows sanitize program-tree deps run-deps \
	package-deps linux-test-deps test-deps windows-deps

# The other supported Debian release, whose root every make test on Debian 12 runs the Linux
# tests in; kept beside the Windows Qt.
HOST_RELEASE := $(shell . /etc/os-release 2>/dev/null && echo $$VERSION_CODENAME)
OTHER_RELEASE ?= $(if $(filter bookworm,$(HOST_RELEASE)),trixie)

run: run-deps program-tree
	cmake --build $(BUILD) --target vantrelo-relay
	$(BUILD)/vantrelo-relay

# The Windows build comes first: the Linux tests install its installer under wine.
test: test-deps sanitize windows
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) $(TEST_CMAKE_FLAGS) \
		-DVANTRELO_WINDOWS_BUILD=$(abspath $(WINDOWS_BUILD))
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure
	$(SANITIZE_CTEST)
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure
	$(MAKE) test-release

# The Linux tests alone (all but the Windows program's), as the other release's root runs them.
test-linux: linux-test-deps sanitize
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) $(TEST_CMAKE_FLAGS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure
	$(SANITIZE_CTEST)

# The Windows program is built and tested on this release only: its Qt is built from the
# host's own Qt source, half an hour each time, and the program it makes is the same.
test-release:
ifneq ($(OTHER_RELEASE),)
	$(SUDO) tests/release/run_in_root.sh $(OTHER_RELEASE) $(QT_CACHE) make test-linux
else
	@echo "No other release's root to test in from $(HOST_RELEASE)."
endif

windows: windows-deps
	app/windows/make-windows.sh $(WINDOWS_BUILD) $(QT_CACHE)

package: package-deps program-tree
	@# Configured again, so that Debian's build flags are found once dpkg-dev is there.
	cmake $(BUILD)
	cmake --build $(BUILD)
	cd $(BUILD) && cpack -B $(CURDIR)/$(BUILD)/package
	@ls $(BUILD)/package/*.deb

sanitize: linux-test-deps
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DVANTRELO_DEBIAN_BUILD_FLAGS=OFF $(TEST_CMAKE_FLAGS) \
		"-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS) -fsanitize=fuzzer-no-link"
	cmake --build $(SANITIZE_BUILD)

# A tree of its own is configured without the tests; one that make test set up keeps them.
program-tree:
	[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DBUILD_TESTING=OFF

deps: test-deps

run-deps:
	@$(call install_missing,$(RUN_PACKAGES))

package-deps:
	@$(call install_missing,$(RUN_PACKAGES) $(PACKAGE_PACKAGES))

# The tests build and check the package too, and the Windows program.
linux-test-deps:
	@$(call install_missing,$(RUN_PACKAGES) $(PACKAGE_PACKAGES) $(TEST_PACKAGES))

test-deps:
	@$(call install_missing,$(RUN_PACKAGES) $(PACKAGE_PACKAGES) $(TEST_PACKAGES) $(WINDOWS_PACKAGES))

windows-deps:
	@$(call install_missing,$(WINDOWS_PACKAGES))

# install_missing PACKAGES: apt-get installs those not installed yet, without recommendations.
define install_missing
	missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
endef
