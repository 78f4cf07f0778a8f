#include "PlistPrescan.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace zorvane {
namespace {

using Verdict = PlistPrescan::Verdict;
using Bytes = std::span<const std::uint8_t>;

constexpr std::string_view binaryMagic = "bplist00";
constexpr std::size_t binaryTrailerSize = 32;

std::uint64_t bigEndian(Bytes bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[offset + i];
    }
    return value;
}

bool isWidth(std::uint8_t width) {
    return width == 1 || width == 2 || width == 4 || width == 8;
}

// The layout of a binary document as its trailer describes it, checked as libplist checks it
// (and a little stricter: references and offsets only in the widths that writers use).
struct BinaryLayout {
    Bytes bytes;
    std::size_t offsetWidth = 0;
    std::size_t referenceWidth = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t root = 0;
    std::uint64_t tableOffset = 0; // objects lie in [8, tableOffset)

    std::optional<std::uint64_t> objectOffset(std::uint64_t index) const {
        const auto offset = bigEndian(bytes, tableOffset + index * offsetWidth, offsetWidth);
        if (offset < binaryMagic.size() || offset >= tableOffset) {
            return std::nullopt;
        }
        return offset;
    }
    std::uint64_t reference(std::uint64_t at) const { return bigEndian(bytes, at, referenceWidth); }
};

std::optional<BinaryLayout> binaryLayout(Bytes bytes) {
    if (bytes.size() < binaryMagic.size() + binaryTrailerSize) {
        return std::nullopt;
    }
    BinaryLayout layout;
    layout.bytes = bytes;
    const std::size_t trailer = bytes.size() - binaryTrailerSize;
    layout.offsetWidth = bytes[trailer + 6];
    layout.referenceWidth = bytes[trailer + 7];
    layout.objectCount = bigEndian(bytes, trailer + 8, 8);
    layout.root = bigEndian(bytes, trailer + 16, 8);
    layout.tableOffset = bigEndian(bytes, trailer + 24, 8);
    if (!isWidth(static_cast<std::uint8_t>(layout.offsetWidth)) ||
        !isWidth(static_cast<std::uint8_t>(layout.referenceWidth)) || layout.objectCount == 0 ||
        layout.objectCount > bytes.size() || layout.root >= layout.objectCount ||
        layout.tableOffset < binaryMagic.size() || layout.tableOffset >= trailer ||
        layout.objectCount * layout.offsetWidth > trailer - layout.tableOffset) {
        return std::nullopt;
    }
    return layout;
}

// One object as far as structure goes: a leaf, or a container with its references.
struct BinaryObject {
    enum class Kind { leaf, array, dictionary } kind = Kind::leaf;
    std::uint64_t count = 0;      // elements, or key-value pairs
    std::uint64_t references = 0; // where the references start
    bool isString = false;        // ASCII or UTF-16 string: what a dictionary key must be
};

std::optional<BinaryObject> binaryObject(const BinaryLayout& layout, std::uint64_t index) {
    const auto offset = layout.objectOffset(index);
    if (!offset) {
        return std::nullopt;
    }
    const Bytes bytes = layout.bytes;
    const std::uint8_t marker = bytes[*offset];
    const unsigned type = marker >> 4;
    BinaryObject object;
    switch (type) {
    case 0x0: // null, booleans, fill
    case 0x1: // integer
    case 0x2: // real
    case 0x3: // date
    case 0x4: // data
    case 0x8: // UID
        return object;
    case 0x5: // ASCII string
    case 0x6: // UTF-16 string
        object.isString = true;
        return object;
    case 0xA: // array
    case 0xC: // set, which libplist reads as an array
        object.kind = BinaryObject::Kind::array;
        break;
    case 0xD:
        object.kind = BinaryObject::Kind::dictionary;
        break;
    default:
        // Types libplist does not know; it fails on them.
        return std::nullopt;
    }
    std::uint64_t at = *offset + 1;
    object.count = marker & 0x0F;
    if (object.count == 0x0F) {
        // The count follows as an integer object of 1, 2, 4 or 8 bytes.
        if (at >= layout.tableOffset || (bytes[at] >> 4) != 0x1 || (bytes[at] & 0x0F) > 3) {
            return std::nullopt;
        }
        const std::size_t width = std::size_t{1} << (bytes[at] & 0x0F);
        ++at;
        if (width > layout.tableOffset - at) {
            return std::nullopt;
        }
        object.count = bigEndian(bytes, at, width);
        at += width;
    }
    const std::uint64_t perEntry = object.kind == BinaryObject::Kind::dictionary ? 2 : 1;
    const std::uint64_t room = (layout.tableOffset - at) / layout.referenceWidth;
    if (object.count > room / perEntry) {
        return std::nullopt;
    }
    object.references = at;
    return object;
}

