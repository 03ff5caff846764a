# Sourced by the long-running scripts (soak.sh, week.sh): the Release build
# without sanitizers or tests that they measure.
#   build_release DIR NAME   builds DIR quietly, its log in DIR/NAME-build.log;
#                            on failure prints the log's end and exits 1.
build_release() {
  local dir=$1 name=$2
  mkdir -p "$dir"
  if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYX_SANITIZE=OFF \
           -DBUILD_TESTING=OFF -DVYX_BENCH=OFF &&
         nice cmake --build "$dir" -j2; } >"$dir/$name-build.log" 2>&1; then
    echo "$name.sh: build failed (log: $dir/$name-build.log)"; tail -n 30 "$dir/$name-build.log"
    exit 1
  fi
}
