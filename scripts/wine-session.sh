# Sourced: start_wine_session starts the prefix's wineserver and Wine's background
# services with no terminal or pipe attached (they outlive the programs that would
# otherwise start them, and would hold those programs' output open);
# stop_wine_session ends them all.
start_wine_session() {
  "$root/scripts/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
  # The Windows publisher's 64-bit prefix, whose services would otherwise hold the
  # output of the first test that runs it.
  "$root/scripts/wine64-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
}

stop_wine_session() {
  local prefix
  # The 64-bit prefix of the Windows publisher's tests starts its own on first use.
  for prefix in "$root/build/wineprefix" "$root/build/wineprefix64"; do
    [ ! -d "$prefix" ] || WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  done
}
