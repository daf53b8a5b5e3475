#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// One value of a property list: the content of a photo's embedded metadata,
// the preference store, the factory defaults, preference files and alert tables.
class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Data = std::vector<uint8_t>;
    // Seconds since 1970-01-01 00:00:00 UTC.
    struct Date {
        double secondsSince1970 = 0;
        bool operator==(const Date&) const = default;
    };

    enum class Type { String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

    PlistValue() : fValue(std::string()) { }
    static PlistValue string(std::string value) { return PlistValue(Storage(std::move(value))); }
    static PlistValue integer(int64_t value) { return PlistValue(Storage(value)); }
    static PlistValue real(double value) { return PlistValue(Storage(value)); }
    static PlistValue boolean(bool value) { return PlistValue(Storage(value)); }
    static PlistValue date(Date value) { return PlistValue(Storage(value)); }
    static PlistValue data(Data value) { return PlistValue(Storage(std::move(value))); }
    static PlistValue array(Array value = {}) { return PlistValue(Storage(std::move(value))); }
    static PlistValue dictionary(Dictionary value = {}) { return PlistValue(Storage(std::move(value))); }

    Type type() const { return static_cast<Type>(fValue.index()); }
    bool isString() const { return type() == Type::String; }
    bool isNumber() const { return type() == Type::Integer || type() == Type::Real; }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Each returns null when the value is of another type.
    const std::string* asString() const { return std::get_if<std::string>(&fValue); }
    const int64_t* asInteger() const { return std::get_if<int64_t>(&fValue); }
    const double* asReal() const { return std::get_if<double>(&fValue); }
    const bool* asBoolean() const { return std::get_if<bool>(&fValue); }
    const Date* asDate() const { return std::get_if<Date>(&fValue); }
    const Data* asData() const { return std::get_if<Data>(&fValue); }
    const Array* asArray() const { return std::get_if<Array>(&fValue); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&fValue); }
    Array* asArray() { return std::get_if<Array>(&fValue); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&fValue); }

    // The number a numeric value holds (a boolean counts as 1 or 0).
    std::optional<double> numberValue() const;

    // The entry of a dictionary, or null.
    const PlistValue* find(const std::string& key) const;

    // A one-line description for log messages.
    std::string describe() const;

    bool operator==(const PlistValue&) const = default;

private:
    using Storage = std::variant<std::string, int64_t, double, bool, Date, Data, Array, Dictionary>;
    explicit PlistValue(Storage value) : fValue(std::move(value)) { }
    Storage fValue;
};
