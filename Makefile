# Thin wrapper over scripts/ and CMake. `make run` and `make test` do all set-up on a fresh Debian machine.
BUILD ?= build

.PHONY: all deps build run test bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

run: build
	./scripts/run.sh $(BUILD)

test: build
	./scripts/test.sh $(BUILD)

bench: build
	./bench/run $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan
