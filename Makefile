# The two commands of the README: `make test` and `make run`.
# `make bench` builds and runs the benchmark program.

JOBS ?= $(shell nproc)
TEST_DIR := build/test
BENCH_DIR := build/bench
RUN_DIR := build/run
DEVICE_DIR := build/device

# Debian packages the build needs.
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsdl2-dev \
            zlib1g-dev libminizip-dev libpng-dev libfreetype-dev fonts-dejavu-core fonts-nanum

.PHONY: test check bench run deps clean

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	fi

test: deps
	@cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQRX_SANITIZE=ON -DQRX_TESTS=ON >/dev/null
	@cmake --build $(TEST_DIR) -j $(JOBS)
	@$(MAKE) --no-print-directory check

# Runs the suite `make test` built, without building (tests/load.sh runs it on a loaded machine).
check:
	@cd $(TEST_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 300

bench: deps
	@cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRX_SANITIZE=OFF -DQRX_TESTS=OFF -DQRX_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) --target qrx-bench
	@$(BENCH_DIR)/bench/qrx-bench

# Optimised, without tests; the device root keeps its "NAND Flash" data. The runner takes the place of
# the shell (exec), so Ctrl-C and SIGTERM reach it and it leaves nothing running behind.
run: deps
	@cmake -S . -B $(RUN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRX_SANITIZE=OFF -DQRX_TESTS=OFF -DQRX_WERROR=OFF >/dev/null
	@cmake --build $(RUN_DIR) -j $(JOBS)
	@$(RUN_DIR)/tools/qrx-mkroot --root $(DEVICE_DIR) --build $(RUN_DIR)
	@exec $(RUN_DIR)/tools/run/qrx-run --root $(DEVICE_DIR) --build $(RUN_DIR) --mcu --bt --host --stay-on

clean:
	rm -rf build
