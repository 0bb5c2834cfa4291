# Front door of the project: `make` builds, `make run` starts the installer, `make test` runs
# every test (also under AddressSanitizer and UndefinedBehaviorSanitizer), `make stress` the long
# runs that try to lose or corrupt the list. Each target first
# installs the Debian packages it needs.

BUILD      := build
SAN_BUILD  := build-sanitize
CMAKE_ARGS ?=
JOBS       := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test stress figures format clean

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
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE stress
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUILLORA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory figures

# Far longer runs of the crash and concurrency tests; a quarter of an hour or more.
stress: build
	ctest --test-dir $(BUILD) --output-on-failure -L stress
	@$(MAKE) --no-print-directory figures

# The figures that the last runs printed: faults injected, kills, runs at once.
figures:
	@echo "Figures of the last runs:"
	@grep -h -E '^(fault injection|random kills|concurrency|fuzzing|bad input):' \
	  $(BUILD)/Testing/Temporary/LastTest*.log \
	  2>/dev/null || true

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
