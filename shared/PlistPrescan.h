#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zorvane {

// Looks at property-list bytes before libplist does, so that nothing libplist would recurse on
// or multiply ever reaches it. libplist 2.2 recurses once per level of a binary document (and
// compares each level with all the levels above it), frees and prints every document
// recursively, and copies an object once per reference to it; a document nested 100,000 deep
// exhausts the stack, and a binary one whose arrays refer to the next array twice describes
// 2^n objects in a few bytes.
//
// The scan is iterative and linear in the input: an XML document is tokenised the way libplist
// tokenises it (comments, CDATA, processing instructions and the DOCTYPE included), a binary
// one is walked through its offset table with every object visited once. Where the two readers
// could disagree on where a construct ends (quotes inside a tag or a DOCTYPE), the document is
// refused rather than guessed at. A document is admitted only when libplist would build no value
// deeper than maximumDepth (the root is at depth 0) and no more objects than objectLimit allows,
// dictionary keys included.
class PlistPrescan {
public:
    static constexpr int maximumDepth = 64;
    // Far above any property list we read (a few thousand objects), far below what would take
    // libplist long to build.
    static constexpr std::uint64_t maximumObjects = 1u << 20;
    // Below maximumObjects, a document may hold this many objects whatever its size, and one
    // object per this many bytes beyond that. Ordinary documents take 20 to 40 bytes per object
    // in either form; one object per byte (a binary array referring to one boolean a million
    // times) would cost libplist many times what an ordinary document of that size does.
    static constexpr std::uint64_t objectsAlwaysAllowed = 1u << 16;
    static constexpr std::uint64_t bytesPerObject = 16;
    // The bound on the number of objects for a document of `bytes` bytes.
    static std::uint64_t objectLimit(std::uint64_t bytes);
    // libplist spends time on each object in proportion to its depth (it compares each binary
    // level with the levels above, and indents each XML line): the depths of all objects added
    // up may come to this many times the object limit, an average depth far above what ordinary
    // documents have and far below the 64 levels that a document filled with the deepest
    // admitted chains would reach.
    static constexpr std::uint64_t averageDepthAllowed = 4;
    // libplist 2.2 builds a dictionary in time that grows faster than its number of keys (80,000
    // keys take ten times as long as 20,000 do four times over); with the keys of one dictionary
    // bounded, a document's reading time grows linearly with its size. The largest dictionary
    // we write, the temporary allowances of the filter configuration, holds one key per allowed
    // identity: thousands only for a list that the configuration could not carry anyway.
    static constexpr std::uint64_t maximumDictionaryKeys = 8192;

    enum class Verdict {
        admitted,
        malformed,      // not a document libplist would read the way the scan reads it
        tooDeep,        // a value deeper than maximumDepth
        tooManyObjects, // more objects than objectLimit allows for the document's size,
                        // objects nested deeper on average than averageDepthAllowed, or a
                        // dictionary with more than maximumDictionaryKeys keys
        cyclic,         // a binary document whose objects contain themselves
    };
    static std::string_view describe(Verdict verdict);

    static Verdict check(std::span<const std::uint8_t> bytes);

private:
    static Verdict checkBinary(std::span<const std::uint8_t> bytes);
    static Verdict checkXml(std::span<const std::uint8_t> bytes, std::uint64_t objectLimit);
};

} // namespace zorvane
