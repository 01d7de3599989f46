# What a newcomer types. Each target installs what is missing first.
.PHONY: all deps host windows windows64 build test run dist bench clean

all: build

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host
	cmake --build --preset host

windows: deps
	cmake --preset windows
	cmake --build --preset windows

windows64: deps
	cmake --preset windows64
	cmake --build --preset windows64

build: host windows windows64

test: build
	ctest --preset host
	ctest --preset windows
	ctest --preset windows64

run: windows
	scripts/run-example.sh

bench: windows windows64
	python3 bench/bench.py

dist: windows
	python3 scripts/make-dist.py

clean:
	rm -rf build dist
