#pragma once

#include "platform/PlistValue.h"

#include <optional>
#include <shared_mutex>
#include <string>

// The per-user settings store, in two layers: values registered as factory
// defaults at start-up (never saved) and values stored by the operator, the
// interface or the system (saved as an XML property list, mode 0600, after
// every write). A read returns the stored value, else the registered one,
// and converts it the way every settings reader of the uploader expects.
// All operations are safe from any thread; each write is atomic.
class UserDefaults {
public:
    // The store the whole application uses.
    static UserDefaults& standard();

    // Uses path for the stored layer and loads it. A file that cannot be read
    // or parsed is renamed aside with a ".corrupt" suffix and the store starts
    // empty; when even that fails the file is left alone and nothing is saved
    // over it. Returns false when the existing file was not usable.
    bool open(const std::string& path);

    // Forgets both layers and the file (tests, and a fresh start).
    void reset();

    std::string storePath() const;

    void registerDefaults(const PlistValue::Dictionary& defaults);

    // The value of either layer, unconverted.
    std::optional<PlistValue> objectForKey(const std::string& key) const;
    bool hasValue(const std::string& key) const { return objectForKey(key).has_value(); }
    bool hasStoredValue(const std::string& key) const;

    // The read conversions. A number that is NaN or infinite (or, read as a
    // float, beyond its range) is no number: it reads like a text without a
    // number, as 0 and NO.
    bool boolForKey(const std::string& key) const;
    long long integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;

    // Each write is kept in memory even when it cannot be saved; the answer
    // says whether the file now holds it.
    bool setObject(const std::string& key, PlistValue value);
    bool setBool(const std::string& key, bool value) { return setObject(key, PlistValue::boolean(value)); }
    bool setString(const std::string& key, std::string value)
    {
        return setObject(key, PlistValue::string(std::move(value)));
    }
    void removeObject(const std::string& key);

    // Saves the stored layer now when a previous save failed; true when the
    // file holds every stored value.
    bool synchronize();

    // Whether a save could succeed now: the store has a file it may replace
    // and a temporary file can be made beside it. False and the reason when not.
    bool checkSavable(std::string* reason) const;

    PlistValue::Dictionary storedValues() const;

    // True for a number, or a text whose leading number, that is NaN or
    // infinite: the one check every numeric reading goes through.
    static bool isNotANumber(const PlistValue& value);

    // The conversions themselves, for values that do not come from the store.
    static bool boolValue(const PlistValue& value);
    static long long integerValue(const PlistValue& value);
    static double doubleValue(const PlistValue& value);
    static std::optional<std::string> stringValue(const PlistValue& value);

private:
    bool saveLocked();

    mutable std::shared_mutex fMutex;
    std::string fPath;
    bool fCanSave = false;
    bool fDirty = false;
    PlistValue::Dictionary fRegistered;
    PlistValue::Dictionary fStored;
};
