# Everyday commands. Each one installs missing Debian packages first.
#   make run     build and serve on port 60002 (PORT=... to change)
#   make test    build and run the whole test suite
#   make bench   optimised build, then the load benchmark
#   make clean   remove build output

BUILD    ?= build
PORT     ?= 60002
JOBS     ?= $(shell nproc)
SANITIZE ?=

.PHONY: deps build run test bench clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=$(SANITIZE)
	cmake --build $(BUILD) -j $(JOBS)

# The service loads ./libAuthSrv.so, so it runs in a directory holding the
# stand-in library.
run: build
	mkdir -p run
	cp $(BUILD)/libAuthSrv.so run/
	cd run && exec ../$(BUILD)/gmi-server $(PORT)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
	cmake --build build-release -j $(JOBS)
	bench/run.sh build-release

clean:
	rm -rf build build-* run
