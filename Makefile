# Entry points for people and CI. Every target installs what is missing first.
.PHONY: all deps build build-asan test test-asan demo bench fuzz deb test-packages clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan

test: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

demo: build
	scripts/demo

bench: build
	bench/run

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

# The Debian packages melodyseeker and melodyseeker-server, in build/package.
deb: deps
	cmake --preset package
	cmake --build --preset package
	cd build/package && cpack -G DEB

# Builds, checks, installs, demonstrates and removes the packages (needs root or sudo).
test-packages: deps
	packaging/test-packages

clean:
	rm -rf build
