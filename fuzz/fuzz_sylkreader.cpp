// The SYLK log reader: Thermavo's header and then whatever the fuzzer makes of the rest, read
// whole and in pieces (see logreadercheck.h for what is checked).
#include "logreadercheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    static const std::string kHeader = "ID;PThermavo\r\nP;PGeneral\r\nF;P0;DG0G8\r\n";
    const std::string bytes =
        kHeader + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    thermavo::checkLogReader(bytes, thermavo::RegionalSettings{}, 1 + data[0] % 61);
    return 0;
}
