# SPDX-License-Identifier: Apache-2.0
# Set-up and checks. Each target installs what is missing (Debian packages
# through apt-get, with sudo when not root), configures and builds.
BUILD_DIR ?= build
DEMO_DIR ?= build-demo
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

# What building and running the tools needs; what the tests add to it; what
# making the Debian packages adds.
PACKAGES := cmake g++ gcc make pkg-config libtfm-dev libssl-dev nlohmann-json3-dev libp11-kit-dev
PACKAGE_PACKAGES := file dpkg-dev
# The tests also need a software TPM behind a resource manager, and the TPM
# tools that docs/signing.md uses (tests/signing/tpm_test.sh).
TPM_PACKAGES := swtpm tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0 dbus-daemon libtpm2-pkcs11-1 \
  libtpm2-pkcs11-tools tpm2-openssl
CHECK_PACKAGES := $(PACKAGE_PACKAGES) libgtest-dev openssl valgrind binutils lintian gdb softhsm2 p11-kit \
  abigail-tools bash-completion python3-jsonschema groff-base $(TPM_PACKAGES)
FUZZ_PACKAGES := clang libclang-rt-dev
BENCH_PACKAGES := libbenchmark-dev time coreutils softhsm2 valgrind openssl
FUZZ_TARGETS := fuzz_codec fuzz_buffer_proc fuzz_sign_run fuzz_verify
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

CMAKE_OPTIONS ?=

.PHONY: deps check-deps build build-clang demo check sanitize fuzz bench package reproducible mutate clean

# Installs the packages that dpkg does not know as installed.
define install_missing
	@missing=$$(for p in $(1); do dpkg -s $$p 2>/dev/null | grep -q '^Status: install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

check-deps: deps
	$(call install_missing,$(CHECK_PACKAGES))

# The whole tree, tests included.
build: check-deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_OPTIONS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

# The whole tree, tests included, with clang++ and warnings as errors.
build-clang: check-deps
	$(call install_missing,clang)
	CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON
	cmake --build build-clang -j$(JOBS)

# The tools alone, without the tests, in their own folder; then a signing run.
demo: deps
	cmake -S . -B $(DEMO_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
	cmake --build $(DEMO_DIR) -j$(JOBS) --target encrypt_tool key_tool verify_tool
	@mkdir -p $(DEMO_DIR)/demo
	@rm -f $(DEMO_DIR)/demo/signed.img $(DEMO_DIR)/demo/restored.img
	$(DEMO_DIR)/key_tool show examples/sign_test.key
	$(DEMO_DIR)/encrypt_tool examples/input.img $(DEMO_DIR)/demo/signed.img examples/code.bin \
	  examples/sign_test.key examples/common_test.key
	@echo "Wrote $(DEMO_DIR)/demo/signed.img ($$(stat -c %s $(DEMO_DIR)/demo/signed.img) bytes):" \
	  "SPL window with 4 signed blocks, code window with both public keys and the block table, then the tail."
	$(DEMO_DIR)/verify_tool --key examples/sign_test.key --original examples/input.img \
	  --restore $(DEMO_DIR)/demo/restored.img $(DEMO_DIR)/demo/signed.img

# Our own checks treat warnings as errors; a user's build does not.
check: CMAKE_OPTIONS += -DWERROR=ON
check: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) && echo "make check: all tests passed" || \
	  { echo "make check: FAILED"; exit 1; }

# Every test built and run under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: check-deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DWERROR=ON
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS) -E 'Valgrind|Package' && echo "make sanitize: all tests passed" || \
	  { echo "make sanitize: FAILED"; exit 1; }

# Each libFuzzer target for FUZZ_SECONDS seconds from the seeds in fuzz/corpus;
# new inputs go to build-fuzz/corpus, a crash fails the run.
fuzz: deps
	$(call install_missing,$(FUZZ_PACKAGES))
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DBUILD_FUZZERS=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
	cmake --build build-fuzz -j$(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  corpus=$${t#fuzz_}; mkdir -p build-fuzz/corpus/$$corpus; \
	  echo "== $$t for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$corpus fuzz/corpus/$$corpus 2>build-fuzz/$$t.log || \
	    { tail -40 build-fuzz/$$t.log; echo "make fuzz: $$t FAILED"; exit 1; }; \
	  grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' build-fuzz/$$t.log | tail -2; \
	done; echo "make fuzz: no target found a fault"

# The three performance ratios; see bench/run_bench.sh.
bench: deps
	$(call install_missing,$(BENCH_PACKAGES))
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=ON
	cmake --build build-bench -j$(JOBS)
	bench/run_bench.sh build-bench

# The mutation sweep over every product file: each mutant built in a copy of
# the tree and checked by its part's tests (ctest -L PART). Two hours or so on
# two cores, so not part of CI; the scores are in docs/testing.md.
MUTATE_OPTIONS ?=
mutate: check-deps
	$(call install_missing,python3)
	python3 tests/mutation/sweep.py --jobs $(JOBS) $(MUTATE_OPTIONS)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

# Two builds of the checked-out commit in other folders give the same packages
# and binaries; see tests/packaging/reproducible_test.sh. Some minutes.
reproducible: deps
	$(call install_missing,$(PACKAGE_PACKAGES) git)
	sh tests/packaging/reproducible_test.sh . $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(DEMO_DIR) build-clang build-sanitize build-fuzz build-bench build-mutate
