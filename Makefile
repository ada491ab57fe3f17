# Front door. Each target first installs the Debian packages it lacks (as root), or names
# the apt-get line to run and stops.

HOST_PACKAGES := cmake g++ make libgtest-dev bubblewrap

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

.PHONY: demo check host-deps host

demo: host
	./build/host/simboard

check: host
	ctest --preset host

host: host-deps
	cmake --preset host
	cmake --build --preset host --parallel

host-deps:
	$(call need,$(HOST_PACKAGES))
