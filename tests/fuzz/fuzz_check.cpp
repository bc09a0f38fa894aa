// The checker on bytes, with every optional check on and no findings cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "check/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vantrell_check::Options options;
    options.xml_well_formed = true;
    options.verify_crc = true;
    auto report = vantrell_check::check_bytes(std::vector<std::uint8_t>(data, data + size), options);
    if (report) {
        (void)report->codes();
        (void)report->is_clean();
    }
    vantrell_check::Options capped;
    capped.max_findings = 3;
    auto short_report = vantrell_check::check_bytes(std::vector<std::uint8_t>(data, data + size), capped);
    if (short_report && short_report->findings.size() > 3) std::abort();
    return 0;
}
