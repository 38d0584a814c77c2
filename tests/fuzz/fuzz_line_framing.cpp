// libFuzzer entry for check_line_framing (fuzz_checks.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string broken = mvfuzz::check_line_framing(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "check_line_framing: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
