#include "app/SystemVersion.h"

#include "platform/TextUtil.h"

#include <vector>

namespace SystemVersion {

bool kernelSupportsFolderEvents(const std::string& release)
{
    auto parts = [](const std::string& text) {
        std::vector<long> out;
        size_t i = 0;
        while (out.size() < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9') {
            long value = 0;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9')
                value = value * 10 + (text[i++] - '0');
            out.push_back(value);
            if (i < text.size() && text[i] == '.')
                ++i;
            else
                break;
        }
        out.resize(3, 0);
        return out;
    };
    const std::string cleaned = TextUtil::trimmed(release);
    if (cleaned.empty() || cleaned[0] < '0' || cleaned[0] > '9')
        return false;
    return parts(cleaned) >= parts(kMinimumKernel);
}

} // namespace SystemVersion
