# Two commands do everything on a fresh machine:
#   make demo   build the program and run it on the sample tree
#   make test   install what the tests need, build and run every test
BUILD ?= build
JOBS ?= 2
# CI sets WERROR=ON so that a new warning fails the build; a user's build
# with another compiler keeps going.
WERROR ?= OFF

.PHONY: all build build-tests demo test test-asan test-tsan deps clean fuzz install bench

all: build

# The program alone: no test target is configured or built, so neither
# GoogleTest nor the rest of what the tests need has to be present.
build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tambrix

# Everything, tests included, in the same tree as the program.
build-tests:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTMB_TESTS=ON -DTMB_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

deps:
	sh scripts/install-deps.sh

demo: build
	sh scripts/demo.sh $(BUILD)/tambrix

test: deps build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DTMB_SANITIZE=ON -DTMB_TESTS=ON -DTMB_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

# The parallel code under ThreadSanitizer: the pool, the encoders on two
# threads at once, a worker's progress read by the drawing thread, and a,
# x, e and t of a tree on several threads (the program itself is built
# with the sanitizer too).
TSAN_TESTS = Parallel|Threads|WorkerProgress|ApiThreads
TSAN_TARGETS = tambrix tmb_faults tmb_rss_probe test_parallel test_encode test_crc_progress test_api_threads
test-tsan: deps
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTMB_TSAN=ON -DTMB_TESTS=ON -DTMB_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD)-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	cd $(BUILD)-tsan && TSAN_OPTIONS=halt_on_error=1:exitcode=66 ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)' -E 'Signal'

# The program and its manual page, below DESTDIR (for packaging) and PREFIX,
# and the library: libtambrix.a, libtambrix.so, tambrix.h, tambrix.pc and
# the CMake package (find_package(tambrix)).
PREFIX ?= /usr/local
DESTDIR ?=
install: build
	cmake --build $(BUILD) -j $(JOBS) --target tambrix_shared tambrix_static
	install -d $(DESTDIR)$(PREFIX)/bin $(DESTDIR)$(PREFIX)/share/man/man1
	install -m 755 $(BUILD)/tambrix $(DESTDIR)$(PREFIX)/bin/tambrix
	install -m 644 tambrix.1 $(DESTDIR)$(PREFIX)/share/man/man1/tambrix.1
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --component lib

# Every fuzz target in turn for FUZZ_SECONDS each (clang and libFuzzer).
FUZZ_SECONDS ?= 60
fuzz:
	sh scripts/install-deps.sh fuzz
	$(MAKE) -C fuzz run FUZZ_SECONDS=$(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan build-fuzz build-bench

# Every benchmark against the peer tools on the corpus (not a test).
bench:
	bash bench/run.sh
