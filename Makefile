# SPDX-License-Identifier: MIT
# Front door. Each target first installs the Debian packages it lacks (as root), or names
# the apt-get line to run and stops.

HOST_PACKAGES := cmake ninja-build g++ make libgtest-dev bubblewrap verilator locales
BOARD_PACKAGES := g++-arm-linux-gnueabihf
TEST_PACKAGES := qemu-user groff-base strace lintian cpio mount
LINT_PACKAGES := clang-format clang-tidy cppcheck
FPGA_PACKAGES := yosys tcl device-tree-compiler
BENCH_PACKAGES := busybox
EMU_PACKAGES := qemu-system-arm xz-utils debian-archive-keyring
RUNS ?= 3

# Reproducible packages: their timestamps are the last commit's, unless given.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

SOURCES := $(shell find src tools tests bench -name '*.cpp' -o -name '*.h' 2>/dev/null)

# $(call need,PACKAGES): as root, installs those missing (tools/apt-install.sh: the update
# retried, the install going on past an index that failed, one line if it cannot); as
# another user, names the apt-get line to run and stops. Nothing else here needs root.
define need
@missing=$$(for p in $(1); do \
	  dpkg-query -W -f='$${db:Status-Status}\n' $$p 2>/dev/null | grep -qx installed || echo $$p; \
	done | xargs); \
if [ -n "$$missing" ]; then \
	if [ "$$(id -u)" = 0 ]; then \
		echo "Installing $$missing"; \
		sh tools/apt-install.sh $$missing || exit 1; \
	else \
		echo "Missing Debian packages. As root, run:"; \
		echo "  apt-get install -y $$missing"; \
		exit 1; \
	fi; \
fi
endef

.PHONY: demo demo-board emuboard-kernel check check-debian13 lint bench package host board \
	builds host-deps board-deps check-deps lint-deps bench-deps emu-deps package-deps \
	formal-deep

# The tool on the simulated board: only what that needs is built.
demo: host-deps
	cmake --preset host --log-level=WARNING
	cmake --build --preset host --target simboard
	./build/host/simboard

# The board's binary on Debian's ARMv7 kernel under qemu-system-arm, the register played by
# the FPGA design under Verilator, from a discharging battery. DIRECT=1: the register written
# directly, with no design behind it.
demo-board: board emuboard-kernel
	cmake --preset host --log-level=WARNING
	cmake --build --preset host --target emuboard-cli
ifeq ($(DIRECT),)
	@echo "The whole chain: battery -> front end -> converter -> battery_adc (Verilator) ->" \
		"word 0 at 0xFF241000 -> /dev/mem on Debian's ARMv7 kernel -> battery-voltage"
	@./build/host/emuboard --rtl
else
	@./build/host/emuboard
endif

# The kernel and BusyBox that the emulated board boots, fetched once into the user's cache
# (`sh tools/emuboard/fetch.sh --where` says where) by an apt of the fetch's own: as any
# user, and with nothing of this machine's package system touched. DEBIAN_MIRROR names
# another archive.
emuboard-kernel: emu-deps
	sh tools/emuboard/fetch.sh

# Lint, then the one suite: every case on this machine's build, the sanitized build and
# the board's binary under qemu-arm, and the emulated board's cases.
# A case mostly waits on the tool's sleeps; the CPU works only while a sandbox, the
# sanitizer or an emulator starts, or the emulated board boots. So the suite runs four
# times as many cases at once as the machine has cores. Every bound is timed from the
# tool's own start, so the load this makes stays outside them.
JOBS ?= $(shell echo $$(( 4 * $$(nproc) )))
# In CI (CI=true) a case that did not run, skipped or disabled, fails the run: a green run
# means every case ran. ctest's JUnit report names them.
check: check-deps lint emuboard-kernel
	ctest --preset host -j $(JOBS) --output-junit $(CURDIR)/build/host/ctest-junit.xml
	@if [ "$${CI:-}" = true ]; then \
		not_run=$$(sed -n 's/.*<testcase name="\([^"]*\)".* status="\(notrun\|disabled\)".*/\1/p' \
			build/host/ctest-junit.xml | xargs); \
		if [ -n "$$not_run" ]; then echo "check: in CI every case must run; these did not: $$not_run"; exit 1; fi; \
	fi

CPPCHECK_LEVEL = $(shell cppcheck --help 2>/dev/null | grep -q -- --check-level && \
	echo --check-level=exhaustive)

