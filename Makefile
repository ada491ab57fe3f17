# Front door. Each target first installs the Debian packages it lacks (as root), or names
# the apt-get line to run and stops.

HOST_PACKAGES := cmake g++ make libgtest-dev bubblewrap groff-base strace
BOARD_PACKAGES := g++-arm-linux-gnueabihf qemu-user googletest
LINT_PACKAGES := clang-format clang-tidy cppcheck
BENCH_PACKAGES := busybox
RUNS ?= 3

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

.PHONY: demo check suite-host suite-host-asan suite-armhf lint bench package host host-asan board host-deps board-deps check-deps \
	lint-deps bench-deps package-deps

demo: host
	./build/host/simboard

# Lint, then the same suite on every build: this machine's, the sanitized one, and the
# board's under emulation.
# A case mostly waits on the tool's sleeps; the CPU works only while a sandbox, the
# sanitizer or the emulator starts. So the three suites run side by side, each running as
# many cases at once as the machine has cores.
JOBS ?= $(shell nproc)
check: check-deps lint host-asan board
	$(MAKE) --no-print-directory -j3 --output-sync=target suite-host suite-host-asan suite-armhf

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

package: package-deps board
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
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES) $(LINT_PACKAGES))
lint-deps:
	$(call need,$(HOST_PACKAGES) $(LINT_PACKAGES))
bench-deps:
	$(call need,$(HOST_PACKAGES) $(BENCH_PACKAGES))
package-deps:
	$(call need,$(HOST_PACKAGES) $(BOARD_PACKAGES))
