# Entry points for people and CI. Every target installs what is missing first.
.PHONY: all deps build build-asan test test-asan demo bench fuzz clean

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

clean:
	rm -rf build
