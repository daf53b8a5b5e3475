#include "prefs/Preferences.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include <cmath>

#include "TestSupport.h"

#include <cstdlib>

using TestSupport::createFileWithContents;

class PreferencesTest : public StoreSandboxTest {
protected:
    UserDefaults& store() { return UserDefaults::standard(); }
};

TEST_F(PreferencesTest, DaysToSaveLogsIsClampedAndCorrected)
{
    const std::pair<PlistValue, int> cases[] = {
        {PlistValue::integer(0), 14},  {PlistValue::integer(-3), 14}, {PlistValue::integer(1), 3},
        {PlistValue::integer(2), 3},   {PlistValue::integer(3), 3},   {PlistValue::integer(45), 45},
        {PlistValue::integer(90), 90}, {PlistValue::integer(91), 90}, {PlistValue::string("200"), 90},
    };
    for (const auto& [stored, expected] : cases) {
        store().setObject(PrefKey::DaysToSaveLogs, stored);
        EXPECT_EQ(Preferences::getDaysToSaveLogs(), expected) << stored.describe();
        EXPECT_EQ(store().integerForKey(PrefKey::DaysToSaveLogs), expected) << "stored back";
    }
    // 45 is left as the operator typed it.
    store().setObject(PrefKey::DaysToSaveLogs, PlistValue::string("45"));
    Preferences::getDaysToSaveLogs();
    EXPECT_EQ(*store().objectForKey(PrefKey::DaysToSaveLogs), PlistValue::string("45"));
    // Absent counts as 0.
    store().removeObject(PrefKey::DaysToSaveLogs);
    EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
    EXPECT_TRUE(store().hasStoredValue(PrefKey::DaysToSaveLogs));
}

TEST_F(PreferencesTest, UploadTimeOutFallsBackTo500)
{
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    store().setObject(PrefKey::UploadTimeOut, PlistValue::integer(-5));
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    store().setObject(PrefKey::UploadTimeOut, PlistValue::integer(0));
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    store().setObject(PrefKey::UploadTimeOut, PlistValue::integer(30));
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 30.0f);
}

TEST_F(PreferencesTest, SearchTagDecidesWhereHiResFilesAreSought)
{
    const std::tuple<long long, bool, bool> cases[] = {{0, false, false},
                                                       {1, false, true},
                                                       {2, true, false},
                                                       {3, true, true},
                                                       {65539, true, true} /* narrowed to 3 */};
    for (const auto& [tag, alternate, original] : cases) {
        store().setObject(PrefKey::SearchPathMethodTag, PlistValue::integer(tag));
        EXPECT_EQ(Preferences::getPrefDoUseOrvHiResAlternatePath1(), alternate) << tag;
        EXPECT_EQ(Preferences::getPrefAlwaysSearchOriginalPath(), original) << tag;
    }
}

TEST_F(PreferencesTest, WriteBackBooleansCreateTheirKeyOnFirstRead)
{
    using Getter = bool (*)();
    const std::pair<const char*, Getter> writeBack[] = {
        {PrefKey::DeleteEmptyFtpFolders, &Preferences::getPrefDeleteEmptyFtpFolders},
        {PrefKey::AutoSynchronize, &Preferences::getDoAutoSynchronize},
        {PrefKey::DoUseDeleteOldPhotos, &Preferences::getPrefUseDoDeleteOldPhotos},
        {PrefKey::ShowWindowAtStartup, &Preferences::getPrefShowWindowAtStartup},
        {PrefKey::AutoQuitAndRelaunchPerIteration, &Preferences::getPrefAutoQuitAndRelaunchPerIteration},
        {PrefKey::DeleteServerItemFirst, &Preferences::getPrefDeleteServerItemFirst},
        {PrefKey::AutoStartUploadAtStartup, &Preferences::getAutoStartUploadAtStartup},
    };
    for (const auto& [key, getter] : writeBack) {
        EXPECT_FALSE(store().hasValue(key));
        EXPECT_FALSE(getter()) << key;
        ASSERT_TRUE(store().hasStoredValue(key)) << key;
        EXPECT_EQ(*store().objectForKey(key), PlistValue::boolean(false));
        // A remote "yes" reads as YES and is not overwritten.
        store().setString(key, "yes");
        EXPECT_TRUE(getter()) << key;
        EXPECT_EQ(*store().objectForKey(key), PlistValue::string("yes"));
    }
    // Plain booleans never write.
    EXPECT_FALSE(Preferences::getPrefDoCheckOrders());
    EXPECT_FALSE(store().hasValue(PrefKey::DoCheckOrders));
    // A registered default counts as a value: nothing is written back.
    store().registerDefaults({{PrefKey::AutoSynchronize, PlistValue::boolean(true)}});
    store().removeObject(PrefKey::AutoSynchronize);
    EXPECT_TRUE(Preferences::getDoAutoSynchronize());
    EXPECT_FALSE(store().hasStoredValue(PrefKey::AutoSynchronize));
}

