# Two entry points: `make run` and `make test`. Each installs what is missing first, so both work on a
# fresh Debian 12, 13 or testing machine (as root, or through sudo).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# `make test` also builds and tests everything with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_DIR ?= $(BUILD_DIR)-sanitize
# `make fuzz`: clang's libFuzzer on the music file, for FUZZ_SECONDS.
FUZZ_DIR ?= $(BUILD_DIR)-fuzz
FUZZ_SECONDS ?= 600
# `make soak`: the real binary dancing for SOAK_SECONDS while its memory is watched.
SOAK_SECONDS ?= 600
# `make repeat`: the whole program's end-to-end tests REPEAT_RUNS times in a row, under load.
REPEAT_RUNS ?= 20

.PHONY: all run test build build-sanitize package demo-track bench bench-audio fuzz fuzz-playlist \
	soak repeat \
	deps-run deps-test deps-package deps-demo deps-fuzz deps-bench clean

all: build

# deps-run, deps-test, ...: the package lists of tools/install-deps.sh.
DEPS_TARGETS := deps-run deps-test deps-package deps-demo deps-fuzz deps-bench
$(DEPS_TARGETS): deps-%:
	@tools/install-deps.sh $*

# A tree configured for `make run` (or package, bench, ...) leaves the tests out, so it needs no test
# tools; `make test` (and `make repeat`) turns them on in whichever tree it finds.
TESTS := $(if $(filter test repeat,$(MAKECMDGOALS)),ON,OFF)

$(BUILD_DIR)/CMakeCache.txt:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DDANCER_TESTS=$(TESTS) >/dev/null

build: deps-run $(BUILD_DIR)/CMakeCache.txt
	@[ $(TESTS) = OFF ] || grep -q '^DANCER_TESTS:BOOL=ON$$' $(BUILD_DIR)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD_DIR) -DDANCER_TESTS=ON >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory --quiet

$(SANITIZE_DIR)/CMakeCache.txt:
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DDANCER_SANITIZE=ON >/dev/null

build-sanitize: deps-run $(SANITIZE_DIR)/CMakeCache.txt
	@cmake --build $(SANITIZE_DIR) -j $(JOBS) -- --no-print-directory --quiet

# The program looks for 1.mp3 in its working directory; the demo track lives in data/.
run: build
	@cd data && ../$(BUILD_DIR)/dancer

# Tests draw with real OpenGL, on Mesa's software renderer: the unit test in $DISPLAY's window, or a
# private Xvfb's when none is set; the end-to-end tests on an Xvfb of their own (pytest-xvfb).
# The whole suite runs twice: on the plain build, then on the sanitized one (all but the package's
# test, which checks the package shipped, the plain one). Both always run. The end-to-end tests
# wait on the program's rests, timers and servers, so three at once keep two cores busy; each of
# them passes beside two busy loops (`make repeat`). The sanitized tree builds meanwhile at the
# lowest priority, in what CPU their waits leave; its compiler's words follow the plain tests'.
CTEST = if [ -n "$$DISPLAY" ]; then ctest --output-on-failure -j 3; \
	else xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j 3; fi
test: deps-test build
	@mkdir -p $(SANITIZE_DIR)
	@nice -n 19 $(MAKE) --no-print-directory build-sanitize >$(SANITIZE_DIR)/build.log 2>&1 & \
	builder=$$!; failed=0; \
	echo "== tests in $(BUILD_DIR)"; (cd $(BUILD_DIR) && $(CTEST)) || failed=1; \
	built=0; wait $$builder && built=1; cat $(SANITIZE_DIR)/build.log; \
	[ $$built = 1 ] || exit 1; \
	echo "== tests in $(SANITIZE_DIR)"; (cd $(SANITIZE_DIR) && $(CTEST)) || failed=1; \
	exit $$failed

