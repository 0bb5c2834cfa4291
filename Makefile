# Front door of the project: `make` builds, `make run` starts the installer, `make test` runs
# every test (also under AddressSanitizer and UndefinedBehaviorSanitizer). Each target first
# installs the Debian packages it needs.

BUILD      := build
SAN_BUILD  := build-sanitize
CMAKE_ARGS ?=
JOBS       := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test format clean

all: build

deps:
	@./tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# The pictures are found relative to the working folder, so the program starts from here.
run: build
	./$(BUILD)/quillora-installer

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUILLORA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