TEST_F(PreferencesTest, ProblemFolderSitsBesideTheMirrorFolder)
{
    EXPECT_FALSE(Preferences::getLocalProblemUploadFolder());
    store().setString(PrefKey::LocalMasterMirrorSiteFolder, "/Volumes/Photos/Mirror");
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), "/Volumes/Photos/Problem Folder");
    store().setString(PrefKey::LocalMasterMirrorSiteFolder, "/srv/mirror/");
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), "/srv/Problem Folder");
    store().setString(PrefKey::LocalMasterMirrorSiteFolder, "/mirror");
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), "/Problem Folder");
}

TEST_F(PreferencesTest, FolderSettingsExpandTheHomeFolder)
{
    const char* previous = std::getenv("HOME");
    const std::string savedHome = previous ? previous : "";
    ::setenv("HOME", "/home/station", 1);
    store().setString(PrefKey::LocalSourceUploadFolder, "~/Drop");
    store().setString(PrefKey::LocalMasterMirrorSiteFolder, "~/Archive/Mirror");
    store().setString(PrefKey::OrvHiResAlternatePath1, "~");
    EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), "/home/station/Drop");
    EXPECT_EQ(Preferences::getLocalMasterMirrorSiteFolder(), "/home/station/Archive/Mirror");
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), "/home/station/Archive/Problem Folder");
    EXPECT_EQ(Preferences::getPrefOrvHiResAlternatePath1(), "/home/station");
    EXPECT_EQ(store().stringForKey(PrefKey::LocalSourceUploadFolder), "~/Drop") << "stored as typed";

    // Another user's home; a name that is no user stays as typed, and is
    // refused as a relative path when the folders are checked.
    store().setString(PrefKey::LocalSourceUploadFolder, "~root/Drop");
    EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), "/root/Drop");
    store().setString(PrefKey::LocalSourceUploadFolder, "~no-such-user-here/Drop");
    EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), "~no-such-user-here/Drop");
    EXPECT_FALSE(Preferences::isFullFolderPath("~no-such-user-here/Drop"));
    EXPECT_FALSE(Preferences::isFullFolderPath("Drop/Mirror"));
    EXPECT_TRUE(Preferences::isFullFolderPath("/srv/Drop"));
    store().setString(PrefKey::LocalSourceUploadFolder, "/srv/~Drop");
    EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), "/srv/~Drop");
    if (previous)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
}

TEST_F(PreferencesTest, ShippedFactoryDefaultsRegisterWithoutBeingStored)
{
    ASSERT_TRUE(
        FactoryDefaults::setupFactoryDefaults(std::string(QUON_SOURCE_DIR) + "/resources/FactoryDefault.plist"));
    EXPECT_FALSE(store().boolForKey(PrefKey::DoCopyOldFtpPref));
    EXPECT_TRUE(store().hasValue(PrefKey::DoCopyOldFtpPref)) << "the migration needs the key";
    EXPECT_EQ(store().integerForKey(PrefKey::SecondsBetweenScans), 120);
    EXPECT_EQ(store().integerForKey(PrefKey::MinutesForCheckOrders), 60);
    EXPECT_EQ(Preferences::getOrvFuseAction(), "upload.upload");
    EXPECT_EQ(Preferences::getPrefOrvURL()->rfind("http://127.0.0.1:", 0), 0u);
    EXPECT_TRUE(store().storedValues().empty());

    const auto initial = FactoryDefaults::exportedInitialValues();
    for (const auto& [key, value] : initial)
        EXPECT_NE(std::find(Preferences::exportedKeys().begin(), Preferences::exportedKeys().end(), key),
                  Preferences::exportedKeys().end());
    EXPECT_EQ(Preferences::exportedKeys().size(), 18u);
    EXPECT_EQ(Preferences::exportedKeys().front(), PrefKey::LocalMasterMirrorSiteFolder);
    EXPECT_EQ(Preferences::exportedKeys().back(), PrefKey::DoCopyOldFtpPref);

    // A missing resource registers nothing and says so.
    TestSupport::LogCapture log;
    EXPECT_FALSE(FactoryDefaults::setupFactoryDefaults(fSandbox.file("missing.plist")));
    EXPECT_TRUE(log.contains("userDefaultsValuesDict == NIL!!!!"));
}

