#include "remote/AppleEventHandler.h"
#include "RemoteTestSupport.h"
#include "platform/UserDefaults.h"

#include <cmath>
#include <gtest/gtest.h>

using RemoteTest::LogLines;
using RemoteTest::RecordingTarget;

namespace {

AppleEventDescriptor text(const std::string& value) { return AppleEventDescriptor::descriptorWithString(value); }

AppleEventDescriptor list(AppleEventDescriptor::List items)
{
    return AppleEventDescriptor::listDescriptor(std::move(items));
}

AppleEventDescriptor getReply(const std::string& word, const std::string& key, const std::string& value)
{
    return list({text("COMMAND SUCCESS"), list({text(word), text(key), text(value)})});
}

class AppleEventHandlerTest : public RemoteTest::SettingsTest {
protected:
    void SetUp() override
    {
        SettingsTest::SetUp();
        ASSERT_TRUE(fHandler.setupForAppleEventsForThisApp(&fTarget));
    }

    // Sends an event the way the command socket does; returns the reply's
    // direct object (none when no reply was set).
    AppleEventDescriptor send(const std::string& eventClass, const std::string& eventID,
                              AppleEventDescriptor directObject = {}, bool wantsReply = true)
    {
        AppleEvent event;
        event.eventClass = eventClass;
        event.eventID = eventID;
        event.directObject = std::move(directObject);
        event.wantsReply = wantsReply;
        AppleEvent reply = AppleEvent::replyEvent();
        EXPECT_TRUE(fHandler.dispatchAppleEvent(event, wantsReply ? &reply : nullptr));
        return reply.directObject;
    }

    AppleEventDescriptor command(const std::string& word, const std::string& key, const std::string& value)
    {
        return send("quon", "1234", list({text(word), text(key), text(value)}));
    }

    UserDefaults& store() { return UserDefaults::standard(); }

    RecordingTarget fTarget;
    AppleEventHandler fHandler;
};

const AppleEventDescriptor kSuccess = AppleEventDescriptor::descriptorWithString("COMMAND SUCCESS");
const AppleEventDescriptor kFailed = AppleEventDescriptor::descriptorWithString("COMMAND FAILED");

} // namespace

TEST_F(AppleEventHandlerTest, ProcessCommandsReachTheControllerAndAnswerAsTheTableSays)
{
    LogLines log;
    EXPECT_EQ(send("quon", "upnw"), text("ACCEPTED"));
    EXPECT_EQ(send("quon", "paus"), text("ACCEPTED"));
    EXPECT_EQ(fTarget.calls, (std::vector<std::string>{"ibClickedOnSynchronizeAgain", "forceProcessToPause"}));
    // A pause changes no setting, whatever state the controller is in.
    EXPECT_TRUE(store().storedValues().empty());

    // Quit goes through the controller's own quit and sets no reply.
    EXPECT_TRUE(send("aevt", "quit").isNone());
    EXPECT_EQ(fTarget.calls.back(), "ibClickedOnQuit");
    EXPECT_TRUE(log.contains("Received kAEQuitApplication..."));

    // The action runs even when the sender does not wait for the answer.
    send("quon", "upnw", {}, false);
    EXPECT_EQ(fTarget.calls.back(), "ibClickedOnSynchronizeAgain");
}

TEST_F(AppleEventHandlerTest, StatusAnswersTheStationsReportAsOneText)
{
    fTarget.statusReport = R"({"state":"uploading","photo":"/src/IMG_1.jpg"})";
    EXPECT_EQ(send("quon", "stat"), text(R"({"state":"uploading","photo":"/src/IMG_1.jpg"})"));
    EXPECT_TRUE(send("quon", "stat", {}, false).isNone()) << "nobody waits for it";
    EXPECT_TRUE(fTarget.calls.empty()) << "reading the status changes nothing";
    EXPECT_TRUE(store().storedValues().empty());
}

TEST_F(AppleEventHandlerTest, OnlyTheRegisteredEventsAreHandled)
{
    AppleEvent reply = AppleEvent::replyEvent();
    for (const auto& [eventClass, eventID] : std::vector<std::pair<std::string, std::string>>{{"quon", "quit"},
                                                                                              {"aevt", "upnw"},
                                                                                              {"aevt", "1234"},
                                                                                              {"aevt", "stat"},
                                                                                              {"quon", "xxxx"},
                                                                                              {"QUON", "upnw"}}) {
        AppleEvent event;
        event.eventClass = eventClass;
        event.eventID = eventID;
        EXPECT_FALSE(fHandler.dispatchAppleEvent(event, &reply)) << eventClass << "/" << eventID;
    }
    EXPECT_TRUE(fTarget.calls.empty());
    EXPECT_TRUE(reply.directObject.isNone());

    LogLines log;
    AppleEventHandler unset;
    EXPECT_FALSE(unset.setupForAppleEventsForThisApp(nullptr));
    EXPECT_TRUE(log.contains("UNABLE setupForAppleEventsForThisApp"));
    EXPECT_FALSE(unset.isRegistered("quon", "upnw"));
}

