#include "remote/AppleEventHandler.h"

#include "platform/ConsoleLog.h"
#include "platform/NumberText.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "remote/AppleEventTarget.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <strings.h>

namespace {

constexpr const char* kCommandSuccess = "COMMAND SUCCESS";
constexpr const char* kCommandFailed = "COMMAND FAILED";
constexpr const char* kAccepted = "ACCEPTED";
constexpr const char* kHiddenPassword = "********";

// Days are used as a 16-bit number by the cleanup; larger values would wrap.
constexpr double kMaxDaysOld = 32767;

enum class KeyKind { Text, YesNo, Seconds, Days };

struct KeyEntry {
    const char* name;
    KeyKind kind;
};

// The settings remote commands may touch.
constexpr KeyEntry kKeyTable[] = {
    {PrefKey::UserEnteredEventName, KeyKind::Text},
    {PrefKey::UserLoginName, KeyKind::Text},
    {PrefKey::UserLoginPassword, KeyKind::Text},
    {PrefKey::ShowPreviewWhenUploading, KeyKind::YesNo},
    {PrefKey::DeleteEmptyFtpFolders, KeyKind::YesNo},
    {PrefKey::AutoSynchronize, KeyKind::YesNo},
    {PrefKey::UseEventName, KeyKind::YesNo},
    {PrefKey::SecondsBetweenScans, KeyKind::Seconds},
    {PrefKey::DoUseDeleteOldPhotos, KeyKind::YesNo},
    {PrefKey::DaysOldBeforeDeleting, KeyKind::Days},
    {PrefKey::AutoStartUploadAtStartup, KeyKind::YesNo},
};

const KeyEntry* findKey(const std::string& key)
{
    for (const auto& entry : kKeyTable)
        if (strcasecmp(entry.name, key.c_str()) == 0)
            return &entry;
    return nullptr;
}

bool isPasswordKey(const std::string& key) { return TextUtil::equalsIgnoringCase(key, PrefKey::UserLoginPassword); }

// The password never goes into the log files.
const char* shownValue(const std::string& key, const std::string& value)
{
    return isPasswordKey(key) ? kHiddenPassword : value.c_str();
}

// A four-character code for "%c%c%c%c", blank-padded when shorter.
struct Code4 {
    char c[4];
};

Code4 code4(const std::string& code)
{
    Code4 out{{' ', ' ', ' ', ' '}};
    for (size_t i = 0; i < 4 && i < code.size(); ++i)
        out.c[i] = code[i];
    return out;
}

// Narrowing a double outside float's range is undefined; saturate instead.
float narrowToFloat(double value)
{
    if (std::isnan(value))
        return NAN;
    if (value > FLT_MAX)
        return INFINITY;
    if (value < -FLT_MAX)
        return -INFINITY;
    return static_cast<float>(value);
}

// "%3.2f" whatever the process locale says.
std::string formatSeconds(float seconds)
{
    char buffer[64];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(seconds), std::chars_format::fixed, 2);
    std::string text(buffer, result.ptr);
    if (text.size() < 3)
        text.insert(0, 3 - text.size(), ' ');
    return text;
}

std::string shortestFloat(float value)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

void setReplyText(AppleEvent* replyEvent, const char* text)
{
    if (replyEvent)
        replyEvent->directObject = AppleEventDescriptor::descriptorWithString(text);
}

// The direct object as logged: a password value is hidden.
std::string describeForLog(const AppleEventDescriptor& directObject)
{
    const AppleEventDescriptor* key = directObject.descriptorAtIndex(2);
    if (!key || !key->stringValue() || !isPasswordKey(*key->stringValue()) || !directObject.descriptorAtIndex(3))
        return directObject.describe();
    AppleEventDescriptor masked = AppleEventDescriptor::listDescriptor();
    for (size_t i = 1; i <= directObject.numberOfItems(); ++i)
        masked.appendDescriptor(i == 3 ? AppleEventDescriptor::descriptorWithString(kHiddenPassword)
                                       : *directObject.descriptorAtIndex(i));
    return masked.describe();
}

} // namespace

bool AppleEventHandler::setupForAppleEventsForThisApp(AppleEventTarget* target)
{
    if (!target) {
        ConsoleLog::write("UNABLE setupForAppleEventsForThisApp\n");
        return false;
    }
    ConsoleLog::write("setupForAppleEventsForThisApp\n");
    fTarget = target;
    fRegistered = {
        {AppleEventCode::kClassQuon, AppleEventCode::kIdUploadNow},
        {AppleEventCode::kClassQuon, AppleEventCode::kIdPause},
        {AppleEventCode::kClassQuon, AppleEventCode::kIdParameter},
        {AppleEventCode::kClassCore, AppleEventCode::kIdQuit},
        {AppleEventCode::kClassQuon, AppleEventCode::kIdStatus},
    };
    return true;
}

bool AppleEventHandler::isRegistered(const std::string& eventClass, const std::string& eventID) const
{
    return fRegistered.count({eventClass, eventID}) != 0;
}

bool AppleEventHandler::dispatchAppleEvent(const AppleEvent& event, AppleEvent* replyEvent)
{
    if (!isRegistered(event.eventClass, event.eventID))
        return false;
    handleTestAEHandler(&event, replyEvent);
    return true;
}

void AppleEventHandler::handleTestAEHandler(const AppleEvent* event, AppleEvent* replyEvent)
{
    // These lines go to the console log: standard output carries only the
    // operator's lines, so that a supervisor can read it.
    ConsoleLog::write("got handleTestAEHandler");
    if (!event)
        return;
    const Code4 eventClass = code4(event->eventClass);
    const Code4 eventID = code4(event->eventID);
    ConsoleLog::write("got handleTestAEHandler => examining event");
    ConsoleLog::writef("theEventClass = [%c%c%c%c]\ntheEventID = [%c%c%c%c]\n", eventClass.c[0], eventClass.c[1],
                       eventClass.c[2], eventClass.c[3], eventID.c[0], eventID.c[1], eventID.c[2], eventID.c[3]);

    // The class is already fixed by the registration.
    const std::string& id = event->eventID;
    if (id == AppleEventCode::kIdPause) {
        if (fTarget)
            fTarget->pauseFromAnotherProgram(this);
        setReplyText(replyEvent, kAccepted);
    } else if (id == AppleEventCode::kIdUploadNow) {
        // Without a window, this is the only way to undo a pause.
        if (fTarget && !fTarget->resumePausedProcess(this))
            fTarget->ibClickedOnSynchronizeAgain(this);
        setReplyText(replyEvent, kAccepted);
    } else if (id == AppleEventCode::kIdQuit) {
        ConsoleLog::write("\n\nReceived kAEQuitApplication...\n\n");
        if (fTarget)
            fTarget->ibClickedOnQuit(this);
    } else if (id == AppleEventCode::kIdStatus) {
        // Read-only: answered only to a sender that waits for it.
        if (fTarget && replyEvent)
            replyEvent->directObject = AppleEventDescriptor::descriptorWithString(fTarget->stationStatusReport());
    } else if (id == AppleEventCode::kIdParameter) {
        ConsoleLog::writef("Got the eventID = [%.4s]", id.c_str());
        ConsoleLog::write("GOT 1234");
        if (!replyEvent) {
            // A read or write nobody waits for is not carried out.
            ConsoleLog::write("Parameter command sent without a reply event; ignored");
            return;
        }
        handleParameterCommand(*event, *replyEvent);
    } else {
        ConsoleLog::writef("No handling for the event id [%.4s]", id.c_str());
    }
}

void AppleEventHandler::handleParameterCommand(const AppleEvent& event, AppleEvent& replyEvent)
{
    ConsoleLog::writef("Got the REPLY eventID = [%.4s]", replyEvent.eventID.c_str());
    ConsoleLog::writef("Got the REPLY Class = [%.4s]", replyEvent.eventClass.c_str());

    const AppleEventDescriptor& directObject = event.directObject;
    if (directObject.isNone()) {
        ConsoleLog::write("Unable to Get descriptorForKeyword: keyDirectObject???\n");
        setReplyText(&replyEvent, kCommandFailed);
        return;
    }
    ConsoleLog::writef("GOT descriptorForKeyword: keyDirectObject = [%s]\n", describeForLog(directObject).c_str());
    const AppleEventDescriptor* items[3] = {};
    for (int i = 1; i <= 3; ++i) {
        items[i - 1] = directObject.descriptorAtIndex(static_cast<size_t>(i));
        const AppleEventDescriptor* item = items[i - 1];
        const bool hidden = i == 3 && items[1] && items[1]->stringValue() && isPasswordKey(*items[1]->stringValue());
        ConsoleLog::writef("GOT descriptorForKeyword: keyDirectObject[%i] = [%s]\n", i,
                           !item        ? "(none)"
                               : hidden ? kHiddenPassword
                                        : item->describe().c_str());
    }
    // A short list or an item that is not a text must not pass for a command.
    for (const AppleEventDescriptor* item : items) {
        if (!item || !item->stringValue()) {
            ConsoleLog::write("The parameter command needs a list of three texts: command word, key name, value");
            setReplyText(&replyEvent, kCommandFailed);
            return;
        }
    }
    const std::string& word = *items[0]->stringValue();
    const std::string& key = *items[1]->stringValue();
    const std::string& value = *items[2]->stringValue();
    ConsoleLog::writef("Got the Command Line = [%s] [%s] [%s]", word.c_str(), key.c_str(), shownValue(key, value));

    if (TextUtil::equalsIgnoringCase(word, "setValue")) {
        setValue(key, value, replyEvent);
    } else if (TextUtil::equalsIgnoringCase(word, "getValue")) {
        getValue(word, key, value, replyEvent);
    } else {
        // An unknown word did nothing, so it must not be answered as a success.
        ConsoleLog::writef("Unsupported command=[%s]", word.c_str());
        setReplyText(&replyEvent, kCommandFailed);
    }
}

