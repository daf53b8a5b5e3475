#include "platform/UserDefaults.h"
#include "platform/PropertyList.h"

#include "TestSupport.h"

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <thread>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;

class UserDefaultsTest : public StoreSandboxTest {
protected:
    UserDefaults& store() { return UserDefaults::standard(); }
};

TEST_F(UserDefaultsTest, ReadConversionsFollowTheSettingsRules)
{
    struct Case {
        PlistValue value;
        bool asBool;
        long long asInteger;
        double asDouble;
        std::optional<std::string> asText;
    };
    const Case cases[] = {
        {PlistValue::boolean(true), true, 1, 1.0, "1"},
        {PlistValue::boolean(false), false, 0, 0.0, "0"},
        {PlistValue::integer(90), true, 90, 90.0, "90"},
        {PlistValue::integer(0), false, 0, 0.0, "0"},
        {PlistValue::real(7.9), true, 7, 7.9, "7.9"},
        {PlistValue::real(-0.5), true, 0, -0.5, "-0.5"},
        {PlistValue::real(90.0f), true, 90, 90.0, "90"},
        {PlistValue::string("yes"), true, 0, 0.0, "yes"},
        {PlistValue::string("YES"), true, 0, 0.0, "YES"},
        {PlistValue::string("  true"), true, 0, 0.0, "  true"},
        {PlistValue::string("no"), false, 0, 0.0, "no"},
        {PlistValue::string("false"), false, 0, 0.0, "false"},
        {PlistValue::string("7 days"), true, 7, 7.0, "7 days"},
        {PlistValue::string("0"), false, 0, 0.0, "0"},
        {PlistValue::string(" 12.5abc"), true, 12, 12.5, " 12.5abc"},
        {PlistValue::string("-3"), false, -3, -3.0, "-3"},
        {PlistValue::string("abc"), false, 0, 0.0, "abc"},
        {PlistValue::string(""), false, 0, 0.0, ""},
        {PlistValue::array({}), false, 0, 0.0, std::nullopt},
    };
    int i = 0;
    for (const auto& c : cases) {
        const std::string key = "key" + std::to_string(i++);
        store().setObject(key, c.value);
        EXPECT_EQ(store().boolForKey(key), c.asBool) << c.value.describe();
        EXPECT_EQ(store().integerForKey(key), c.asInteger) << c.value.describe();
        EXPECT_DOUBLE_EQ(store().doubleForKey(key), c.asDouble) << c.value.describe();
        EXPECT_EQ(store().stringForKey(key), c.asText) << c.value.describe();
    }
    EXPECT_FALSE(store().boolForKey("absent"));
    EXPECT_EQ(store().integerForKey("absent"), 0);
    EXPECT_EQ(store().doubleForKey("absent"), 0.0);
    EXPECT_FALSE(store().stringForKey("absent"));
    EXPECT_FALSE(store().objectForKey("absent"));
}

TEST_F(UserDefaultsTest, StoredValuesShadowRegisteredDefaultsAndSurviveARestart)
{
    store().registerDefaults({{"prefSecondsBetweenScans", PlistValue::integer(120)},
                              {"prefOrvFuseAction", PlistValue::string("upload.upload")}});
    EXPECT_EQ(store().integerForKey("prefSecondsBetweenScans"), 120);
    EXPECT_FALSE(store().hasStoredValue("prefSecondsBetweenScans"));

    store().setObject("prefSecondsBetweenScans", PlistValue::real(90.0));
    store().setString("userLoginName", "kiosk-7");
    EXPECT_EQ(store().integerForKey("prefSecondsBetweenScans"), 90);

    struct stat st { };
    ASSERT_EQ(::stat(storePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the store holds the password";

    // A new run: the registered layer is rebuilt, the stored one re-read.
    store().reset();
    store().open(storePath());
    store().registerDefaults({{"prefOrvFuseAction", PlistValue::string("upload.upload")}});
    EXPECT_DOUBLE_EQ(store().doubleForKey("prefSecondsBetweenScans"), 90.0);
    EXPECT_EQ(store().stringForKey("userLoginName"), "kiosk-7");
    EXPECT_EQ(store().stringForKey("prefOrvFuseAction"), "upload.upload");
    EXPECT_FALSE(store().hasStoredValue("prefOrvFuseAction")) << "defaults are never saved";

    store().removeObject("userLoginName");
    store().reset();
    store().open(storePath());
    EXPECT_FALSE(store().stringForKey("userLoginName"));
}

TEST_F(UserDefaultsTest, ACorruptStoreIsKeptAsideAndNeverOverwritten)
{
    store().reset();
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>userLoginName</key><string>half";
    createFileWithContents(storePath(), garbage);
    TestSupport::LogCapture log;
    EXPECT_FALSE(store().open(storePath()));
    EXPECT_EQ(readWholeFile(storePath() + ".corrupt"), garbage);
    EXPECT_TRUE(log.contains(".corrupt"));
    EXPECT_FALSE(store().stringForKey("userLoginName"));

    // The program goes on and saves a fresh store where the old one was.
    store().setString("userLoginName", "new");
    store().reset();
    store().open(storePath());
    EXPECT_EQ(store().stringForKey("userLoginName"), "new");

    // A second corrupt file does not replace the first one kept aside.
    store().reset();
    createFileWithContents(storePath(), "<plist><array>");
    EXPECT_FALSE(store().open(storePath()));
    EXPECT_EQ(readWholeFile(storePath() + ".corrupt"), garbage);
    EXPECT_EQ(readWholeFile(storePath() + ".corrupt.1"), "<plist><array>");

    // A list that parses but is not a dictionary is just as unusable.
    store().reset();
    createFileWithContents(storePath(), PropertyList::toXml(PlistValue::array({PlistValue::integer(1)})));
    EXPECT_FALSE(store().open(storePath()));
    EXPECT_TRUE(std::filesystem::exists(storePath() + ".corrupt.2"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersLeaveAWholeStore)
{
    constexpr int kThreads = 8;
    constexpr int kWrites = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, this] {
            for (int i = 0; i < kWrites; ++i) {
                store().setObject("writer" + std::to_string(t), PlistValue::integer(i));
                (void)store().integerForKey("writer" + std::to_string((t + 1) % kThreads));
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(store().integerForKey("writer" + std::to_string(t)), kWrites - 1);

    auto onDisk = PropertyList::readFile(storePath());
    ASSERT_TRUE(onDisk && onDisk->isDictionary());
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(*onDisk->find("writer" + std::to_string(t))->asInteger(), kWrites - 1);
    // No temporary files are left behind.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(storePath()).parent_path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}
