# Configures build-san: clang with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's
# coverage instrumentation, shared by scripts/sanitize.sh and scripts/fuzz.sh. Sourced.
bash scripts/install-deps.sh
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DKORVEL_FUZZ=ON >/dev/null
