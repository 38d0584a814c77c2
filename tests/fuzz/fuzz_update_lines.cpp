// libFuzzer entry for check_update_lines (fuzz_checks.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string broken = mvfuzz::check_update_lines(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "check_update_lines: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
