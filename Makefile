# make demo: rewrite a bundled sample movie and show what changed.
# make test: build and run every test.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build test demo sanitize clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j2

demo: build
	@scripts/demo.sh $(BUILD)

# The tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DLUNVIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf $(BUILD) build-sanitize
