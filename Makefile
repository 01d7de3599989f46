# What a newcomer types. Each target installs what is missing first.
.PHONY: all deps host windows build test run dist clean

all: build

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host
	cmake --build --preset host

windows: deps
	cmake --preset windows
	cmake --build --preset windows

build: host windows

test: build
	ctest --preset host
	ctest --preset windows

run: windows
	scripts/run-example.sh

dist: windows
	python3 scripts/make-dist.py

clean:
	rm -rf build dist
