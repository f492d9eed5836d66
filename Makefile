# The two everyday commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: setup configure build run test bench clean format format-check sanitize tsan fuzz \
	fuzz-smoke

setup:
	@bash scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) \
		--log-level=WARNING

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@$(BUILD)/src/app/trimwell

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Release build of the export and the benchmarks, then the side-by-side comparison.
bench: setup
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIMWELL_TESTS=OFF \
		--log-level=WARNING
	@cmake --build build-bench -j$(JOBS) --target trimwell-cut trimwell-bench-open trimwell-bench-seek \
		trimwell-bench-step trimwell-bench-timeline trimwell-bench-timeline-step
	@python3 bench/run.py build-bench $(BENCH_FLAGS)

# Every build folder this Makefile makes.
clean:
	rm -rf $(BUILD) build build-bench build-asan build-tsan build-fuzz $(PACKAGE_BUILD)

# The house style (.clang-format) over every C++ file of ours; format-check changes nothing
# and fails on the first file that differs.
FORMATTED = git ls-files -- '*.cpp' '*.h'
format: setup
	@$(FORMATTED) | xargs clang-format -i

format-check: setup
	@$(FORMATTED) | xargs clang-format --dry-run --Werror

# The sanitizer runs, each in its own build folder. Reports from inside the uninstrumented
# system libraries are suppressed by the files in tests/sanitizers (each entry says why);
# undefined behaviour ends the test that meets it.
SUPP := $(CURDIR)/tests/sanitizers
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=1 \
	LSAN_OPTIONS=suppressions=$(SUPP)/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(SUPP)/ubsan.supp
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(SUPP)/tsan.supp
# The writer, dispatch (media_test holds the dispatch tests), model and reliability programs.
TSAN_TESTS := clipwriter_test writer_units_test media_test model_test reliability_test

# The whole suite with AddressSanitizer (and LeakSanitizer) and UndefinedBehaviorSanitizer.
sanitize: setup
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRIMWELL_SANITIZE=ON \
		$(CMAKE_FLAGS) --log-level=WARNING
	@cmake --build build-asan -j$(JOBS)
	@cd build-asan && $(SANITIZE_ENV) ctest --output-on-failure -j$(JOBS) --timeout 900

# The threaded parts under ThreadSanitizer.
tsan: setup
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRIMWELL_TSAN=ON \
		$(CMAKE_FLAGS) --log-level=WARNING
	@cmake --build build-tsan -j$(JOBS) --target $(TSAN_TESTS)
	@cd build-tsan && $(TSAN_ENV) ctest --output-on-failure -j$(JOBS) --timeout 900 -E '_NOT_BUILT$$'

# libFuzzer over inspecting and cutting any bytes (clang), seeded with tiny movies the build
# makes. fuzz-smoke runs for a minute; `make fuzz FUZZ_SECONDS=600` for longer. What it
# finds is written to build-fuzz/findings; the corpus it grows stays in build-fuzz/corpus.
FUZZ_SECONDS ?= 600
FUZZ_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(SUPP)/ubsan.supp \
	LSAN_OPTIONS=suppressions=$(SUPP)/lsan.supp:print_suppressions=0
fuzz: setup
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRIMWELL_FUZZ=ON \
		--log-level=WARNING
	@cmake --build build-fuzz -j$(JOBS) --target trimwell_fuzz_cut
	@mkdir -p build-fuzz/corpus build-fuzz/findings
	@cd build-fuzz && $(FUZZ_ENV) tests/fuzz/trimwell_fuzz_cut corpus tests/fuzz/seeds \
		-artifact_prefix=findings/ -max_total_time=$(FUZZ_SECONDS) -timeout=60 -rss_limit_mb=4096 \
		-max_len=65536 -print_final_stats=1

fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60

# A Debian package of a Release build without the tests, in $(PACKAGE_BUILD)/trimwell_*.deb.
PACKAGE_BUILD ?= build-package
.PHONY: package
package:
	@bash scripts/setup dpkg-dev
	@cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRIMWELL_TESTS=OFF \
		--log-level=WARNING
	@cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB
