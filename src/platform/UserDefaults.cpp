#include "platform/UserDefaults.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/NumberText.h"
#include "platform/PropertyList.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

UserDefaults& UserDefaults::standard()
{
    static UserDefaults defaults;
    return defaults;
}

namespace {

std::string corruptName(const std::string& path)
{
    std::string candidate = path + ".corrupt";
    for (int i = 1; FileUtil::exists(candidate); ++i)
        candidate = path + ".corrupt." + std::to_string(i);
    return candidate;
}

} // namespace

bool UserDefaults::open(const std::string& path)
{
    std::unique_lock lock(fMutex);
    fPath = path;
    fStored.clear();
    fDirty = false;
    fCanSave = true;
    FileUtil::makeFolders(FileUtil::parentFolder(path), 0700);
    if (!FileUtil::exists(path)) {
        ConsoleLog::writef("Settings store %s does not exist yet; starting with the factory defaults", path.c_str());
        return true;
    }
    std::string error;
    auto loaded = PropertyList::readFile(path, &error);
    if (loaded && loaded->isDictionary()) {
        fStored = *loaded->asDictionary();
        return true;
    }
    if (loaded)
        error = "its top level is not a dictionary";
    const std::string aside = corruptName(path);
    if (std::rename(path.c_str(), aside.c_str()) == 0) {
        ConsoleLog::writef(
            "Settings store %s could not be read (%s); kept it as %s and started with the factory defaults",
            path.c_str(), error.c_str(), aside.c_str());
    } else {
        fCanSave = false;
        ConsoleLog::writef("Settings store %s could not be read (%s) nor moved aside; started with the factory "
                           "defaults and will not save over it",
                           path.c_str(), error.c_str());
    }
    return false;
}

void UserDefaults::reset()
{
    std::unique_lock lock(fMutex);
    fPath.clear();
    fCanSave = false;
    fDirty = false;
    fRegistered.clear();
    fStored.clear();
}

std::string UserDefaults::storePath() const
{
    std::shared_lock lock(fMutex);
    return fPath;
}

void UserDefaults::registerDefaults(const PlistValue::Dictionary& defaults)
{
    std::unique_lock lock(fMutex);
    for (const auto& [key, value] : defaults)
        fRegistered[key] = value;
}

std::optional<PlistValue> UserDefaults::objectForKey(const std::string& key) const
{
    std::shared_lock lock(fMutex);
    if (auto it = fStored.find(key); it != fStored.end())
        return it->second;
    if (auto it = fRegistered.find(key); it != fRegistered.end())
        return it->second;
    return std::nullopt;
}

bool UserDefaults::hasStoredValue(const std::string& key) const
{
    std::shared_lock lock(fMutex);
    return fStored.count(key) != 0;
}

bool UserDefaults::boolForKey(const std::string& key) const
{
    auto value = objectForKey(key);
    return value ? boolValue(*value) : false;
}

long long UserDefaults::integerForKey(const std::string& key) const
{
    auto value = objectForKey(key);
    return value ? integerValue(*value) : 0;
}

double UserDefaults::doubleForKey(const std::string& key) const
{
    auto value = objectForKey(key);
    return value ? doubleValue(*value) : 0.0;
}

float UserDefaults::floatForKey(const std::string& key) const
{
    const double value = doubleForKey(key);
    return std::fabs(value) <= FLT_MAX ? static_cast<float>(value) : 0.0f;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const
{
    auto value = objectForKey(key);
    return value ? stringValue(*value) : std::nullopt;
}

bool UserDefaults::setObject(const std::string& key, PlistValue value)
{
    std::unique_lock lock(fMutex);
    fStored[key] = std::move(value);
    fDirty = true;
    return saveLocked();
}

void UserDefaults::removeObject(const std::string& key)
{
    std::unique_lock lock(fMutex);
    if (fStored.erase(key) != 0) {
        fDirty = true;
        saveLocked();
    }
}

bool UserDefaults::synchronize()
{
    std::unique_lock lock(fMutex);
    return !fDirty || saveLocked();
}

bool UserDefaults::checkSavable(std::string* reason) const
{
    std::shared_lock lock(fMutex);
    auto fail = [&](const std::string& why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (fPath.empty())
        return fail("no settings file is in use");
    if (!fCanSave)
        return fail(fPath + " could not be read nor moved aside, and is kept as it is");
    std::string error;
    if (!FileUtil::makeFolders(FileUtil::parentFolder(fPath), 0700, &error))
        return fail(error);
    std::string probe = fPath + ".XXXXXX";
    const int fd = FileUtil::makeTemporaryFile(probe);
    if (fd < 0)
        return fail("cannot create a file beside " + fPath + ": " + std::strerror(errno));
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

PlistValue::Dictionary UserDefaults::storedValues() const
{
    std::shared_lock lock(fMutex);
    return fStored;
}

bool UserDefaults::saveLocked()
{
    if (!fCanSave || fPath.empty())
        return false;
    std::string error;
    FileUtil::makeFolders(FileUtil::parentFolder(fPath), 0700);
    if (!FileUtil::writeFileAtomically(fPath, PropertyList::toXml(PlistValue::dictionary(fStored)), 0600, &error)) {
        ConsoleLog::writef("Could not save the settings: %s", error.c_str());
        return false;
    }
    fDirty = false;
    return true;
}

bool UserDefaults::isNotANumber(const PlistValue& value)
{
    if (auto n = value.numberValue())
        return !std::isfinite(*n);
    if (auto s = value.asString())
        return NumberText::startsWithNumber(*s) && !std::isfinite(NumberText::leadingDouble(*s));
    return false;
}

bool UserDefaults::boolValue(const PlistValue& value)
{
    if (auto b = value.asBoolean())
        return *b;
    if (isNotANumber(value))
        return false;
    if (auto n = value.numberValue())
        return *n != 0;
    if (auto s = value.asString()) {
        size_t i = 0;
        while (i < s->size() && ((*s)[i] == ' ' || (*s)[i] == '\t' || (*s)[i] == '\n' || (*s)[i] == '\r'))
            ++i;
        if (i == s->size())
            return false;
        const char c = (*s)[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

long long UserDefaults::integerValue(const PlistValue& value)
{
    if (auto i = value.asInteger())
        return *i;
    if (isNotANumber(value))
        return 0;
    if (auto n = value.numberValue()) {
        if (!std::isfinite(*n))
            return 0;
        return static_cast<long long>(std::trunc(std::clamp(*n, -9.2e18, 9.2e18)));
    }
    if (auto s = value.asString())
        return NumberText::leadingInteger(*s);
    return 0;
}

double UserDefaults::doubleValue(const PlistValue& value)
{
    if (isNotANumber(value))
        return 0.0;
    if (auto n = value.numberValue())
        return *n;
    if (auto s = value.asString())
        return NumberText::leadingDouble(*s);
    return 0.0;
}

std::optional<std::string> UserDefaults::stringValue(const PlistValue& value)
{
    if (auto s = value.asString())
        return *s;
    if (auto b = value.asBoolean())
        return std::string(*b ? "1" : "0");
    if (auto i = value.asInteger())
        return std::to_string(*i);
    if (auto r = value.asReal())
        return NumberText::shortest(*r);
    return std::nullopt;
}
