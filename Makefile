# Front door of the project: `make` builds, `make run` starts the installer, `make test` runs
# every test (also under AddressSanitizer and UndefinedBehaviorSanitizer, a minute of fuzzing,
# and the .deb installed and used), `make stress` the long runs that try to lose or corrupt the
# list, `make package` the .deb, `make bench` the benchmarks. Each target first installs the
# Debian packages it needs.

BUILD      := build
SAN_BUILD  := build-sanitize
FUZZ_BUILD := build-fuzz
PKG_BUILD  := build-package
BENCH_BUILD := build-bench
CMAKE_ARGS ?=
JOBS       := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build fuzz-build run test stress package package-test bench figures format clean

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
	@$(MAKE) --no-print-directory package-test
	@$(MAKE) --no-print-directory figures

# Far longer runs of the crash, concurrency and fuzz tests; a quarter of an hour or more.
stress: build fuzz-build
	ctest --test-dir $(BUILD) --output-on-failure -L stress
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L long
	@$(MAKE) --no-print-directory figures

# The .deb, built as Debian builds its own packages: installed under /usr, with Debian's hardening
# flags, stripped, its library dependencies found by dpkg-shlibdeps.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package: deps
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
	  -DBUILD_TESTING=OFF \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" $(CMAKE_ARGS)
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack

# Lints the .deb, installs it, and uses what it installed, the window on a desktop of its own.
package-test: package
	cd $(PKG_BUILD) && ../tests/with-desktop python3 ../tests/package/package_test.py \
	  quillora-installer_*.deb ..

# The installer timed against baselines and peers in the same run: the editor against a safe copy,
# xmlstarlet and a Python lxml script, one read against expat's bare parse, peak memory, the
# window against a minimal GTK window, and the click until the notice. Prints the table and
# writes it as Markdown to $(BENCH_BUILD)/bench.md; a few minutes. docs/benchmarks.md says more.
bench:
	@./tools/install-deps tools/packages.txt bench/packages.txt
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DQUILLORA_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	tests/with-desktop python3 bench/run_bench.py $(BENCH_BUILD) $(BENCH_BUILD)/bench.md $(BENCH_ARGS)

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
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(PKG_BUILD) $(BENCH_BUILD)
