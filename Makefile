# Two commands do everything on a fresh machine:
#   make demo   build the program and run it on the sample tree
#   make test   install what the tests need, build and run every test
BUILD ?= build
JOBS ?= 2

.PHONY: all build demo test test-asan deps clean bench

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

deps:
	sh scripts/install-deps.sh

demo: build
	sh scripts/demo.sh $(BUILD)/tambrix

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DTMB_SANITIZE=ON >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-asan

# Every benchmark against the peer tools on the corpus (not a test).
bench:
	bash bench/run.sh
