# Set-up and checks. Each target installs what is missing (Debian packages
# through apt-get, with sudo when not root), configures and builds.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

PACKAGES := cmake g++ make pkg-config libtfm-dev libssl-dev libgtest-dev openssl
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: deps build demo check package clean

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

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

demo: build
	@mkdir -p $(BUILD_DIR)/demo
	@rm -f $(BUILD_DIR)/demo/signed.img $(BUILD_DIR)/demo/restored.img
	$(BUILD_DIR)/key_tool show examples/sign_test.key
	$(BUILD_DIR)/encrypt_tool examples/input.img $(BUILD_DIR)/demo/signed.img examples/code.bin \
	  examples/sign_test.key examples/common_test.key
	@echo "Wrote $(BUILD_DIR)/demo/signed.img ($$(stat -c %s $(BUILD_DIR)/demo/signed.img) bytes):" \
	  "SPL window with 4 signed blocks, code window with both public keys and the block table, then the tail."
	$(BUILD_DIR)/verify_tool --key examples/sign_test.key --original examples/input.img \
	  --restore $(BUILD_DIR)/demo/restored.img $(BUILD_DIR)/demo/signed.img

check: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) && echo "make check: all tests passed" || \
	  { echo "make check: FAILED"; exit 1; }

package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) build-*