TEST_F(AppleEventHandlerTest, SecondsBetweenScansIsStoredAsSinglePrecisionAndReadBackWithTwoDecimals)
{
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "90"), kSuccess);
    EXPECT_EQ(store().objectForKey("prefSecondsBetweenScans"), PlistValue::real(90.0));
    EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "-"),
              getReply("getValue", "prefSecondsBetweenScans", "90.00"));

    // Rejected values leave the setting as it was.
    for (const char* bad : {"abc", "0", "-5", "", "nan", "inf", "1e39", "1e-60"}) {
        EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", bad), kFailed) << bad;
        EXPECT_EQ(store().floatForKey("prefSecondsBetweenScans"), 90.0f) << bad;
    }

    // The leading number counts, the rest of the text does not.
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", " 12.5 seconds"), kSuccess);
    EXPECT_EQ(store().doubleForKey("prefSecondsBetweenScans"), 12.5);
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "0.1"), kSuccess);
    EXPECT_EQ(store().doubleForKey("prefSecondsBetweenScans"), static_cast<double>(0.1f));
    EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "-"),
              getReply("getValue", "prefSecondsBetweenScans", "0.10"));

    // The reply echoes the command word and key as they were sent.
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "120"), kSuccess);
    EXPECT_EQ(command("GETVALUE", "PREFSECONDSBETWEENSCANS", "x"),
              getReply("GETVALUE", "PREFSECONDSBETWEENSCANS", "120.00"));
}

TEST_F(AppleEventHandlerTest, SecondsBetweenScansReadsWhatTheStoreHoldsInAnyForm)
{
    // Set by a preference file or a registered default rather than a command.
    store().registerDefaults({{"prefSecondsBetweenScans", PlistValue::integer(300)}});
    EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "-"),
              getReply("getValue", "prefSecondsBetweenScans", "300.00"));
    store().setObject("prefSecondsBetweenScans", PlistValue::string("45.678"));
    EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "-"),
              getReply("getValue", "prefSecondsBetweenScans", "45.68"));
}

TEST_F(AppleEventHandlerTest, DaysOldBeforeDeletingKeepsTheWholeDaysAsAnInteger)
{
    EXPECT_EQ(command("setValue", "prefDaysOldBeforeDeleting", "7.9"), kSuccess);
    EXPECT_EQ(store().objectForKey("prefDaysOldBeforeDeleting"), PlistValue::integer(7));
    EXPECT_EQ(command("setValue", "prefDaysOldBeforeDeleting", "30 days"), kSuccess);
    EXPECT_EQ(store().integerForKey("prefDaysOldBeforeDeleting"), 30);

    // Less than one whole day would make the cleanup delete every filed photo;
    // values past 32767 would wrap in the cleanup's 16-bit day count.
    for (const char* bad : {"0.5", "0", "-3", "abc", "40000", "inf"}) {
        EXPECT_EQ(command("setValue", "prefDaysOldBeforeDeleting", bad), kFailed) << bad;
        EXPECT_EQ(store().objectForKey("prefDaysOldBeforeDeleting"), PlistValue::integer(30)) << bad;
    }
    // Not readable by command.
    EXPECT_EQ(command("getValue", "prefDaysOldBeforeDeleting", "-"), kFailed);
}

TEST_F(AppleEventHandlerTest, YesNoKeysTakeOnlyYesOrNoAndStoreTheTextAsSent)
{
    EXPECT_EQ(command("setValue", "prefAutoSynchronize", "YES"), kSuccess);
    EXPECT_EQ(store().objectForKey("prefAutoSynchronize"), PlistValue::string("YES"));
    EXPECT_TRUE(store().boolForKey("prefAutoSynchronize"));

    for (const char* bad : {"true", "1", "y", "yes ", ""}) {
        EXPECT_EQ(command("setValue", "prefAutoSynchronize", bad), kFailed) << bad;
        EXPECT_EQ(store().objectForKey("prefAutoSynchronize"), PlistValue::string("YES")) << bad;
    }

    for (const char* key : {"prefShowPreviewWhenUploading", "prefDeleteEmptyFtpFolders", "prefAutoSynchronize",
                            "prefUseEventName", "prefDoUseDeleteOldPhotos", "prefAutoStartUploadAtStartup"}) {
        EXPECT_EQ(command("setValue", key, "No"), kSuccess) << key;
        EXPECT_EQ(store().objectForKey(key), PlistValue::string("No")) << key;
        EXPECT_FALSE(store().boolForKey(key)) << key;
        // Not readable by command.
        EXPECT_EQ(command("getValue", key, "-"), kFailed) << key;
    }
}

