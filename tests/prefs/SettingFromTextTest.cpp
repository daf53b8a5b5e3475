#include "prefs/SettingFromText.h"
#include "prefs/PreferenceKeys.h"

#include <gtest/gtest.h>
#include <set>

namespace {

PlistValue parsed(const std::string& key, const std::string& text)
{
    std::string error;
    auto value = SettingFromText::parse(key, text, &error);
    EXPECT_TRUE(value) << key << "=" << text << ": " << error;
    return value.value_or(PlistValue::string("<refused>"));
}

std::string refusal(const std::string& key, const std::string& text)
{
    std::string error;
    auto value = SettingFromText::parse(key, text, &error);
    EXPECT_FALSE(value) << key << "=" << text << " gave " << (value ? value->describe() : "");
    return error;
}

} // namespace

TEST(SettingFromText, TextsStayTextsWhateverTheyLookLike)
{
    EXPECT_EQ(parsed(PrefKey::UserLoginPassword, "0012"), PlistValue::string("0012"));
    EXPECT_EQ(parsed(PrefKey::UserLoginName, "true"), PlistValue::string("true"));
    EXPECT_EQ(parsed(PrefKey::UserEnteredEventName, "2.50"), PlistValue::string("2.50"));
    EXPECT_EQ(parsed(PrefKey::OrvURL, "http://127.0.0.1:8765/upload?a=b"),
              PlistValue::string("http://127.0.0.1:8765/upload?a=b"));
    EXPECT_EQ(parsed(PrefKey::LocalSourceUploadFolder, "/srv/Photos/Event 12"),
              PlistValue::string("/srv/Photos/Event 12"));
    // An empty value clears a text, it does not refuse it.
    EXPECT_EQ(parsed(PrefKey::UserLoginPassword, ""), PlistValue::string(""));
    EXPECT_EQ(parsed(PrefKey::OrvHiResAlternatePath1, ""), PlistValue::string(""));
}

TEST(SettingFromText, BooleansTakeTrueFalseYesOrNoInAnyCase)
{
    for (const char* yes : {"true", "TRUE", "yes", "Yes"})
        EXPECT_EQ(parsed(PrefKey::AutoStartUploadAtStartup, yes), PlistValue::boolean(true)) << yes;
    for (const char* no : {"false", "False", "no", "NO"})
        EXPECT_EQ(parsed(PrefKey::UploadMovie, no), PlistValue::boolean(false)) << no;
    for (const char* bad : {"", "1", "0", "y", "on", "yes ", "truee"})
        EXPECT_NE(refusal(PrefKey::UploadMovie, bad).find("true, false, yes or no"), std::string::npos) << bad;
}

TEST(SettingFromText, NumbersAndWholeNumbersMustBeWrittenAsSuch)
{
    EXPECT_EQ(parsed(PrefKey::SecondsBetweenScans, "90"), PlistValue::integer(90));
    EXPECT_EQ(parsed(PrefKey::SecondsBetweenScans, "2.5"), PlistValue::real(2.5));
    EXPECT_EQ(parsed(PrefKey::UploadTimeOut, "0"), PlistValue::integer(0));
    EXPECT_EQ(parsed(PrefKey::DaysToSaveLogs, "14"), PlistValue::integer(14));
    EXPECT_EQ(parsed(PrefKey::SearchPathMethodTag, "3"), PlistValue::integer(3));
    for (const char* bad : {"", "abc", "90s", "-5", "1e3", "inf", "nan", " 90", "+90", "0x10"})
        EXPECT_NE(refusal(PrefKey::SecondsBetweenScans, bad).find("a number of 0 or more"), std::string::npos) << bad;
    for (const char* bad : {"7.9", "", "seven", "-1"})
        EXPECT_NE(refusal(PrefKey::DaysToSaveLogs, bad).find("a whole number"), std::string::npos) << bad;
    // Less than a day would delete every filed photo at the next cleanup.
    EXPECT_NE(refusal(PrefKey::DaysOldBeforeDeleting, "0").find("a whole number of 1 or more"), std::string::npos);
    EXPECT_EQ(parsed(PrefKey::DaysOldBeforeDeleting, "30"), PlistValue::integer(30));
}

TEST(SettingFromText, AnUnknownKeyIsRefusedWithTheListOfSettings)
{
    const std::string message = refusal("prefNoSuchThing", "1");
    EXPECT_EQ(message.rfind("unknown setting \"prefNoSuchThing\"", 0), 0u) << message;
    for (const auto& known : SettingFromText::knownKeys())
        EXPECT_NE(message.find(std::string("\n  ") + known.name + "  ("), std::string::npos) << known.name;
    // Keys are stored as spelled: a wrong case is a different key, but the message helps.
    EXPECT_NE(refusal("userloginpassword", "0012").find("did you mean userLoginPassword?"), std::string::npos);
    EXPECT_FALSE(SettingFromText::parse("", "x", nullptr));
}

TEST(SettingFromText, EveryKeyOfTheStoreIsKnownOnce)
{
    std::set<std::string> names;
    for (const auto& known : SettingFromText::knownKeys())
        EXPECT_TRUE(names.insert(known.name).second) << known.name;
    EXPECT_EQ(names.size(), 38u);
}