// Walks the objects reachable from the root depth first, with an explicit stack no deeper than
// maximumDepth + 1, visiting each object once: a shared object is measured once and its height
// and size reused wherever it is referred to again. The size counts an object once per
// reference, since that is how many copies libplist makes of it.
class BinaryWalk {
public:
    explicit BinaryWalk(const BinaryLayout& layout)
        : layout_(layout), limit_(PlistPrescan::objectLimit(layout.bytes.size())),
          depthLimit_(limit_ * PlistPrescan::averageDepthAllowed),
          state_(static_cast<std::size_t>(layout.objectCount), State::unseen),
          height_(static_cast<std::size_t>(layout.objectCount), 0),
          size_(static_cast<std::size_t>(layout.objectCount), 0),
          depths_(static_cast<std::size_t>(layout.objectCount), 0) {}

    Verdict run() {
        if (const auto verdict = enter(layout_.root, 0); verdict != Verdict::admitted) {
            return verdict;
        }
        while (!stack_.empty()) {
            Frame& frame = stack_.back();
            if (frame.next == frame.object.count) {
                const Frame done = frame;
                stack_.pop_back();
                state_[done.index] = State::done;
                height_[done.index] = done.height;
                size_[done.index] = done.size;
                depths_[done.index] = done.depths;
                if (!stack_.empty()) {
                    if (const auto verdict = add(stack_.back(), done.index);
                        verdict != Verdict::admitted) {
                        return verdict;
                    }
                }
                continue;
            }
            const std::uint64_t entry = frame.next++;
            std::uint64_t child = 0;
            if (frame.object.kind == BinaryObject::Kind::dictionary) {
                const std::uint64_t key =
                    layout_.reference(frame.object.references + entry * layout_.referenceWidth);
                if (key >= layout_.objectCount) {
                    return Verdict::malformed;
                }
                const auto keyObject = binaryObject(layout_, key);
                if (!keyObject || !keyObject->isString) {
                    return Verdict::malformed;
                }
                if (++frame.size > limit_ || ++frame.depths > depthLimit_) {
                    return Verdict::tooManyObjects;
                }
                child = layout_.reference(frame.object.references +
                                          (frame.object.count + entry) * layout_.referenceWidth);
            } else {
                child = layout_.reference(frame.object.references + entry * layout_.referenceWidth);
            }
            if (child >= layout_.objectCount) {
                return Verdict::malformed;
            }
            const auto index = static_cast<std::size_t>(child);
            switch (state_[index]) {
            case State::done:
                if (const auto verdict = add(frame, index); verdict != Verdict::admitted) {
                    return verdict;
                }
                break;
            case State::open:
                return Verdict::cyclic;
            case State::unseen:
                if (const auto verdict = enter(child, static_cast<int>(stack_.size()));
                    verdict != Verdict::admitted) {
                    return verdict;
                }
                break;
            }
        }
        return Verdict::admitted;
    }

private:
    enum class State : std::uint8_t { unseen, open, done };
    struct Frame {
        std::size_t index = 0;
        BinaryObject object;
        std::uint64_t next = 0;   // the next element or pair to look at
        int height = 0;           // levels below this object seen so far
        std::uint64_t size = 1;   // objects in this one's copy so far, itself included
        std::uint64_t depths = 0; // their depths below this object, added up
    };

