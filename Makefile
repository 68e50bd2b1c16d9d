# The two commands of the README: `make` builds the programs into dist/, `make test` runs every test.
.PHONY: all deps build test bench soak fuzz clean

all: build

deps:
	@bash tools/install-deps.sh

build: deps
	cmake --preset cross
	cmake --build --preset cross
	mkdir -p dist
	cp build/cross/lumbrook/lumbrook.exe build/cross/tessvane/tessvane.exe dist/

test: build
	ctest --preset cross

# Measurements and long runs, under Wine against the simulated platform.
bench: build
	python3 tests/perf/bench.py

soak: build
	python3 tests/perf/soak.py

fuzz: build
	python3 tests/perf/fuzz.py

clean:
	rm -rf build dist