# The FPGA block's formal proof at the settings make check leaves out: the defaults (6 us of
# acquisition) and the battery-only mode at 50 MHz, and the defaults at 100 MHz (no
# falling edge) and 200 MHz (SDO on a falling edge), each proven for all time with its
# covers reached; make check's 73 MHz (the hold after the read-out binding) with no wait,
# its covers reached; and the wait for the converter's reference: WAKE_MS = 1 at make
# check's 50 MHz, its covers reached past the wait, and the defaults' 400 ms, proven with
# no witness, which could not walk 0.4 s (docs/fpga-interface.md, "The formal proof"). A
# few minutes.
FORMAL_RUN = sh fpga/formal/prove.sh -b 600
formal-deep:
	$(call need,$(FPGA_PACKAGES))
	$(FORMAL_RUN) fpga/battery_adc.v build/formal/defaults
	$(FORMAL_RUN) -p "BATTERY_ONLY=1" fpga/battery_adc.v build/formal/only
	$(FORMAL_RUN) -p "CLOCK_HZ=100000000 BATTERY_CHANNEL=6" fpga/battery_adc.v build/formal/100mhz
	$(FORMAL_RUN) -p "CLOCK_HZ=200000000 BATTERY_CHANNEL=7" fpga/battery_adc.v build/formal/200mhz
	$(FORMAL_RUN) -p "CLOCK_HZ=73000000 ACQUISITION_NS=240 BATTERY_CHANNEL=2" fpga/battery_adc.v \
		build/formal/73mhz
	$(FORMAL_RUN) -c 200000 -p "ACQUISITION_NS=240 BATTERY_CHANNEL=5 WAKE_MS=1" fpga/battery_adc.v \
		build/formal/wake1
	$(FORMAL_RUN) -c 0 -p "WAKE_MS=400" fpga/battery_adc.v build/formal/wake400

# make check again, in a clean Debian 13 root made with mmdebstrap (as root).
check-debian13:
	bash tools/debian13/check.sh

lint: lint-deps builds
	clang-format --dry-run --Werror $(SOURCES)
	sh tools/tidy.sh build/host $(filter %.cpp,$(SOURCES))
	@# mmap reports a failure as MAP_FAILED, which the tool checks, never as NULL; newer
	@# cppcheck takes it for an allocator that may return NULL. Where cppcheck can analyse
	@# every branch (2.11 and later), it does.
	cppcheck -q --std=c++17 --enable=warning,style,performance,portability --error-exitcode=1 \
		$(CPPCHECK_LEVEL) --suppress=nullPointerArithmeticOutOfMemory:src/battery_voltage.cpp \
		--library=posix --library=googletest --suppress=missingIncludeSystem \
		--suppress=useStlAlgorithm -I tools/common -I tools/simboard -I tools/emuboard -I tools/rtl -I build/host \
		-I build/host/tests $(filter %.cpp,$(SOURCES))
	sh tests/fpga_lint_test.sh fpga

# The tables of bench/README.md: the tool on the simulated board and inside the emulated
# board against the same peer, how fast the FPGA design's co-simulation runs, how fast
# the emulated board passes 20 MB of output on, and how soon battery-adc-status answers.
bench: bench-deps builds emuboard-kernel
	arm-linux-gnueabihf-strip -o build/armhf/battery-voltage.stripped build/armhf/battery-voltage
	./build/host/bench --runs $(RUNS) build/host/battery-voltage build/armhf/battery-voltage.stripped
	./build/host/bench --runs $(RUNS) --emuboard
	./build/host/bench --rtl
	./build/host/bench --runs $(RUNS) --relay
	./build/host/bench --runs $(RUNS) --status build/host/battery-adc-status \
		build/armhf/battery-adc-status

# The Maintainer: DEBFULLNAME and DEBEMAIL, else the git identity; with neither, it stops
# and says what to set.
package: package-deps
	@maintainer=$$(sh packaging/maintainer.sh) && \
		echo "Maintainer: $$maintainer" && \
		cmake --preset armhf -DPACKAGE_MAINTAINER:STRING="$$maintainer" >/dev/null
	cmake --build --preset armhf --parallel
	cpack --preset armhf

# Everything: the board's build first, since the host build takes its binaries into guest/
# for the emulated board and for qemu-arm.
builds: board host

host: host-deps
	cmake --preset host --log-level=WARNING
	cmake --build --preset host

board: board-deps
	cmake --preset armhf --log-level=WARNING
	cmake --build --preset armhf

# Each target names everything it needs at once, before it builds anything.
host-deps:
	$(call need,$(HOST_PACKAGES))
board-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES))
check-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES) $(TEST_PACKAGES) $(LINT_PACKAGES) $(FPGA_PACKAGES) $(EMU_PACKAGES))
lint-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES) $(TEST_PACKAGES) $(LINT_PACKAGES) $(FPGA_PACKAGES))
bench-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES) $(TEST_PACKAGES) $(BENCH_PACKAGES) $(EMU_PACKAGES))
emu-deps:
	$(call need,$(EMU_PACKAGES))
package-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES))
