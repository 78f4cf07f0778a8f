#pragma once

#include "Date.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zorvane {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue>;
using PlistData = std::vector<std::uint8_t>;

// A property-list value: string, integer, real, boolean, data, date, array or dictionary.
// Integer and real stay distinct, as they are in a stored property list, because readers of
// the filter configuration treat them differently.
class PlistValue {
public:
    enum class Type { String, Integer, Real, Boolean, Data, Date, Array, Dictionary };

    PlistValue() : value_(std::string()) {}
    PlistValue(std::string value) : value_(std::move(value)) {}
    PlistValue(const char* value) : value_(std::string(value)) {}
    PlistValue(std::int64_t value) : value_(value) {}
    PlistValue(int value) : value_(static_cast<std::int64_t>(value)) {}
    PlistValue(double value) : value_(value) {}
    PlistValue(bool value) : value_(value) {}
    PlistValue(PlistData value) : value_(std::move(value)) {}
    PlistValue(Date value) : value_(value) {}
    PlistValue(PlistArray value) : value_(std::move(value)) {}
    PlistValue(PlistDictionary value) : value_(std::move(value)) {}

    Type type() const { return static_cast<Type>(value_.index()); }

    bool isString() const { return type() == Type::String; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    // Integer or real.
    bool isNumber() const { return isInteger() || isReal(); }

    // Typed access: null when the value has another type.
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&value_); }
    const double* real() const { return std::get_if<double>(&value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }
    const PlistData* data() const { return std::get_if<PlistData>(&value_); }
    const Date* date() const { return std::get_if<Date>(&value_); }
    const PlistArray* array() const { return std::get_if<PlistArray>(&value_); }
    const PlistDictionary* dictionary() const { return std::get_if<PlistDictionary>(&value_); }

    // An integer or a real as a double; empty for every other type.
    std::optional<double> numberValue() const {
        if (const auto* i = integer()) {
            return static_cast<double>(*i);
        }
        if (const auto* r = real()) {
            return *r;
        }
        return std::nullopt;
    }

    // Looks a key up when this is a dictionary.
    const PlistValue* find(const std::string& key) const {
        const auto* dict = dictionary();
        if (!dict) {
            return nullptr;
        }
        auto it = dict->find(key);
        return it == dict->end() ? nullptr : &it->second;
    }

    friend bool operator==(const PlistValue&, const PlistValue&) = default;

private:
    std::variant<std::string, std::int64_t, double, bool, PlistData, Date, PlistArray,
                 PlistDictionary>
        value_;
};

} // namespace zorvane
