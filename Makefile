# The two commands of the README: `make` builds the programs into dist/, `make test` runs every test.
.PHONY: all deps build build-clang test package repro bench soak fuzz clean

all: build

deps:
	@bash tools/install-deps.sh

build: deps
	cmake --preset cross
	cmake --build --preset cross
	mkdir -p dist
	cp build/cross/lumbrook/lumbrook.exe build/cross/tessvane/tessvane.exe dist/

# The same sources built with a second compiler, clang, whose build every suite runs against too.
build-clang: deps
	cmake --preset cross-clang
	cmake --build --preset cross-clang

# The real-engine suites alone, then the rest of both builds side by side; the output follows.
test: build build-clang
	@bash tools/test-both.sh

# A zip of the programs and the README, and the Node package's tarball, with SHA256SUMS beside
# them, in dist/.
package: build
	bash tools/package.sh build/cross dist

# Two more builds from copies of the tree at other paths must give the same bytes (also a test).
repro: build
	bash tools/repro.sh

# Measurements and long runs, under Wine against the simulated platform.
bench: build
	python3 tests/perf/bench.py

soak: build
	python3 tests/perf/soak.py

fuzz: build
	python3 tests/perf/fuzz.py

clean:
	rm -rf build dist
