// The text parsers (numbers, host addresses) against arbitrary bytes. The first byte
// picks the base; the rest is the text. Results are checked against a second reading
// of the same text, so a parser that accepts junk or reads past the NUL is caught.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ambry/Net.h"
#include "ambry/Parse.h"

namespace {

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "parse fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const int kBases[] = {0, 8, 10, 16, 2, 36, 1, 37};
    int base = kBases[data[0] & 7];
    // An exact-size copy with the NUL, so an over-read is an ASan report.
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';

    uint32_t value = 0;
    if (Ambry::ParseUnsigned(copy, base, &value)) {
        Check(std::strchr(copy, '-') == nullptr, "accepted a minus sign");
        Check(value != 0xFFFFFFFFu, "accepted 4294967295");
        // Accepted text without its white space reads as the same number with strtoul.
        char *end = nullptr;
        unsigned long long again = std::strtoull(copy, &end, base);
        Check(again == value, "disagrees with strtoull");
    }
    uint16_t port = 0;
    if (Ambry::ParseUInt16(copy, base, &port))
        Check(Ambry::ParseUnsigned(copy, base, &value) && value == port, "16-bit result differs");
    double real = 0;
    if (Ambry::ParseDouble(copy, &real))
        Check(real == real && real - real == 0, "non-finite double accepted");
    float single = 0;
    if (Ambry::ParseFloat(copy, &single))
        Check(single - single == 0, "non-finite float accepted");
    // Only dotted addresses: a name lookup could reach the network.
    if (std::strspn(copy, " \t0123456789.") == text.size()) {
        uint32_t ip = 0;
        (void)Ambry::ResolveHost(copy, &ip);
    }
    std::free(copy);
    return 0;
}
