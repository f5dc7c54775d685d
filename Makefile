# Build, test and run veltar_core. Every target that needs system packages
# depends on `deps`, which installs whatever is missing (as root, via apt).

PYTHON ?= /usr/bin/python3
BUILD ?= build
MESON_SETUP_ARGS ?=

APT_PACKAGES := g++ make meson ninja-build pkg-config python3-mesonpy python3-dev \
	python3-pip python3-venv python3-pytest python3-numpy \
	libpcre2-dev libvectorscan-dev libssl-dev libgtest-dev libbenchmark-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-cpp test-python demo bench clean

all: build

deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja:
	meson setup $(BUILD) -Dpython=$(PYTHON) $(MESON_SETUP_ARGS)

build: $(BUILD)/build.ninja
	meson compile -C $(BUILD)

test-cpp: build
	meson test -C $(BUILD) --print-errorlogs

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests/python

test: deps
	$(MAKE) test-cpp
	$(MAKE) test-python

demo: deps
	$(MAKE) build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/demo.py

bench: deps
	$(MAKE) build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/run.py

clean:
	rm -rf $(BUILD)
