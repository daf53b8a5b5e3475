#include "scan/UserCommentText.h"

#include <gtest/gtest.h>
#include <string>

using UserCommentText::Charset;
using namespace std::string_literals;

namespace {

const std::string kUnicode = "UNICODE\0"s;
// "Aé😀" in UTF-8, and in UTF-16 both ways (U+1F600 is the pair D83D DE00).
const std::string kText = "A\xC3\xA9\xF0\x9F\x98\x80";
const std::string kBigEndian = "\x00\x41\x00\xE9\xD8\x3D\xDE\x00"s;
const std::string kLittleEndian = "\x41\x00\xE9\x00\x3D\xD8\x00\xDE"s;

} // namespace

TEST(PhotoUserCommentText, UnicodeFollowsTheExifByteOrderUnlessAMarkSaysOtherwise)
{
    EXPECT_EQ(UserCommentText::decode(kUnicode + kBigEndian, true), kText);
    EXPECT_EQ(UserCommentText::decode(kUnicode + kLittleEndian, false), kText);
    // A byte-order mark wins over the block's byte order, and is not text.
    EXPECT_EQ(UserCommentText::decode(kUnicode + "\xFE\xFF"s + kBigEndian, false), kText);
    EXPECT_EQ(UserCommentText::decode(kUnicode + "\xFF\xFE"s + kLittleEndian, true), kText);
    // Text ends at U+0000; an odd last byte is not a character.
    EXPECT_EQ(UserCommentText::decode(kUnicode + kBigEndian + "\x00\x00\x00\x42"s, true), kText);
    EXPECT_EQ(UserCommentText::decode(kUnicode + kBigEndian + "\x00"s, true), kText);
}

TEST(PhotoUserCommentText, UnpairedSurrogatesCannotBeDecoded)
{
    EXPECT_EQ(UserCommentText::decode(kUnicode + "\x00\x41\xD8\x3D"s, true), std::nullopt);
    EXPECT_EQ(UserCommentText::decode(kUnicode + "\xD8\x3D\x00\x41"s, true), std::nullopt);
    EXPECT_EQ(UserCommentText::decode(kUnicode + "\xDE\x00\x00\x41"s, true), std::nullopt);
}

TEST(PhotoUserCommentText, SingleByteTextEndsAtNulAndFallsBackToLatin1)
{
    EXPECT_EQ(UserCommentText::decode("ASCII\0\0\0<plist/>\0\0junk"s, false), "<plist/>");
    EXPECT_EQ(UserCommentText::decode("\0\0\0\0\0\0\0\0caf\xC3\xA9"s, false), "caf\xC3\xA9");
    EXPECT_EQ(UserCommentText::decode("ASCII\0\0\0caf\xE9"s, false), "caf\xC3\xA9");
    EXPECT_EQ(UserCommentText::decode("ASCII\0\0\0"s, false), "");
}

TEST(PhotoUserCommentText, JisUnknownAndShortPrefixesAreNotDecoded)
{
    EXPECT_EQ(UserCommentText::charsetOf("JIS\0\0\0\0\0abc"s), Charset::Jis);
    EXPECT_EQ(UserCommentText::decode("JIS\0\0\0\0\0abc"s, false), std::nullopt);
    EXPECT_EQ(UserCommentText::decode("<?xml version=\"1.0\"?>"s, false), std::nullopt);
    EXPECT_EQ(UserCommentText::decode("ASCII"s, false), std::nullopt);
    EXPECT_EQ(UserCommentText::decode(""s, false), std::nullopt);
}

TEST(PhotoUserCommentText, EncodeWritesPrefixAndUtf16WithoutMark)
{
    EXPECT_EQ(UserCommentText::encode(kText, Charset::Unicode, true), kUnicode + kBigEndian);
    EXPECT_EQ(UserCommentText::encode(kText, Charset::Unicode, false), kUnicode + kLittleEndian);
    EXPECT_EQ(UserCommentText::encode("abc", Charset::Ascii, false), "ASCII\0\0\0abc"s);
    EXPECT_EQ(UserCommentText::encode("abc", Charset::Undefined, true), "\0\0\0\0\0\0\0\0abc"s);
}

TEST(PhotoUserCommentText, StrictUtf8)
{
    EXPECT_TRUE(UserCommentText::isValidUtf8(kText));
    EXPECT_TRUE(UserCommentText::isValidUtf8("plain\0padding"s));
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xC0\x80"s));         // overlong NUL
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xE0\x80\xAF"s));     // overlong "/"
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xED\xA0\x80"s));     // surrogate
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xF4\x90\x80\x80"s)); // past U+10FFFF
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xE2\x82"s));         // cut short
    EXPECT_FALSE(UserCommentText::isValidUtf8("\xFF"s));
}