TEST_F(AppleEventHandlerTest, TextKeysAreWrittenAndReadUnderTheNameTheUploaderUses)
{
    EXPECT_EQ(command("SETVALUE", "userLoginName", "station-7"), kSuccess);
    EXPECT_EQ(store().stringForKey("userLoginName"), "station-7");
    EXPECT_EQ(command("getValue", "userLoginName", "-"), getReply("getValue", "userLoginName", "station-7"));

    // A key spelled in another case changes the setting the uploader reads,
    // not a stray entry nobody reads.
    EXPECT_EQ(command("setValue", "USERLOGINNAME", "station-8"), kSuccess);
    EXPECT_EQ(store().stringForKey("userLoginName"), "station-8");
    EXPECT_FALSE(store().hasValue("USERLOGINNAME"));
    EXPECT_EQ(command("getvalue", "UserLoginName", "-"), getReply("getvalue", "UserLoginName", "station-8"));

    EXPECT_EQ(command("setValue", "userEnteredEventName", "Spring Gala"), kSuccess);
    EXPECT_EQ(command("setValue", "userLoginPassword", ""), kSuccess);
    EXPECT_EQ(store().stringForKey("userLoginPassword"), "");
}

TEST_F(AppleEventHandlerTest, ReadingASettingWithoutAValueAnswersSuccessAlone)
{
    EXPECT_EQ(command("getValue", "userEnteredEventName", "-"), kSuccess);
    // The request's placeholder is not passed off as the interval.
    EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "75"), kSuccess);
}

TEST_F(AppleEventHandlerTest, FailedParameterCommandsChangeNothing)
{
    LogLines log;
    EXPECT_EQ(command("setValue", "prefUploadTimeOut", "5"), kFailed);
    EXPECT_TRUE(log.contains("Unsupported keyname=[prefUploadTimeOut] and keyValue=[5]"));
    EXPECT_TRUE(log.contains("INVALID parameterValue=[5] for parameterName=[prefUploadTimeOut]"));
    EXPECT_EQ(command("getValue", "prefOrvURL", "-"), kFailed);

    // A word that is neither setValue nor getValue did nothing: no success.
    EXPECT_EQ(command("setValu", "userLoginName", "x"), kFailed);

    // No direct object, or one that is not three texts.
    EXPECT_EQ(send("quon", "1234"), kFailed);
    EXPECT_TRUE(log.contains("Unable to Get descriptorForKeyword: keyDirectObject???"));
    EXPECT_EQ(send("quon", "1234", list({text("setValue"), text("userLoginName")})), kFailed);
    EXPECT_EQ(send("quon", "1234", text("setValue userLoginName x")), kFailed);
    EXPECT_EQ(send("quon", "1234", list({text("setValue"), list({text("userLoginName")}), text("x")})), kFailed);

    // A parameter command nobody waits for is not carried out.
    EXPECT_TRUE(send("quon", "1234", list({text("setValue"), text("userLoginName"), text("x")}), false).isNone());

    EXPECT_TRUE(store().storedValues().empty());
    EXPECT_TRUE(fTarget.calls.empty());
}

TEST_F(AppleEventHandlerTest, ThePasswordNeverReachesTheLog)
{
    LogLines log;
    EXPECT_EQ(command("setValue", "userLoginPassword", "s3cret-pw"), kSuccess);
    EXPECT_EQ(command("getValue", "userLoginPassword", "-"), getReply("getValue", "userLoginPassword", "s3cret-pw"));
    EXPECT_EQ(command("setValue", "USERLOGINPASSWORD", "s3cret-pw"), kSuccess);
    EXPECT_TRUE(log.contains("GOT 1234"));
    EXPECT_FALSE(log.contains("s3cret-pw"));
}

TEST_F(AppleEventHandlerTest, ASettingThatCannotBeSavedIsAnsweredAsAFailure)
{
    // A file where the store's folder should be: even root cannot save there.
    TestSupport::createFileWithContents(fSandbox.file("blocker"), "not a folder");
    store().reset();
    store().open(fSandbox.file("blocker/defaults.plist"));
    LogLines log;
    EXPECT_EQ(command("setValue", "userEnteredEventName", "Gala"), kFailed);
    EXPECT_EQ(command("setValue", "prefAutoSynchronize", "yes"), kFailed);
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "90"), kFailed);
    EXPECT_EQ(command("setValue", "prefDaysOldBeforeDeleting", "7"), kFailed);
    EXPECT_TRUE(log.contains("COULD NOT SAVE parameterValue=[Gala] for parameterName=[userEnteredEventName]"));
    std::string why;
    EXPECT_FALSE(store().checkSavable(&why));
    EXPECT_NE(why.find("blocker"), std::string::npos) << why;
}

TEST_F(AppleEventHandlerTest, ASecondsValueThatIsNotANumberIsNotReportedAsOne)
{
    for (const PlistValue& value : {PlistValue::real(NAN), PlistValue::real(INFINITY), PlistValue::string("nan")}) {
        store().setObject("prefSecondsBetweenScans", value);
        EXPECT_EQ(command("getValue", "prefSecondsBetweenScans", "-"), kSuccess) << value.describe();
    }
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "inf"), kFailed);
    EXPECT_EQ(command("setValue", "prefSecondsBetweenScans", "nan"), kFailed);
}
