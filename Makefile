# The two everyday commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: setup configure build run test bench clean

setup:
	@bash scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@$(BUILD)/src/app/trimwell

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Release build of the export and the benchmarks, then the side-by-side comparison.
bench: setup
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIMWELL_TESTS=OFF >/dev/null
	@cmake --build build-bench -j$(JOBS) --target trimwell-cut trimwell-bench-open trimwell-bench-seek
	@python3 bench/run.py build-bench $(BENCH_FLAGS)

clean:
	rm -rf $(BUILD)

# A Debian package of a Release build without the tests, in $(PACKAGE_BUILD)/trimwell_*.deb.
PACKAGE_BUILD ?= build-package
.PHONY: package
package:
	@bash scripts/setup dpkg-dev
	@cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIMWELL_TESTS=OFF >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB
