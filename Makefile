# Build, test and run veltar_core. Every target that needs system packages
# depends on `deps`, which installs whatever is missing (as root, via apt).

PYTHON ?= /usr/bin/python3
BUILD ?= build
MESON_SETUP_ARGS ?=

APT_PACKAGES := g++ make meson ninja-build pkg-config python3-mesonpy python3-dev \
	python3-pip python3-venv python3-pytest python3-numpy \
	libpcre2-dev libvectorscan-dev libssl-dev libgtest-dev libbenchmark-dev \
	python3-mypy python3-build python3-matplotlib

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-cpp test-python demo bench asan clean

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

# Sanitizer build: ASan + UBSan. The C++ unit tests run with leak detection;
# the Python suite runs with the runtime preloaded and leak detection off,
# since the interpreter itself does not free everything at exit.
ASAN_BUILD ?= build-asan
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_SCALE ?= 0.1

$(ASAN_BUILD)/build.ninja:
	meson setup $(ASAN_BUILD) -Dpython=$(PYTHON) -Dbuildtype=debugoptimized -Db_lundef=false \
	  -Dcpp_args="$(ASAN_FLAGS)" -Dcpp_link_args="$(ASAN_FLAGS)"

asan: deps $(ASAN_BUILD)/build.ninja
	meson compile -C $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  meson test -C $(ASAN_BUILD) --print-errorlogs
	LD_PRELOAD="$(ASAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  VELTAR_SANITIZER=1 VELTAR_TEST_SCALE=$(SANITIZER_SCALE) PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
