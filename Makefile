# Two entry points: `make run` and `make test`. Each installs what is missing first, so both work on a
# fresh Debian 12 machine (as root, or through sudo).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all run test build package demo-track bench bench-audio deps-run deps-test deps-package deps-demo \
	deps-bench clean

all: build

deps-run:
	@tools/install-deps.sh run

deps-test:
	@tools/install-deps.sh test

deps-package:
	@tools/install-deps.sh package

deps-demo:
	@tools/install-deps.sh demo

deps-bench:
	@tools/install-deps.sh bench

$(BUILD_DIR)/CMakeCache.txt:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: deps-run $(BUILD_DIR)/CMakeCache.txt
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory --quiet

# The program looks for 1.mp3 in its working directory; the demo track lives in data/.
run: build
	@cd data && ../$(BUILD_DIR)/dancer

# Tests draw with real OpenGL; without a display they get Mesa's software renderer on a private Xvfb.
test: deps-test build
	@cd $(BUILD_DIR) && if [ -n "$$DISPLAY" ]; then \
	    ctest --output-on-failure -j 2; \
	  else \
	    xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j 2; \
	  fi

# A Debian package of the build, $(BUILD_DIR)/dancer_VERSION_ARCH.deb, which installs under /usr.
package: deps-package build
	@cd $(BUILD_DIR) && cpack -G DEB

# Remakes the demo track, data/1.mp3: synthesised by tools/demo_track.py, encoded by lame. The same
# tools give the same bytes.
demo-track: deps-demo
	@mkdir -p $(BUILD_DIR)
	@python3 tools/demo_track.py $(BUILD_DIR)/demo-track.wav --seconds 30
	@lame --quiet --noreplaygain -b 128 $(BUILD_DIR)/demo-track.wav data/1.mp3

# Every performance figure beside its budget, in one Markdown table (bench/run_bench.py says what
# each part measures). About twenty minutes, ten of them one long run. Not a test.
# Configures again so that a build directory made before Google Benchmark was installed gets it.
SOAK_SECONDS ?= 600
bench: deps-bench build
	@cmake -S . -B $(BUILD_DIR) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target dancer frame_probe micro_bench sync_bench \
	    audio_bench -- --no-print-directory --quiet
	@/usr/bin/python3 bench/run_bench.py $(BUILD_DIR) data --soak-seconds $(SOAK_SECONDS) \
	    --json $(BUILD_DIR)/bench.json

# What the audio path costs while the demo track plays, beside mpg123 decoding it. Not a test.
bench-audio: deps-test build
	@$(BUILD_DIR)/audio_bench data 20

clean:
	rm -rf $(BUILD_DIR)
