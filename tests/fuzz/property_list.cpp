// The property-list reader (XML and binary): photo blocks, the settings store,
// preference files, the factory defaults and the alert tables. The store
// writes back what it read, so the XML form of a value must read back as it.
#include "platform/PropertyList.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace {

// Equal, reals and dates to the precision the XML form keeps.
bool same(const PlistValue& a, const PlistValue& b)
{
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
        case PlistValue::Type::Real: {
            const double x = *a.asReal(), y = *b.asReal();
            return x == y || (std::isnan(x) && std::isnan(y)) || std::fabs(x - y) <= 1e-9 * std::fabs(x);
        }
        case PlistValue::Type::Date:
            // The XML form of a date keeps whole seconds.
            return std::fabs(a.asDate()->secondsSince1970 - b.asDate()->secondsSince1970) < 1.0;
        case PlistValue::Type::Array: {
            const auto& x = *a.asArray();
            const auto& y = *b.asArray();
            if (x.size() != y.size())
                return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!same(x[i], y[i]))
                    return false;
            return true;
        }
        case PlistValue::Type::Dictionary: {
            const auto& x = *a.asDictionary();
            const auto& y = *b.asDictionary();
            if (x.size() != y.size())
                return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !same(i->second, j->second))
                    return false;
            return true;
        }
        default: return a == b;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto value = PropertyList::parse(bytes);
    if (!value)
        return 0;
    const std::string xml = PropertyList::toXml(*value);
    const auto again = PropertyList::parse(xml);
    if (!again || !same(*again, *value)) {
        std::fprintf(stderr, "%s: %s\nwritten as:\n%s\n", again ? "read back differently" : "cannot be read back",
                     value->describe().c_str(), xml.c_str());
        __builtin_trap();
    }
    return 0;
}
