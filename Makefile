# Front door of the project. The two commands: `make run` builds the installer and starts it,
# `make test` builds it with its tests and runs every one (also under AddressSanitizer and
# UndefinedBehaviorSanitizer, a minute of fuzzing, and the .deb installed and used). Beside them:
# `make` builds the program alone, `make check` runs the fast tests alone (the developer's quick
# loop), `make stress` the long runs that try to lose or corrupt the list, `make package` the
# .deb, `make bench` the benchmarks. Each target first installs the Debian packages it needs:
# building and running need tools/packages-build.txt and tools/packages-run.txt, `make check`
# tools/packages-build.txt and tools/packages-check.txt, the other tests all four and
# tools/packages-test.txt. Where there is no apt-get, tools/install-deps goes on when pkg-config
# finds every build dependency.

BUILD      := build
TEST_BUILD := build-test
SAN_BUILD  := build-sanitize
FUZZ_BUILD := build-fuzz
PKG_BUILD  := build-package
BENCH_BUILD := build-bench
CMAKE_ARGS ?=
JOBS       := $(shell nproc 2>/dev/null || echo 2)
# The tests that need a desktop, root's long scenarios or the runs that try to lose the list:
# `make check` leaves them to `make test`.
SLOW_TESTS := InstallerWindow|Torture|Deploy|RootRuns

.PHONY: all deps check-deps test-deps build check-build test-build fuzz-build run check test \
	stress package \
	deb-here package-test bench figures format clean

all: build

deps:
	@./tools/install-deps tools/packages-build.txt tools/packages-run.txt

check-deps:
	@./tools/install-deps tools/packages-build.txt tools/packages-check.txt

test-deps:
	@./tools/install-deps tools/packages-build.txt tools/packages-run.txt tools/packages-check.txt \
	  tools/packages-test.txt

# Configures a build folder where it has none (or CMAKE_ARGS are given, or the shell condition
# AGAIN holds), then builds it quietly: no progress lines, only what the compiler says. cmake's
# build configures again by itself when a CMakeLists.txt changed.
# $(call configure,FOLDER,SOURCE,ARGS[,|| AGAIN])
define configure
	@if [ ! -f $(1)/CMakeCache.txt ] || [ -n "$(CMAKE_ARGS)" ] $(4); then \
	  mkdir -p $(1) && \
	  cmake -S $(2) -B $(1) -DCMAKE_RULE_MESSAGES=OFF $(3) $(CMAKE_ARGS) >$(1)/configure.log 2>&1 || \
	  { cat $(1)/configure.log >&2; exit 1; }; \
	fi
	@{ cmake --build $(1) -j $(JOBS) -- --no-print-directory -s 2>&1; echo $$? >$(1)/build.status; } \
	  | grep -v '^\[ *[0-9]*%\] Built target' || true
	@exit $$(cat $(1)/build.status)
endef

# The program alone: the command and the window. The last line says for which publishing server.
build: deps
	$(call configure,$(BUILD),.,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF)
	@./tools/built-line $(BUILD) '$(CMAKE_ARGS)'

# The pictures are found relative to the working folder, so the program starts from here. It
# edits the list of whoever runs it: HOME=$$(mktemp -d) make run tries it on a throwaway home.
run: build
	./$(BUILD)/quillora-installer

# The program with its tests, in a folder of its own: for `make check`, with the tests whose tools
# are found; for the other tests, with every test (configured again where some were left out).
check-build: check-deps
	$(call configure,$(TEST_BUILD),.,-DCMAKE_BUILD_TYPE=RelWithDebInfo)

test-build: ALL_TESTS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLORA_ALL_TESTS=ON
test-build: AGAIN = || [ -f $(TEST_BUILD)/tests-left-out.txt ]
test-build: test-deps
	$(call configure,$(TEST_BUILD),.,$(ALL_TESTS),$(AGAIN))

# The fuzz target needs clang and its own build; the installer keeps its compiler.
fuzz-build: test-deps
	$(call configure,$(FUZZ_BUILD),tests/fuzz,-DCMAKE_CXX_COMPILER=clang++)

# The developer's quick loop: every test that needs no desktop and runs in seconds.
check: check-build
	@cat $(TEST_BUILD)/tests-left-out.txt 2>/dev/null || true
	ctest --test-dir $(TEST_BUILD) --output-on-failure -j $(JOBS) -LE stress -E '$(SLOW_TESTS)'

