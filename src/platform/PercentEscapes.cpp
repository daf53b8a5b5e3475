#include "platform/PercentEscapes.h"

#include "platform/MacRoman.h"
#include "platform/TextUtil.h"

namespace PercentEscapes {

std::string decodeAsMacRoman(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? TextUtil::hexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? TextUtil::hexDigitValue(text[i + 2]) : -1;
        if (low < 0) {
            out += text[i];
            continue;
        }
        const char byte = static_cast<char>(high * 16 + low);
        out += MacRoman::toUtf8(std::string_view(&byte, 1));
        i += 2;
    }
    return out;
}

} // namespace PercentEscapes
