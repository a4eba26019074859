# Set-up, build, run and test on a fresh Debian machine.
#   make run   installs what the agent needs, builds it, and runs it in the
#              foreground with the example configuration and --debug
#   make test  installs what the tests need, builds the agent twice (plain, and
#              with AddressSanitizer and UndefinedBehaviorSanitizer) and the fuzz
#              targets with clang's libFuzzer, runs every test, replays every
#              fuzz corpus, and runs the black-box suites once more from a fresh
#              clone of the committed tree (make test-clone)
#   make test-clone  the black-box suites from a clone under /tmp, in a directory
#              whose name holds a blank

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

RUN_DEPS  := build-essential cmake ninja-build pkg-config libssl-dev libudns-dev
TEST_DEPS := $(RUN_DEPS) git googletest libgtest-dev libgmock-dev libbenchmark-dev libbson-dev \
             dnsmasq-base iproute2 procps util-linux coreutils bsdutils python3 python3-psutil python3-bson \
             clang libclang-rt-14-dev \
             memcached redis-server redis-tools beanstalkd \
             mariadb-server mariadb-client libmariadb3 libmariadb-dev-compat python3-pymysql \
             postgresql-15 postgresql-client-15 libpq5 libpq-dev python3-psycopg2 sphinxsearch \
             apache2 apache2-utils nginx php8.2-fpm libfcgi-bin \
             fuse3 python3-fusepy faketime

# Installs the packages of $(1) that are missing; apt-get update runs only when needed.
define apt_install
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing </dev/null; \
	fi
endef

.PHONY: all run test test-clone deps-run deps-test build build-asan build-fuzz clean

all: build

deps-run:
	$(call apt_install,$(RUN_DEPS))

deps-test:
	$(call apt_install,$(TEST_DEPS))

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_BENCHMARKS=ON
	cmake --build $(BUILD) -j $(JOBS)

build-asan:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The fuzz targets under clang's libFuzzer; `make test` only replays their corpora.
build-fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The agent reads only configuration files that root alone can write, so it runs on
# root-owned copies of the examples, not on the files of the checkout.
RUN_CONF := /run/vesk-example

run: deps-run
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target vesk
	$(SUDO) rm -rf $(RUN_CONF)
	$(SUDO) install -d -m 0755 -o root -g root $(RUN_CONF) $(RUN_CONF)/vesk.d
	$(SUDO) install -m 0644 -o root -g root examples/vesk.conf $(RUN_CONF)/vesk.conf
	$(SUDO) find examples/vesk.d -maxdepth 1 -name '*.conf' -exec install -m 0644 -o root -g root -t $(RUN_CONF)/vesk.d {} +
	$(SUDO) $(abspath $(BUILD))/vesk --config $(RUN_CONF)/vesk.conf --conf-glob '$(RUN_CONF)/vesk.d/*.conf' --debug

test: deps-test build build-asan build-fuzz
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-clone

# Only committed files reach the clone; the suites must pass wherever the project lives.
test-clone: deps-test
	@dir=$$(mktemp -d "/tmp/vesk clone.XXXXXX") && trap 'rm -rf "$$dir"' EXIT && chmod 755 "$$dir" && \
	git -c safe.directory='*' clone -q "$$PWD" "$$dir/src" && \
	git -C "$$dir/src" checkout -q --detach "$$(git -c safe.directory='*' rev-parse HEAD)" && \
	cmake -S "$$dir/src" -B "$$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && \
	cmake --build "$$dir/build" -j $(JOBS) && \
	cd "$$dir/build" && ctest --output-on-failure -j $(JOBS) -L integration

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