void AppleEventHandler::setValue(const std::string& key, const std::string& value, AppleEvent& replyEvent)
{
    const KeyEntry* entry = findKey(key);
    bool stored = false;
    bool unsaved = false;
    auto save = [&](const PlistValue& setting, const std::string& storeKey) {
        const bool saved = saveSettingToUserDefaults(setting, storeKey);
        unsaved = !saved;
        return saved;
    };
    if (!entry) {
        ConsoleLog::writef("Unsupported keyname=[%s] and keyValue=[%s]", key.c_str(), shownValue(key, value));
    } else {
        // Stored under the store's own spelling of the key, so that the
        // setting a command changes is the one the uploader reads.
        const std::string storeKey = entry->name;
        switch (entry->kind) {
            case KeyKind::Text: stored = save(PlistValue::string(value), storeKey); break;
            case KeyKind::YesNo:
                if (isValidYesNoString(&value))
                    stored = save(PlistValue::string(value), storeKey);
                break;
            case KeyKind::Seconds: {
                ConsoleLog::writef("the UTF8String is: %s\n\n", value.c_str());
                const float seconds = narrowToFloat(NumberText::leadingDouble(value));
                if (std::isfinite(seconds) && seconds > 0) {
                    ConsoleLog::writef("theConverted NSNumber is: [%s]\n\n", shortestFloat(seconds).c_str());
                    stored = save(PlistValue::real(static_cast<double>(seconds)), storeKey);
                }
                break;
            }
            case KeyKind::Days: {
                ConsoleLog::writef("the UTF8String is: %s\n\n", value.c_str());
                const float number = narrowToFloat(NumberText::leadingDouble(value));
                // A value below one day would be stored as 0, which makes the
                // cleanup delete every filed photo.
                const double days = std::trunc(static_cast<double>(number));
                if (std::isfinite(number) && days >= 1 && days <= kMaxDaysOld) {
                    const auto whole = static_cast<int64_t>(days);
                    ConsoleLog::writef("theConverted NSNumber is: [%lld]\n\n", static_cast<long long>(whole));
                    stored = save(PlistValue::integer(whole), storeKey);
                }
                break;
            }
        }
    }
    if (stored) {
        setReplyText(&replyEvent, kCommandSuccess);
        return;
    }
    if (unsaved)
        ConsoleLog::writef("COULD NOT SAVE parameterValue=[%s] for parameterName=[%s]", shownValue(key, value),
                           key.c_str());
    else
        ConsoleLog::writef("INVALID parameterValue=[%s] for parameterName=[%s]", shownValue(key, value), key.c_str());
    setReplyText(&replyEvent, kCommandFailed);
}

void AppleEventHandler::getValue(const std::string& word, const std::string& key, const std::string& value,
                                 AppleEvent& replyEvent)
{
    const KeyEntry* entry = findKey(key);
    if (!entry || (entry->kind != KeyKind::Text && entry->kind != KeyKind::Seconds)) {
        ConsoleLog::writef("Unsupported keyname=[%s] and keyValue=[%s]", key.c_str(), shownValue(key, value));
        setReplyText(&replyEvent, kCommandFailed);
        return;
    }
    const UserDefaults& store = UserDefaults::standard();
    std::optional<std::string> result;
    if (entry->kind == KeyKind::Text) {
        ConsoleLog::writef("Is Valid keyNameString = [%s]", key.c_str());
        result = store.stringForKey(entry->name);
        if (result)
            ConsoleLog::writef("Get Parameter value for keyName [%s] => [%s]", key.c_str(), shownValue(key, *result));
    } else {
        // Without a stored value there is nothing to report; echoing the
        // request's placeholder would pass it off as the setting.
        const auto stored = store.objectForKey(entry->name);
        if (stored && UserDefaults::stringValue(*stored) && !UserDefaults::isNotANumber(*stored))
            result = formatSeconds(narrowToFloat(UserDefaults::doubleValue(*stored)));
        ConsoleLog::writef("Is Valid keyNameString = [%s]", key.c_str());
    }
    if (!result) {
        setReplyText(&replyEvent, kCommandSuccess);
        return;
    }
    AppleEventDescriptor answer = AppleEventDescriptor::listDescriptor();
    answer.appendDescriptor(AppleEventDescriptor::descriptorWithString(word));
    answer.appendDescriptor(AppleEventDescriptor::descriptorWithString(key));
    answer.appendDescriptor(AppleEventDescriptor::descriptorWithString(*result));
    AppleEventDescriptor reply = AppleEventDescriptor::listDescriptor();
    reply.appendDescriptor(AppleEventDescriptor::descriptorWithString(kCommandSuccess));
    reply.appendDescriptor(std::move(answer));
    replyEvent.directObject = std::move(reply);
}
