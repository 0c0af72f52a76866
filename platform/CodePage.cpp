#include "platform/CodePage.h"

#include <cerrno>
#include <iconv.h>

namespace veldmoor::platform {
namespace {

const char* IconvName(int codePage) {
    switch (codePage) {
        case 936: return "CP936";
        case 950: return "CP950";
        case 949: return "CP949";
        case 932: return "CP932";
        case 54936: return "GB18030";
        case 1252: return "CP1252";
        case 65001: return "UTF-8";
        default: return nullptr;
    }
}

}  // namespace

std::optional<std::string> ConvertToSystemCodePage(int codePage, std::string_view bytes) {
    const char* from = IconvName(codePage);
    if (!from) return std::nullopt;
    iconv_t converter = ::iconv_open("UTF-8", from);
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;

    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());  // iconv's signature is not const-correct
    size_t inLeft = bytes.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t result = ::iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    ::iconv_close(converter);
    if (result == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace veldmoor::platform
