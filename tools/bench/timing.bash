# Sourced by the benchmark scripts: small timing and arithmetic helpers.

# Wall seconds of one run of the command, its output discarded.
seconds_of() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$end" -v b="$start" 'BEGIN { print a - b }'
}

# The smaller of two numbers; the first alone when the second is empty.
smaller() { awk -v a="$1" -v b="${2:-$1}" 'BEGIN { print (a < b) ? a : b }'; }

# a / b with three decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# Builds quillomark-publish as a release of our own (the standard host tree carries
# the sanitizers) and prints its path.
release_publisher() {
  local build=$root/build/bench-host
  [ -f "$build/build.ninja" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DQM_DEPS_DIR="$("$root/scripts/fetch-deps.sh")" \
      -DCMAKE_BUILD_TYPE=Release -DQM_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target quillomark-publish >/dev/null
  echo "$build/publisher/quillomark-publish"
}
