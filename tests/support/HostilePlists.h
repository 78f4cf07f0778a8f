#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace zorvane {

// Property lists as an attacker writes them, and ordinary ones of the same size, for the tests
// and benchmarks of the property-list door. Binary documents are assembled by hand: libplist's
// own writer recurses and would not write what it cannot read.
class HostilePlists {
public:
    // `levels` arrays, each the only element of the one around it: the innermost (empty) array
    // is a value at depth levels - 1.
    static std::string nestedXml(std::size_t levels) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
        xml.reserve(xml.size() + levels * 15 + 8);
        for (std::size_t i = 0; i < levels; ++i) {
            xml += "<array>";
        }
        for (std::size_t i = 0; i < levels; ++i) {
            xml += "</array>";
        }
        return xml + "</plist>\n";
    }

    static std::string nestedBinary(std::size_t levels) {
        std::vector<std::string> objects;
        objects.reserve(levels);
        for (std::size_t i = 0; i + 1 < levels; ++i) {
            objects.push_back(array({i + 1}, 4));
        }
        objects.push_back(array({}, 4));
        return binary(objects, 4);
    }

    // `count` distinct keys with distinct string values, the shape of ordinary (if large)
    // entitlements: a dictionary of groups, each a dictionary of at most groupSize of them.
    static constexpr std::size_t groupSize = 4096;

    static std::string flatXml(std::size_t count) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                          "<dict>";
        for (std::size_t first = 0; first < count; first += groupSize) {
            xml += "<key>com.example.group." + std::to_string(first / groupSize) + "</key><dict>";
            for (std::size_t i = first; i < std::min(count, first + groupSize); ++i) {
                const auto n = std::to_string(i);
                xml +=
                    "<key>com.example.entitlement." + n + "</key><string>group." + n + "</string>";
            }
            xml += "</dict>";
        }
        return xml + "</dict></plist>\n";
    }

    static std::string flatBinary(std::size_t count) {
        // Object 0 is the outer dictionary; then the group names, the groups, and each group's
        // keys followed by its values.
        const std::size_t groups = (count + groupSize - 1) / groupSize;
        std::vector<std::uint64_t> names;
        std::vector<std::uint64_t> inner;
        for (std::size_t g = 0; g < groups; ++g) {
            names.push_back(1 + g);
            inner.push_back(1 + groups + g);
        }
        std::vector<std::string> objects{dictionary(names, inner, 4)};
        for (std::size_t g = 0; g < groups; ++g) {
            objects.push_back(ascii("com.example.group." + std::to_string(g)));
        }
        std::uint64_t next = 1 + 2 * groups;
        std::vector<std::string> strings;
        for (std::size_t first = 0; first < count; first += groupSize) {
            const std::size_t size = std::min(count, first + groupSize) - first;
            std::vector<std::uint64_t> keys;
            std::vector<std::uint64_t> values;
            for (std::size_t i = 0; i < size; ++i) {
                keys.push_back(next + i);
                values.push_back(next + size + i);
            }
            objects.push_back(dictionary(keys, values, 4));
            for (std::size_t i = first; i < first + size; ++i) {
                strings.push_back(ascii("com.example.entitlement." + std::to_string(i)));
            }
            for (std::size_t i = first; i < first + size; ++i) {
                strings.push_back(ascii("group." + std::to_string(i)));
            }
            next += 2 * size;
        }
        objects.insert(objects.end(), strings.begin(), strings.end());
        return binary(objects, 4);
    }

    // An array of `copies` chains, each `levels` arrays deep: the deepest nesting that is
    // admitted, repeated to any size.
    static std::string combXml(std::size_t copies, std::size_t levels) {
        std::string chain;
        for (std::size_t i = 0; i < levels; ++i) {
            chain += "<array>";
        }
        for (std::size_t i = 0; i < levels; ++i) {
            chain += "</array>";
        }
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                          "<array>";
        xml.reserve(xml.size() + copies * chain.size() + 20);
        for (std::size_t i = 0; i < copies; ++i) {
            xml += chain;
        }
        return xml + "</array></plist>\n";
    }

    static std::string combBinary(std::size_t copies, std::size_t levels) {
        std::vector<std::uint64_t> heads;
        std::vector<std::string> objects{std::string()};
        for (std::size_t copy = 0; copy < copies; ++copy) {
            heads.push_back(objects.size());
            for (std::size_t i = 0; i + 1 < levels; ++i) {
                objects.push_back(array({objects.size() + 1}, 4));
            }
            objects.push_back(array({}, 4));
        }
        objects[0] = array(heads, 4);
        return binary(objects, 4);
    }

    // One array of `count` references to the same boolean: as many objects as bytes, the most
    // that a document without shared containers can describe.
    static std::string sharedLeafBinary(std::size_t count) {
        return binary({array(std::vector<std::uint64_t>(count, 1), 1), std::string(1, '\x09')}, 1);
    }

    // Each of `levels` arrays holds the next one twice: a few hundred bytes that libplist would
    // expand into 2^levels objects.
    static std::string doublingBinary(std::size_t levels) {
        std::vector<std::string> objects;
        for (std::size_t i = 0; i < levels; ++i) {
            objects.push_back(array({i + 1, i + 1}, 1));
        }
        objects.push_back(ascii("x"));
        return binary(objects, 1);
    }

    // An array object of the given references (each `width` bytes wide).
    static std::string array(const std::vector<std::uint64_t>& references, int width) {
        return container(0xA0, references.size(), references, width);
    }

    // A dictionary object: the key references, then the value references.
    static std::string dictionary(const std::vector<std::uint64_t>& keys,
                                  const std::vector<std::uint64_t>& values, int width) {
        std::vector<std::uint64_t> references = keys;
        references.insert(references.end(), values.begin(), values.end());
        return container(0xD0, keys.size(), references, width);
    }

    static std::string ascii(const std::string& text) {
        std::string object = lengthMarker(0x50, text.size());
        return object + text;
    }

    // A whole document: the objects in order, the offset table (offsets as narrow as they fit)
    // and the trailer, with `referenceWidth` as the width of references and `root` as the root.
    static std::string binary(const std::vector<std::string>& objects, int referenceWidth,
                              std::uint64_t root = 0) {
        std::string bytes = "bplist00";
        std::vector<std::uint64_t> offsets;
        for (const auto& object : objects) {
            offsets.push_back(bytes.size());
            bytes += object;
        }
        const std::uint64_t table = bytes.size();
        const int offsetWidth = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
        for (const auto offset : offsets) {
            bytes += bigEndian(offset, offsetWidth);
        }
        bytes += std::string(6, '\0');
        bytes += static_cast<char>(offsetWidth);
        bytes += static_cast<char>(referenceWidth);
        bytes += bigEndian(objects.size(), 8) + bigEndian(root, 8) + bigEndian(table, 8);
        return bytes;
    }

private:
    static std::string bigEndian(std::uint64_t value, int width) {
        std::string bytes(static_cast<std::size_t>(width), '\0');
        for (int i = width - 1; i >= 0; --i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
            value >>= 8;
        }
        return bytes;
    }

    static std::string lengthMarker(std::uint8_t type, std::uint64_t count) {
        if (count < 15) {
            return std::string(1, static_cast<char>(type | count));
        }
        return std::string(1, static_cast<char>(type | 0x0F)) + static_cast<char>(0x13) +
               bigEndian(count, 8);
    }

    static std::string container(std::uint8_t type, std::uint64_t count,
                                 const std::vector<std::uint64_t>& references, int width) {
        std::string object = lengthMarker(type, count);
        for (const auto reference : references) {
            object += bigEndian(reference, width);
        }
        return object;
    }
};

} // namespace zorvane
