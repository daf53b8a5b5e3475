#include "platform/PropertyList.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

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
    for (const std::string& padding :
         {std::string(100, '\0'), std::string("  \n\t\r\n"), std::string("\n\0\0 \0", 5)}) {
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

namespace {

// A binary property list of the given objects (object 0 the root), with
// one-byte offsets and references.
std::string binaryPlist(const std::vector<std::string>& objects)
{
    std::string out = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<char>(out.size()));
        out += object;
    }
    const size_t tableOffset = out.size();
    out += offsets;
    std::string trailer(6, '\0');
    trailer += '\1'; // offset size
    trailer += '\1'; // reference size
    auto be64 = [&trailer](uint64_t v) {
        for (int shift = 56; shift >= 0; shift -= 8)
            trailer.push_back(static_cast<char>((v >> shift) & 0xFF));
    };
    be64(objects.size());
    be64(0);
    be64(tableOffset);
    return out + trailer;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

} // namespace

// A preference file is read whatever its form; a text holding a NUL made the
// property-list library abort the whole program.
TEST(PropertyList, BinaryListsAreReadAndATextWithANulIsRefused)
{
    const std::string good = binaryPlist({bytes({0xD2, 1, 2, 3, 4}), "\x51k", "\x51n", "\x51v", bytes({0x10, 5})});
    auto value = PropertyList::parse(good);
    ASSERT_TRUE(value);
    ASSERT_TRUE(value->find("k") && value->find("n"));
    EXPECT_EQ(*value->find("k")->asString(), "v");
    EXPECT_EQ(*value->find("n")->asInteger(), 5);

    // "a", U+0000, "b" as a UTF-16 value, then as a key.
    const std::string nulValue = binaryPlist({bytes({0xD1, 1, 2}), "\x51k", bytes({0x63, 0, 'a', 0, 0, 0, 'b'})});
    const std::string nulKey = binaryPlist({bytes({0xD1, 1, 2}), bytes({0x63, 0, 'a', 0, 0, 0, 'b'}), "\x51v"});
    for (const auto& input : {nulValue, nulKey}) {
        std::string error;
        EXPECT_FALSE(PropertyList::parse(input, &error));
        EXPECT_FALSE(error.empty());
    }
}
