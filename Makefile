# Front door: each target installs what it needs on a fresh Debian machine first.
.PHONY: all build test bench fuzz reliability demo demo-s3 package clean

all: build

build:
	@scripts/build.sh

test:
	@scripts/test.sh

bench:
	@scripts/bench.sh

demo:
	@scripts/demo.sh

demo-s3:
	@QM_DEMO_STORE=s3 scripts/demo.sh

package:
	@scripts/package.sh

fuzz:
	@scripts/fuzz.sh

reliability:
	@scripts/reliability.sh

clean:
	rm -rf build
