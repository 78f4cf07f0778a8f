#include "PlistCodec.h"

#include "PlistPrescan.h"
#include "UntrustedFile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <system_error>

namespace zorvane {
namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

struct CFree {
    void operator()(void* p) const { std::free(p); }
};

// The prescan has refused deeper documents already; the conversion keeps its own bound so that
// it never recurses further whatever it is handed.
constexpr int maximumDepth = PlistPrescan::maximumDepth;

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (!node || depth > maximumDepth) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PlistValue(value != 0);
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // libplist keeps integers unsigned; negative values come back in two's complement.
        return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PlistValue(value);
    }
    case PLIST_STRING: {
        // plist_get_string_val asserts that the text holds no NUL, which a binary property
        // list can contain; the pointer form reads the stored length instead.
        std::uint64_t length = 0;
        const char* raw = plist_get_string_ptr(node, &length);
        return PlistValue(raw ? std::string(raw, static_cast<std::size_t>(length)) : std::string());
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        std::unique_ptr<char, CFree> owned(raw);
        PlistData data;
        if (raw && length > 0) {
            data.assign(reinterpret_cast<const std::uint8_t*>(raw),
                        reinterpret_cast<const std::uint8_t*>(raw) + length);
        }
        return PlistValue(std::move(data));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0;
        std::int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PlistValue(Date{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_ARRAY: {
        // The iterator, not plist_array_get_item: arrays read from binary documents have no
        // index in libplist 2.2, and each lookup by position walks the list from its start.
        PlistArray array;
        array.reserve(plist_array_get_size(node));
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        std::unique_ptr<void, CFree> ownedIter(iter);
        for (plist_t element = nullptr; iter;) {
            plist_array_next_item(node, iter, &element);
            if (!element) {
                break;
            }
            auto item = fromNode(element, depth + 1);
            if (!item) {
                return std::nullopt;
            }
            array.push_back(std::move(*item));
        }
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistDictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        std::unique_ptr<void, CFree> ownedIter(iter);
        if (!iter) {
            return PlistValue(std::move(dict));
        }
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            std::unique_ptr<char, CFree> ownedKey(key);
            if (!key || !value) {
                break;
            }
            auto item = fromNode(value, depth + 1);
            if (!item) {
                return std::nullopt;
            }
            dict.insert_or_assign(std::string(key), std::move(*item));
        }
        return PlistValue(std::move(dict));
    }
    default:
        // Keys, UIDs and unknown node types have no place in the documents we read.
        return std::nullopt;
    }
}

// libplist's key and string getters assert, and so abort the process, when the text holds a
// NUL. Binary property lists can carry one (in ASCII or UTF-16 strings); the XML writer shows
// them, so a binary document is checked through its XML form before anything is read from it.
bool holdsNul(plist_t root) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::unique_ptr<char, CFree> owned(xml);
    return !xml || std::memchr(xml, 0, length) != nullptr;
}

plist_t toNode(const PlistValue& value) {
    switch (value.type()) {
    case PlistValue::Type::String:
        return plist_new_string(value.string()->c_str());
    case PlistValue::Type::Integer:
        return plist_new_uint(static_cast<std::uint64_t>(*value.integer()));
    case PlistValue::Type::Real:
        return plist_new_real(*value.real());
    case PlistValue::Type::Boolean:
        return plist_new_bool(*value.boolean() ? 1 : 0);
    case PlistValue::Type::Data: {
        const auto& data = *value.data();
        return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case PlistValue::Type::Date: {
        const double seconds = value.date()->secondsSinceReferenceDate;
        double whole = std::floor(seconds);
        whole = std::clamp(whole, double(std::numeric_limits<std::int32_t>::min()),
                           double(std::numeric_limits<std::int32_t>::max()));
        const auto usec = static_cast<std::int32_t>(std::lround((seconds - whole) * 1e6));
        return plist_new_date(static_cast<std::int32_t>(whole), std::clamp(usec, 0, 999'999));
    }
    case PlistValue::Type::Array: {
        plist_t array = plist_new_array();
        for (const auto& item : *value.array()) {
            plist_array_append_item(array, toNode(item));
        }
        return array;
    }
    case PlistValue::Type::Dictionary: {
        plist_t dict = plist_new_dict();
        for (const auto& [key, item] : *value.dictionary()) {
            plist_dict_set_item(dict, key.c_str(), toNode(item));
        }
        return dict;
    }
    }
    return plist_new_string("");
}

} // namespace

std::optional<PlistValue> PlistCodec::read(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    // XML cannot contain NUL characters; libplist accepts them inside text all the same.
    static constexpr std::string_view binaryMagic = "bplist";
    const bool binary =
        bytes.size() >= binaryMagic.size() &&
        std::equal(binaryMagic.begin(), binaryMagic.end(), bytes.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    if (!binary && std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
        return std::nullopt;
    }
    // libplist recurses once per level and copies shared objects once per reference: the depth
    // and the number of objects are bounded before it sees the bytes.
    if (PlistPrescan::check(bytes) != PlistPrescan::Verdict::admitted) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()), &root);
    PlistHandle owned(root);
    if (!root || (binary && holdsNul(root))) {
        return std::nullopt;
    }
    return fromNode(root, 0);
}

std::optional<PlistValue> PlistCodec::read(std::string_view bytes) {
    return read(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<PlistValue> PlistCodec::readFile(const std::filesystem::path& path,
                                               std::uintmax_t maxBytes) {
    // Everything is taken from the one opened file: sizing the path and then opening it again
    // would read a file that a writer replaced by rename in between as a truncated mixture.
    const auto contents = UntrustedFile::read(path, maxBytes);
    if (!contents.bytes) {
        return std::nullopt;
    }
    return read(*contents.bytes);
}

std::string PlistCodec::toXml(const PlistValue& value) {
    PlistHandle root(toNode(value));
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &out, &length);
    std::string text(out ? out : "", out ? length : 0);
    if (out) {
        plist_to_xml_free(out);
    }
    return text;
}

std::string PlistCodec::toBinary(const PlistValue& value) {
    PlistHandle root(toNode(value));
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &out, &length);
    std::string bytes(out ? out : "", out ? length : 0);
    if (out) {
        plist_to_bin_free(out);
    }
    return bytes;
}

} // namespace zorvane
