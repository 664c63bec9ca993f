# Thin front door over the CMake presets. `make demo` runs the main job, `make test` every test.
.PHONY: all deps build test test-asan test-wine demo bench reliability-long mutation clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default

test: build
	ctest --preset default
	bash winbuild/build.sh
	bash winbuild/test_checks.sh
	bash winbuild/wine/run.sh build/default
	bash ifd/tests/run_pcsc_tests.sh build/default
	bash reliability/run.sh short
	$(MAKE) test-asan

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	ctest --preset asan

test-wine: build
	bash winbuild/build.sh
	bash winbuild/wine/run.sh build/default

# The demo builds the workbench alone (the driver, the simulated platform and the machine under it), no tests.
demo: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default --target qward-workbench
	@build/default/tools/qward-workbench

bench: build
	@build/default/bench/qward-bench
	@bash bench/pcsc_bench.sh build/default

reliability-long: build
	bash reliability/run.sh long

# Mutation run (tools/mutation/): faults put into a copy of the driver, one at a time, against the short suite.
mutation: deps
	nice -n 10 python3 tools/mutation/mutate.py $(MUTATION_ARGS)

clean:
	rm -rf build
