# Build, test and run veltar_core. Every target that needs system packages
# depends on `deps`, which installs whatever is missing (as root, via apt).

PYTHON ?= /usr/bin/python3
BUILD ?= build
MESON_SETUP_ARGS ?=

APT_PACKAGES := g++ make meson ninja-build pkg-config python3-mesonpy python3-dev \
	python3-pip python3-venv python3-pytest python3-numpy \
	libpcre2-dev libvectorscan-dev libssl-dev libgtest-dev libbenchmark-dev \
	python3-mypy python3-build python3-matplotlib clang libclang-rt-14-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-cpp test-python demo bench asan wheel-check fuzz clean

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
	meson configure $(BUILD) -Dbenchmarks=true
	meson compile -C $(BUILD)
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

# Builds the wheel as a user would and installs it into a fresh virtual
# environment, without network.
WHEEL_DIR ?= build-wheel

wheel-check: deps
	rm -rf $(WHEEL_DIR)
	$(PYTHON) -m build --no-isolation --wheel --outdir $(WHEEL_DIR)/dist .
	$(PYTHON) -m venv --system-site-packages $(WHEEL_DIR)/venv
	$(WHEEL_DIR)/venv/bin/pip install --no-index --no-deps $(WHEEL_DIR)/dist/*.whl
	cd $(WHEEL_DIR) && venv/bin/python -c "import veltar_core, pathlib; \
	  assert pathlib.Path(veltar_core.__file__).is_relative_to(pathlib.Path('venv').resolve()), veltar_core.__file__; \
	  assert veltar_core.TamoPiiScanner().redact('ip 10.0.0.1').redacted_text == 'ip [IP_REDACTED]'; \
	  stubs = pathlib.Path(veltar_core.__file__).parent / 'veltar_core-stubs' / '__init__.pyi'; \
	  assert stubs.is_file(), stubs; print('wheel installs and imports:', veltar_core.version())"

# libFuzzer harnesses (fuzz/), built with clang, ASan and UBSan; each runs
# FUZZ_SECONDS seconds and any crash or broken property fails the target.
FUZZ_SECONDS ?= 30

fuzz: deps
	fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WHEEL_DIR) build-fuzz
