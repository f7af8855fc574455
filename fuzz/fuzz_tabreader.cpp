// The TAB log reader in four regional settings, read whole and in pieces (see
// logreadercheck.h for what is checked). The first byte picks the settings and the pieces.
#include "logreadercheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    thermavo::checkLogReader(bytes, thermavo::fuzzedRegional(data[0]), 1 + data[0] / 4 % 61);
    return 0;
}