    // An object first met at `depth`: a leaf is done at once, a container is opened.
    Verdict enter(std::uint64_t child, int depth) {
        if (depth > PlistPrescan::maximumDepth) {
            return Verdict::tooDeep;
        }
        const auto object = binaryObject(layout_, child);
        if (!object) {
            return Verdict::malformed;
        }
        const auto index = static_cast<std::size_t>(child);
        if (object->kind == BinaryObject::Kind::leaf) {
            state_[index] = State::done;
            size_[index] = 1;
            return stack_.empty() ? Verdict::admitted : add(stack_.back(), index);
        }
        if (object->kind == BinaryObject::Kind::dictionary &&
            object->count > PlistPrescan::maximumDictionaryKeys) {
            return Verdict::tooManyObjects;
        }
        state_[index] = State::open;
        stack_.push_back(Frame{index, *object});
        return Verdict::admitted;
    }

    // A finished child joins its parent, which lies at the top of the stack.
    Verdict add(Frame& parent, std::size_t child) {
        const int parentDepth = static_cast<int>(stack_.size()) - 1;
        parent.height = std::max(parent.height, height_[child] + 1);
        if (parentDepth + parent.height > PlistPrescan::maximumDepth) {
            return Verdict::tooDeep;
        }
        parent.size += size_[child];
        // Every object of the child's copy lies one level further below the parent.
        parent.depths += depths_[child] + size_[child];
        if (parent.size > limit_ || parent.depths > depthLimit_) {
            return Verdict::tooManyObjects;
        }
        return Verdict::admitted;
    }

    const BinaryLayout& layout_;
    const std::uint64_t limit_;
    const std::uint64_t depthLimit_;
    std::vector<State> state_;
    std::vector<int> height_;
    std::vector<std::uint64_t> size_;
    std::vector<std::uint64_t> depths_;
    std::vector<Frame> stack_;
};