test: test-build fuzz-build
	ctest --test-dir $(TEST_BUILD) --output-on-failure -j $(JOBS) -LE stress
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -LE long
	$(call configure,$(SAN_BUILD),.,-DCMAKE_BUILD_TYPE=Debug -DQUILLORA_SANITIZE=ON \
	  -DQUILLORA_ALL_TESTS=ON)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS) -LE stress
	@$(MAKE) --no-print-directory package-test
	@$(MAKE) --no-print-directory figures

# Far longer runs of the crash, concurrency and fuzz tests; a quarter of an hour or more.
stress: test-build fuzz-build
	ctest --test-dir $(TEST_BUILD) --output-on-failure -L stress
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L long
	@$(MAKE) --no-print-directory figures

# The .deb, built as Debian builds its own packages: installed under /usr, with Debian's hardening
# flags, stripped, its library dependencies found by dpkg-shlibdeps. It is built in a pristine
# root of the oldest Debian it is for (made once under /var/tmp, a few minutes; needs root), so
# that it installs there and on every later release: for amd64, and cross-built there for arm64
# (ARCH=amd64 or ARCH=arm64 for one). `make package PACKAGE_SUITE=` builds it on this system
# instead, for this system's architecture and release and later ones.
PACKAGE_SUITE ?= bullseye
ARCH ?= all
ARCHES := $(if $(filter all,$(ARCH)),amd64 arm64,$(ARCH))
ifeq ($(PACKAGE_SUITE),)
ARCHES := $(shell dpkg --print-architecture)
package:
	@./tools/install-deps packaging/build-packages.txt
	@$(MAKE) --no-print-directory deb-here
else
package: deps
	@if [ "$$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi; \
	  for arch in $(ARCHES); do \
	    $$sudo env CMAKE_ARGS='$(CMAKE_ARGS)' ./tools/build-deb $(PACKAGE_SUITE) $(PKG_BUILD) \
	      $$arch || exit 1; \
	  done
endif

# The build itself, on whatever system runs it.
deb-here: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
deb-here:
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
	  -DBUILD_TESTING=OFF \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" $(CMAKE_ARGS)
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack

# Lints each architecture's .deb, installs it, and uses what it installed, the window on a desktop
# of its own: amd64's here and in pristine Debian 11 and 13 roots, arm64's in a pristine arm64
# Debian 11 root through qemu (tests/package/CMakeLists.txt). Then says why any was skipped.
package-test: test-deps package
	@cmake -S tests/package -B $(PKG_BUILD)/tests -DPACKAGES=$(abspath $(PKG_BUILD)) \
	  -DARCHES='$(ARCHES)' >/dev/null
	ctest --test-dir $(PKG_BUILD)/tests --output-on-failure -j $(JOBS)
	@grep -h -E '^(with-emulator: .* can.t run|package: not tried)' \
	  $(PKG_BUILD)/tests/Testing/Temporary/LastTest.log 2>/dev/null || true

# The installer timed against baselines and peers in the same run: the editor against a safe copy,
# xmlstarlet and a Python lxml script, one read against expat's bare parse, peak memory, the
# window against a minimal GTK window, and the click until the notice. Prints the table and
# writes it as Markdown to $(BENCH_BUILD)/bench.md; a few minutes. docs/benchmarks.md says more.
bench:
	@./tools/install-deps tools/packages-build.txt tools/packages-run.txt tools/packages-test.txt \
	  bench/packages.txt
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DQUILLORA_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	tests/with-desktop python3 bench/run_bench.py $(BENCH_BUILD) $(BENCH_BUILD)/bench.md $(BENCH_ARGS)

# The figures that the last runs printed: faults injected, kills, runs at once, fuzzing, bad input,
# and the playbook's runs (or why they were skipped).
figures:
	@echo "Figures of the last runs:"
	@grep -h -E '^(fault injection|random kills|concurrency|fuzzing|bad input|playbook):' \
	  $(TEST_BUILD)/Testing/Temporary/LastTest*.log $(FUZZ_BUILD)/Testing/Temporary/LastTest*.log \
	  2>/dev/null || true

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(PKG_BUILD) $(BENCH_BUILD)
