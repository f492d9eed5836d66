# The two everyday commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: setup configure build run test clean

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

clean:
	rm -rf $(BUILD)
