// cgi_decode over any text: the decoded bytes match the model, and every byte
// behind them up to the old terminator is zero.
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fuzz::c_string(std::string(reinterpret_cast<const char *>(data), size));
    std::string expected = fuzz::decoded(text);
    std::vector<char> storage(text.begin(), text.end());
    storage.push_back('\0');
    FUZZ_CHECK(cgi_decode(storage.data()) == storage.data(), "not the same pointer");
    FUZZ_CHECK(std::memcmp(storage.data(), expected.data(), expected.size()) == 0, "decoded bytes differ");
    for (size_t i = expected.size(); i < storage.size(); i++)
        FUZZ_CHECK(storage[i] == '\0', "byte %zu behind the decoded text is not zero", i);
    return 0;
}