// The XML side. libplist reads XML with a hand-written tokeniser: whitespace is space, tab, CR
// and LF; "<?" runs to "?>", "<!--" to "-->", "<!DOCTYPE" to ">" or, with an internal subset,
// to "]>"; a tag's name ends at whitespace, "<" or ">", and the tag at ">"; text elements may
// hold comments and "<![CDATA[ ... ]]>" and end at "</name", optional whitespace and ">".
// Inside a processing instruction, a DOCTYPE and a tag, libplist skips over double-quoted
// text when it looks for the end; the scan looks for the end with and without skipping quoted
// text (double and single quotes) and refuses the document when the answers differ, so that
// it can never end a construct anywhere libplist does not.
class XmlScan {
public:
    XmlScan(Bytes bytes, std::uint64_t objectLimit)
        : text_(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
          objectLimit_(objectLimit) {}

    Verdict run() {
        for (;;) {
            skipWhitespace();
            if (at_ == text_.size()) {
                break;
            }
            if (text_[at_] != '<') {
                return Verdict::malformed;
            }
            Verdict verdict = Verdict::admitted;
            if (startsWith("<?")) {
                verdict = skipTo(at_ + 1, "?>");
            } else if (startsWith("<!--")) {
                verdict = skipPast(at_ + 4, "-->");
            } else if (startsWith("<!DOCTYPE")) {
                verdict = skipDoctype();
            } else if (startsWith("<!")) {
                verdict = Verdict::malformed;
            } else {
                verdict = element();
            }
            if (verdict != Verdict::admitted) {
                return verdict;
            }
        }
        return open_.empty() ? Verdict::admitted : Verdict::malformed;
    }

private:
    enum class Open { plist, dict, array };

    bool startsWith(std::string_view prefix) const { return text_.substr(at_).starts_with(prefix); }

    static bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void skipWhitespace() {
        while (at_ < text_.size() && isWhitespace(text_[at_])) {
            ++at_;
        }
    }

    // Where `ends` (one of its characters, or the whole of it) first occurs from `from`,
    // skipping text between two `quote` characters when quote is not NUL; npos when not found
    // or when a quote is left open.
    std::size_t find(std::size_t from, std::string_view ends, bool anyOf, char quote) const {
        for (std::size_t i = from; i < text_.size(); ++i) {
            const bool hit = anyOf ? ends.find(text_[i]) != std::string_view::npos
                                   : text_.substr(i).starts_with(ends);
            if (hit) {
                return i;
            }
            if (quote != '\0' && text_[i] == quote) {
                i = text_.find(quote, i + 1);
                if (i == std::string_view::npos) {
                    return i;
                }
            }
        }
        return std::string_view::npos;
    }

    // The same search, answered only when quoting cannot move the answer.
    std::size_t findUnambiguous(std::size_t from, std::string_view ends, bool anyOf) const {
        const auto plain = find(from, ends, anyOf, '\0');
        if (plain == std::string_view::npos || find(from, ends, anyOf, '"') != plain ||
            find(from, ends, anyOf, '\'') != plain) {
            return std::string_view::npos;
        }
        return plain;
    }

    // A processing instruction: up to and past `end`, quotes considered.
    Verdict skipTo(std::size_t from, std::string_view end) {
        const auto found = findUnambiguous(from, end, false);
        if (found == std::string_view::npos) {
            return Verdict::malformed;
        }
        at_ = found + end.size();
        return Verdict::admitted;
    }

    // A comment or CDATA section: up to and past the first `end`, whatever comes before it.
    Verdict skipPast(std::size_t from, std::string_view end) {
        const auto found = text_.find(end, from);
        if (found == std::string_view::npos) {
            return Verdict::malformed;
        }
        at_ = found + end.size();
        return Verdict::admitted;
    }

    Verdict skipDoctype() {
        const auto found = findUnambiguous(at_ + 9, "[>", true);
        if (found == std::string_view::npos) {
            return Verdict::malformed;
        }
        if (text_[found] == '>') {
            at_ = found + 1;
            return Verdict::admitted;
        }
        return skipTo(found, "]>");
    }

    Verdict element() {
        const std::size_t nameStart = at_ + 1;
        const auto nameEnd = text_.find_first_of(" \t\r\n<>", nameStart);
        if (nameEnd == std::string_view::npos) {
            return Verdict::malformed;
        }
        std::size_t close = nameEnd;
        if (text_[nameEnd] != '>') {
            close = findUnambiguous(nameEnd, "<>", true);
            if (close == std::string_view::npos || text_[close] != '>') {
                return Verdict::malformed;
            }
        }
        const bool empty = text_[close - 1] == '/';
        std::string_view name = text_.substr(nameStart, nameEnd - nameStart);
        if (empty && nameEnd == close) {
            name.remove_suffix(1);
        }
        at_ = close + 1;

        if (name.starts_with('/')) {
            name.remove_prefix(1);
            if (empty || open_.empty() || name != nameOf(open_.back())) {
                return Verdict::malformed;
            }
            if (open_.back() != Open::plist) {
                --containers_;
            }
            open_.pop_back();
            keys_.pop_back();
            return Verdict::admitted;
        }
        if (name == "plist") {
            // One plist element, around everything else.
            if (empty || !open_.empty() || seenRoot_) {
                return Verdict::malformed;
            }
            open_.push_back(Open::plist);
            keys_.push_back(0);
            return Verdict::admitted;
        }
        if (name == "key" && !open_.empty() && open_.back() == Open::dict &&
            ++keys_.back() > PlistPrescan::maximumDictionaryKeys) {
            return Verdict::tooManyObjects;
        }
        const bool isDict = name == "dict";
        const bool isArray = name == "array";
        const bool isText = name == "key" || name == "string" || name == "integer" ||
                            name == "real" || name == "date" || name == "data" || name == "true" ||
                            name == "false";
        if (!isDict && !isArray && !isText) {
            return Verdict::malformed;
        }
        if (containers_ == 0) {
            // A second value after the root is nothing libplist would read the same way.
            if (seenRoot_) {
                return Verdict::malformed;
            }
            seenRoot_ = true;
        }
        if (containers_ > PlistPrescan::maximumDepth) {
            return Verdict::tooDeep;
        }
        depths_ += static_cast<std::uint64_t>(containers_);
        if (++objects_ > objectLimit_ ||
            depths_ > objectLimit_ * PlistPrescan::averageDepthAllowed) {
            return Verdict::tooManyObjects;
        }
        if (empty) {
            return Verdict::admitted;
        }
        if (isText) {
            return textUntilClosing(name);
        }
        open_.push_back(isDict ? Open::dict : Open::array);
        keys_.push_back(0);
        ++containers_;
        return Verdict::admitted;
    }

    // The content of a text element, through its closing tag.
    Verdict textUntilClosing(std::string_view name) {
        for (;;) {
            const auto tag = text_.find('<', at_);
            if (tag == std::string_view::npos) {
                return Verdict::malformed;
            }
            at_ = tag;
            Verdict verdict = Verdict::admitted;
            if (startsWith("<!--")) {
                verdict = skipPast(at_ + 4, "-->");
            } else if (startsWith("<![CDATA[")) {
                verdict = skipPast(at_ + 9, "]]>");
            } else if (startsWith("</")) {
                at_ += 2;
                if (!startsWith(name)) {
                    return Verdict::malformed;
                }
                at_ += name.size();
                skipWhitespace();
                if (at_ == text_.size() || text_[at_] != '>') {
                    return Verdict::malformed;
                }
                ++at_;
                return Verdict::admitted;
            } else {
                return Verdict::malformed;
            }
            if (verdict != Verdict::admitted) {
                return verdict;
            }
        }
    }

    static std::string_view nameOf(Open open) {
        switch (open) {
        case Open::plist:
            return "plist";
        case Open::dict:
            return "dict";
        case Open::array:
            return "array";
        }
        return {};
    }

    std::string_view text_;
    std::uint64_t objectLimit_ = 0;
    std::size_t at_ = 0;
    std::vector<Open> open_;
    std::vector<std::uint64_t> keys_; // keys met so far in each open element
    int containers_ = 0;
    std::uint64_t objects_ = 0;
    std::uint64_t depths_ = 0;
    bool seenRoot_ = false;
};

} // namespace

