# What a newcomer types. Each target installs what is missing first.
.PHONY: all deps host sanitizers fuzz-build windows windows64 build test run dist bench fuzz soak clean

all: build

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host
	cmake --build --preset host

# The unit tests again under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer.
sanitizers: deps
	cmake --preset host-asan
	cmake --build --preset host-asan
	cmake --preset host-tsan
	cmake --build --preset host-tsan

fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

windows: deps
	cmake --preset windows
	cmake --build --preset windows

windows64: deps
	cmake --preset windows64
	cmake --build --preset windows64

build: host sanitizers fuzz-build windows windows64

test: build
	scripts/check-format.sh
	python3 scripts/check-includes.py
	ctest --preset host
	ctest --preset host-asan
	ctest --preset host-tsan
	ctest --preset fuzz
	scripts/test-windows.sh

run: windows windows64
	scripts/run-example.sh

# Where only QEMU runs 32-bit programs, inside its namespace, so that the
# 32-bit rows are measured too (and marked as emulated).
bench: windows windows64
	python3 tests/e2e/wine_builds.py emulate python3 bench/bench.py

# FUZZ_SECONDS per target (default 60).
fuzz: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_SECONDS)

# SOAK_MINUTES (default 10).
soak: windows windows64
	python3 bench/soak.py $(SOAK_MINUTES)

dist: windows windows64
	python3 scripts/make-dist.py

clean:
	rm -rf build dist