# The music file fuzzer, for FUZZ_SECONDS, from a short tone in each format (in MP3 also with an
# ID3v1 tag and with an APE tag at its end) and every input that ever failed. It stops at the first
# failure and saves the input in tests/fuzz/regressions/, which `make test` replays: fix the fault,
# then commit the input. The leaks libFLAC and libdbus keep to the end are theirs, not the
# program's.
fuzz: deps-fuzz
	@[ -f $(FUZZ_DIR)/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDANCER_SANITIZE=ON -DDANCER_FUZZ=ON -DDANCER_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target music_fuzz -- --no-print-directory --quiet
	@mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/seeds && cd $(FUZZ_DIR)/seeds && \
	  sox -n -r 22050 -c 1 tone.wav synth 0.3 sine 440 && lame --quiet tone.wav tone.mp3 && \
	  sox tone.wav tone.flac && sox tone.wav tone.ogg && \
	  lame --quiet --id3v1-only --tt Title --ta Artist tone.wav tone-id3v1.mp3 && \
	  { cat tone.mp3; printf '\005\0\0\0\0\0\0\0Title\0Tone!APETAGEX\320\007\0\0\063\0\0\0'; \
	    printf '\001\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'; } > tone-ape.mp3
	@printf 'leak:libdbus-1.so\nleak:libFLAC.so\n' > $(FUZZ_DIR)/lsan.supp
	@cd $(FUZZ_DIR) && LSAN_OPTIONS=suppressions=$(abspath $(FUZZ_DIR))/lsan.supp \
	  ASAN_OPTIONS=fast_unwind_on_malloc=0:allocator_may_return_null=1 \
	  ./music_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=32768 -timeout=10 \
	  -rss_limit_mb=4096 -malloc_limit_mb=4096 -use_value_profile=1 -print_final_stats=1 \
	  -artifact_prefix=$(CURDIR)/tests/fuzz/regressions/ \
	  $(abspath $(FUZZ_DIR))/corpus $(abspath $(FUZZ_DIR))/seeds $(CURDIR)/tests/fuzz/regressions

# The playlist reader, the same way, from a few playlists as players write them; its failures are
# saved in tests/fuzz/playlist-regressions/.
fuzz-playlist: deps-fuzz
	@[ -f $(FUZZ_DIR)/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDANCER_SANITIZE=ON -DDANCER_FUZZ=ON -DDANCER_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target playlist_fuzz -- --no-print-directory --quiet
	@mkdir -p $(FUZZ_DIR)/playlist-corpus
	@cd $(FUZZ_DIR) && ./playlist_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	  -use_value_profile=1 -print_final_stats=1 \
	  -artifact_prefix=$(CURDIR)/tests/fuzz/playlist-regressions/ \
	  $(abspath $(FUZZ_DIR))/playlist-corpus $(CURDIR)/tests/fuzz/playlist-regressions

# The real binary dances on a sound server of its own, PulseAudio and then PipeWire, for SOAK_SECONDS
# each while its memory is watched, another listening beside it; `make test` runs the same test
# with 1 s of it. The X server options are those CMake gives the end-to-end tests.
soak: deps-test build
	@DANCER_BIN=$(abspath $(BUILD_DIR))/dancer \
	  DANCER_SOAK_SECONDS=$(SOAK_SECONDS) /usr/bin/python3 -m pytest -q -p no:cacheprovider \
	  -o xvfb_width=1700 -o xvfb_height=1000 -o xvfb_colordepth=24 -o xvfb_args=-noreset \
	  tests/e2e/test_program.py -k "sound_server and not alone"

# `ctest -R e2e_program` (the window, the keys, the command line; the sound-server crashes) again
# and again, each run beside two busy loops, stopping at the first failure (tools/repeat.sh): a
# test that is not green every time under load is a fault to find, in the program or the test.
repeat: deps-test build
	@tools/repeat.sh $(BUILD_DIR) $(REPEAT_RUNS)

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
# each part measures). About 14 minutes, ten of them one long run, whose length BENCH_SOAK_SECONDS
# sets; BENCH_ONLY=render (or any of run_bench.py's --only parts) runs only those. Not a test.
BENCH_SOAK_SECONDS ?= 600
bench: deps-bench build
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target frame_probe audio_bench -- \
	    --no-print-directory --quiet
	@/usr/bin/python3 bench/run_bench.py $(BUILD_DIR) data --soak-seconds $(BENCH_SOAK_SECONDS) \
	    $(if $(BENCH_ONLY),--only $(BENCH_ONLY)) --json $(BUILD_DIR)/bench.json

# What the audio path costs while the demo track plays, beside mpg123 decoding it, and what
# listening instead costs, to all the default output plays or to one application, on PulseAudio
# and PipeWire, the sound server's CPU with it. Not a test.
bench-audio: deps-test build
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target audio_bench -- --no-print-directory --quiet
	@/usr/bin/python3 bench/run_bench.py $(BUILD_DIR) data --only audio

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