std::string_view PlistPrescan::describe(Verdict verdict) {
    switch (verdict) {
    case Verdict::admitted:
        return "admitted";
    case Verdict::malformed:
        return "not a property list";
    case Verdict::tooDeep:
        return "nested too deeply";
    case Verdict::tooManyObjects:
        return "too many objects";
    case Verdict::cyclic:
        return "an object contains itself";
    }
    return "not a property list";
}

PlistPrescan::Verdict PlistPrescan::check(std::span<const std::uint8_t> bytes) {
    const bool binary =
        bytes.size() >= binaryMagic.size() &&
        std::equal(binaryMagic.begin(), binaryMagic.end(), bytes.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    return binary ? checkBinary(bytes) : checkXml(bytes, objectLimit(bytes.size()));
}

PlistPrescan::Verdict PlistPrescan::checkBinary(std::span<const std::uint8_t> bytes) {
    const auto layout = binaryLayout(bytes);
    if (!layout) {
        return Verdict::malformed;
    }
    // Objects that the root does not reach are not built, but a document that has more objects
    // than it may describe is not worth walking (and the walk's tables stay small).
    if (layout->objectCount > objectLimit(bytes.size())) {
        return Verdict::tooManyObjects;
    }
    return BinaryWalk(*layout).run();
}

PlistPrescan::Verdict PlistPrescan::checkXml(std::span<const std::uint8_t> bytes,
                                             std::uint64_t objectLimit) {
    return XmlScan(bytes, objectLimit).run();
}

std::uint64_t PlistPrescan::objectLimit(std::uint64_t bytes) {
    return std::min(maximumObjects, std::max(objectsAlwaysAllowed, bytes / bytesPerObject));
}

} // namespace zorvane
