#include "platform/PropertyList.h"

#include <gtest/gtest.h>

namespace {

const char* kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string plist(const std::string& body)
{
    return std::string(kHeader) + "<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

} // namespace

TEST(PropertyList, RoundTripsEveryValueType)
{
    PlistValue::Dictionary dict;
    dict["text"] = PlistValue::string("Smith & Söhne <b>");
    dict["count"] = PlistValue::integer(-42);
    dict["big"] = PlistValue::integer(9007199254740993LL);
    dict["ratio"] = PlistValue::real(0.1);
    dict["on"] = PlistValue::boolean(true);
    dict["off"] = PlistValue::boolean(false);
    dict["when"] = PlistValue::date({1300000000.0});
    dict["bytes"] = PlistValue::data({0, 1, 2, 255});
    dict["list"] = PlistValue::array({PlistValue::string("a"), PlistValue::integer(2)});
    dict["nested"] = PlistValue::dictionary({{"inner", PlistValue::string("x")}});
    const PlistValue original = PlistValue::dictionary(dict);

    auto back = PropertyList::parse(PropertyList::toXml(original));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
}

TEST(PropertyList, AcceptsPaddingAfterTheClosingTagOnly)
{
    const std::string good = plist("<dict><key>OriginalPath</key><string>/a/b.jpg</string></dict>");
    for (const std::string& padding : {std::string(100, '\0'), std::string("  \n\t\r\n"), std::string("\n\0\0 \0", 5)}) {
        auto value = PropertyList::parse(good + padding);
        ASSERT_TRUE(value) << "padding of " << padding.size() << " bytes";
        ASSERT_TRUE(value->find("OriginalPath"));
        EXPECT_EQ(*value->find("OriginalPath")->asString(), "/a/b.jpg");
    }
    std::string error;
    EXPECT_FALSE(PropertyList::parse(good + "garbage", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(PropertyList::parse(std::string("\0<plist>", 8)));
}

TEST(PropertyList, RefusesHostileInputWithoutCrashing)
{
    const std::string cases[] = {
        "",
        std::string(64, '\0'),
        "not a plist at all",
        plist("<dict><key>a</key>"),
        plist("<array><string>unterminated</array>"),
        "bplist00",
        std::string("bplist00\xff\xff\xff\xff\xff\xff\xff\xff", 16),
    };
    for (const auto& input : cases)
        EXPECT_FALSE(PropertyList::parse(input)) << input.substr(0, 40);
    // Whatever the parser makes of this, it must not crash.
    (void)PropertyList::parse(plist(std::string(2000, '<')));

    // Deep nesting is refused rather than allowed to exhaust the stack.
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<array>";
    for (int i = 0; i < 200; ++i)
        deep += "</array>";
    EXPECT_FALSE(PropertyList::parse(plist(deep)));
}
