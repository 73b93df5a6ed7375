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
