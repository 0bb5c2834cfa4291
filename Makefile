# Front door of the project: `make` builds, `make run` starts the installer, `make test` runs
# every test (also under AddressSanitizer and UndefinedBehaviorSanitizer, and a minute of
# fuzzing), `make stress` the long runs that try to lose or corrupt the list. Each target first
# installs the Debian packages it needs.

BUILD      := build
SAN_BUILD  := build-sanitize
FUZZ_BUILD := build-fuzz
CMAKE_ARGS ?=
JOBS       := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build fuzz-build run test stress figures format clean

all: build

deps:
	@./tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# The pictures are found relative to the working folder, so the program starts from here.
run: build
	./$(BUILD)/quillora-installer

# The fuzz target needs clang and its own build; the installer keeps its compiler.
fuzz-build: deps
	cmake -S tests/fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

test: build fuzz-build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE stress
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -LE long
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUILLORA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory figures

# Far longer runs of the crash, concurrency and fuzz tests; a quarter of an hour or more.
stress: build fuzz-build
	ctest --test-dir $(BUILD) --output-on-failure -L stress
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L long
	@$(MAKE) --no-print-directory figures

# The figures that the last runs printed: faults injected, kills, runs at once, fuzzing, bad input,
# and the playbook's runs (or why they were skipped).
figures:
	@echo "Figures of the last runs:"
	@grep -h -E '^(fault injection|random kills|concurrency|fuzzing|bad input|playbook):' \
	  $(BUILD)/Testing/Temporary/LastTest*.log $(FUZZ_BUILD)/Testing/Temporary/LastTest*.log \
	  2>/dev/null || true

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