TEST_F(PreferencesTest, OldUploaderSettingsAreCopiedOnce)
{
    const std::string oldPath = fSandbox.file("old/defaults.plist");
    TestSupport::LogCapture log;

    // Without the marker key in the factory defaults nothing happens.
    FactoryDefaults::migrateOldUploaderPreferences(oldPath);
    EXPECT_TRUE(log.contains("This version does NOT have pref = [prefDoCopyOldFtpPref]"));

    store().registerDefaults({{PrefKey::DoCopyOldFtpPref, PlistValue::boolean(false)}});
    FactoryDefaults::migrateOldUploaderPreferences(oldPath);
    EXPECT_TRUE(log.contains("NO OLD ftp-uploader.plist to copy..."));
    EXPECT_FALSE(store().hasStoredValue(PrefKey::DoCopyOldFtpPref)) << "tried again next launch";

    createFileWithContents(oldPath, "not a plist");
    FactoryDefaults::migrateOldUploaderPreferences(oldPath);
    EXPECT_FALSE(store().boolForKey(PrefKey::DoCopyOldFtpPref)) << "unreadable: tried again next launch";

    createFileWithContents(oldPath,
                           PropertyList::toXml(PlistValue::dictionary({
                               {PrefKey::UserLoginName, PlistValue::string("oldstation")},
                               {PrefKey::SecondsBetweenScans, PlistValue::integer(45)},
                               {PrefKey::OrvURL, PlistValue::string("http://elsewhere/")}, // not exported
                           })));
    FactoryDefaults::migrateOldUploaderPreferences(oldPath);
    EXPECT_EQ(store().stringForKey(PrefKey::UserLoginName), "oldstation");
    EXPECT_EQ(store().integerForKey(PrefKey::SecondsBetweenScans), 45);
    EXPECT_FALSE(store().hasValue(PrefKey::OrvURL));
    EXPECT_TRUE(store().boolForKey(PrefKey::DoCopyOldFtpPref));

    // Once copied, later edits of the old file are ignored.
    store().setString(PrefKey::UserLoginName, "changed here");
    FactoryDefaults::migrateOldUploaderPreferences(oldPath);
    EXPECT_TRUE(log.contains("ALREADY Copied OLD Ftp Prefs..."));
    EXPECT_EQ(store().stringForKey(PrefKey::UserLoginName), "changed here");
}

TEST_F(PreferencesTest, SettingsUtilities)
{
    const std::string yes = "YES", no = "nO", other = "true", empty;
    EXPECT_TRUE(isValidYesNoString(&yes));
    EXPECT_TRUE(isValidYesNoString(&no));
    EXPECT_FALSE(isValidYesNoString(&other));
    EXPECT_FALSE(isValidYesNoString(&empty));
    EXPECT_FALSE(isValidYesNoString(nullptr));

    TestSupport::LogCapture log;
    EXPECT_TRUE(saveSettingToUserDefaults(PlistValue::string("secret"), PrefKey::UserLoginPassword));
    EXPECT_TRUE(saveSettingToUserDefaults(PlistValue::string("Wedding"), PrefKey::UserEnteredEventName));
    EXPECT_TRUE(log.contains("SETTING parameterValue=[Wedding] for parameterName=[userEnteredEventName]"));
    EXPECT_EQ(log.count("secret"), 0u) << "the password never reaches the log";
    store().reset();
    store().open(storePath());
    EXPECT_EQ(store().stringForKey(PrefKey::UserLoginPassword), "secret");
}

// NaN and infinity slip through every "greater than 0" check; they count as
// no number: the order check has its rule for that (its reading is 0, so 10 s),
// the others fall back as for a missing value.
TEST_F(PreferencesTest, NumbersThatAreNotNumbersCountAsMissingOrAsZero)
{
    const PlistValue notNumbers[] = {PlistValue::real(NAN),      PlistValue::real(-NAN),
                                     PlistValue::real(INFINITY), PlistValue::real(-INFINITY),
                                     PlistValue::string("nan"),  PlistValue::string(" inf")};
    for (const auto& value : notNumbers) {
        SCOPED_TRACE(value.describe());
        EXPECT_TRUE(UserDefaults::isNotANumber(value));
        store().setObject(PrefKey::SecondsBetweenScans, value);
        EXPECT_FALSE(Preferences::getPrefSecondsBetweenScans()) << "missing: the rescan timer uses 120 s";
        store().setObject(PrefKey::DaysOldBeforeDeleting, value);
        EXPECT_FALSE(Preferences::getPrefDaysOldBeforeDeleting()) << "missing: 30 days, never 0";
        store().setObject(PrefKey::MinutesForCheckOrders, value);
        ASSERT_TRUE(Preferences::getPrefMinutesForCheckOrders());
        EXPECT_EQ(UserDefaults::doubleValue(*Preferences::getPrefMinutesForCheckOrders()), 0.0);
        store().setObject(PrefKey::UploadTimeOut, value);
        EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
        store().setObject(PrefKey::DoContinueAfterFailedUploadSecs, value);
        EXPECT_EQ(Preferences::getPrefDoContinueAfterFailedUploadSecs(), 0.0);
        EXPECT_EQ(store().integerForKey(PrefKey::DoContinueAfterFailedUploadSecs), 0);
        EXPECT_FALSE(store().boolForKey(PrefKey::DoContinueAfterFailedUploadSecs));
    }
    // Beyond a float's range is no number for a float reading either.
    store().setObject(PrefKey::UploadTimeOut, PlistValue::real(1e300));
    EXPECT_FLOAT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    // Ordinary numbers and texts are read as before.
    for (const auto& value : {PlistValue::real(90), PlistValue::string("90abc"), PlistValue::integer(90)}) {
        EXPECT_FALSE(UserDefaults::isNotANumber(value));
        store().setObject(PrefKey::SecondsBetweenScans, value);
        ASSERT_TRUE(Preferences::getPrefSecondsBetweenScans());
        EXPECT_EQ(UserDefaults::doubleValue(*Preferences::getPrefSecondsBetweenScans()), 90.0);
    }
    EXPECT_FALSE(UserDefaults::isNotANumber(PlistValue::string("abc")));
}
