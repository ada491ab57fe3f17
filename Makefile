# SPDX-License-Identifier: MIT
# Front door. Each target first installs the Debian packages it lacks (as root), or names
# the apt-get line to run and stops.

HOST_PACKAGES := cmake g++ make libgtest-dev bubblewrap groff-base strace
BOARD_PACKAGES := g++-arm-linux-gnueabihf qemu-user googletest lintian
LINT_PACKAGES := clang-format clang-tidy cppcheck
BENCH_PACKAGES := busybox
EMU_PACKAGES := qemu-system-arm
RUNS ?= 3

# Reproducible packages: their timestamps are the last commit's, unless given.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

SOURCES := $(shell find src tools tests bench -name '*.cpp' -o -name '*.h' 2>/dev/null)

# $(call need,PACKAGES)
define need
@missing=$$(for p in $(1); do \
	  dpkg-query -W -f='$${db:Status-Status}\n' $$p 2>/dev/null | grep -qx installed || echo $$p; \
	done | xargs); \
if [ -n "$$missing" ]; then \
	if [ "$$(id -u)" = 0 ]; then \
		echo "Installing $$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
			apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	else \
		echo "Missing Debian packages. As root, run:"; \
		echo "  apt-get install -y $$missing"; \
		exit 1; \
	fi; \
fi
endef

.PHONY: demo demo-board emuboard-kernel check check-debian13 suite-host suite-host-asan suite-armhf lint bench package host host-asan board host-deps board-deps check-deps \
	lint-deps bench-deps emu-deps package-deps

demo: host
	./build/host/simboard

# The board's binary on Debian's ARMv7 kernel under qemu-system-arm, the battery
# discharging. emuboard is built for the board too, so it runs under qemu-arm.
demo-board: board emuboard-kernel
	qemu-arm build/armhf/emuboard

# The kernel and BusyBox that the emulated board boots, fetched once into ~/.cache.
emuboard-kernel: emu-deps
	sh tools/emuboard/fetch.sh

# Lint, then the same suite on every build: this machine's, the sanitized one, and the
# board's under emulation.
# A case mostly waits on the tool's sleeps; the CPU works only while a sandbox, the
# sanitizer or an emulator starts, or the emulated board boots. So the three suites run side
# by side, each running twice as many cases at once as the machine has cores. Every bound
# is timed from the tool's own start, so the load this makes stays outside them.
JOBS ?= $(shell echo $$(( 2 * $$(nproc) )))
check: check-deps lint host-asan board emuboard-kernel
	$(MAKE) --no-print-directory -j3 --output-sync=target suite-host suite-host-asan suite-armhf

# make check again, in a clean Debian 13 root made with mmdebstrap (as root).
check-debian13:
	bash tools/debian13/check.sh

suite-host suite-host-asan suite-armhf:
	ctest --preset $(@:suite-%=%) -j $(JOBS)

lint: lint-deps host
	clang-format --dry-run --Werror $(SOURCES)
	printf '%s\n' $(filter %.cpp,$(SOURCES)) | xargs -P 2 -n 1 clang-tidy -p build/host --quiet
	cppcheck -q --std=c++17 --enable=warning,style,performance,portability --error-exitcode=1 \
		--library=posix --library=googletest --suppress=missingIncludeSystem \
		--suppress=useStlAlgorithm -I tools/simboard -I build/host/tests $(filter %.cpp,$(SOURCES))

# The timing table of bench/README.md; the board's binary is sized when it has been built.
bench: bench-deps host
	@board=; if [ -x build/armhf/battery-voltage ]; then \
		arm-linux-gnueabihf-strip -o build/armhf/battery-voltage.stripped \
			build/armhf/battery-voltage && board=build/armhf/battery-voltage.stripped; \
	fi; \
	./build/host/bench --runs $(RUNS) build/host/battery-voltage $$board

# The Maintainer: DEBFULLNAME and DEBEMAIL, else the git identity; with neither, it stops
# and says what to set.
package: package-deps
	@maintainer=$$(sh packaging/maintainer.sh) && \
		echo "Maintainer: $$maintainer" && \
		cmake --preset armhf -DPACKAGE_MAINTAINER:STRING="$$maintainer" >/dev/null
	cmake --build --preset armhf --parallel
	cpack --preset armhf

host: host-deps
	cmake --preset host
	cmake --build --preset host --parallel

host-asan: host-deps
	cmake --preset host-asan
	cmake --build --preset host-asan --parallel

board: board-deps
	cmake --preset armhf
	cmake --build --preset armhf --parallel

# Each target names everything it needs at once, before it builds anything.
host-deps:
	$(call need,$(HOST_PACKAGES))
board-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES))
check-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES) $(LINT_PACKAGES) $(EMU_PACKAGES))
lint-deps:
	$(call need,$(HOST_PACKAGES) $(LINT_PACKAGES))
bench-deps:
	$(call need,$(HOST_PACKAGES) $(BENCH_PACKAGES))
emu-deps:
	$(call need,$(EMU_PACKAGES))
package-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES))
