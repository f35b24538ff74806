// libFuzzer target for the path operations of Ostrel::Dir.
//
// The input is a program of edits: each step is one opcode byte followed, for the edits that take
// a text, by a length byte and that many bytes of text. Every step is applied both to a Dir and to
// a model kept here, and the two texts must agree after each step. The model is deliberately
// simple and shares no code with the library: edits are string appends, and normalisation splits
// the text into components, walks them with a vector as stack and joins the kept ones again.
// After each normalisation the result must also have the shape of a normalised path:
//   - normalising it again changes nothing;
//   - no "." or ".." component is left (".." never climbs above the start, so a leading ".." of
//     a relative path is dropped too);
//   - no doubled separator, and a non-empty result ends with exactly one separator;
//   - it is absolute exactly when the text before was;
//   - its components are, in order, a subsequence of the components of the text before.
#include <Ostrel/Dir.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Ostrel::Dir;

std::vector<std::string> components(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    for (const char c : text) {
        if (c == '/') {
            if (!current.empty()) {
                parts.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

std::string modelNormalize(const std::string& text) {
    if (text.empty()) {
        return text;
    }
    std::vector<std::string> stack;
    for (const auto& part : components(text)) {
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (!stack.empty()) {
                stack.pop_back();
            }
            continue;
        }
        stack.push_back(part);
    }
    std::string result = text[0] == '/' ? "/" : "";
    for (const auto& part : stack) {
        result += part + "/";
    }
    return result;
}

[[noreturn]] void fail(const char* what, const std::string& before, const std::string& got,
                       const std::string& expected) {
    std::fprintf(stderr, "%s\n  before:   \"%s\"\n  got:      \"%s\"\n  expected: \"%s\"\n", what,
                 before.c_str(), got.c_str(), expected.c_str());
    std::abort();
}

bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    std::size_t next = 0;
    for (const auto& item : whole) {
        if (next < part.size() && part[next] == item) {
            ++next;
        }
    }
    return next == part.size();
}

void checkNormalized(const std::string& before, const std::string& after) {
    Dir again(after);
    again.fixProp(Dir::Normalize);
    if (again.path != after) {
        fail("normalising twice changed the text", before, again.path, after);
    }
    const auto parts = components(after);
    for (const auto& part : parts) {
        if (part == "." || part == "..") {
            fail("a \".\" or \"..\" component is left", before, after, "");
        }
    }
    if (after.find("//") != std::string::npos) {
        fail("a doubled separator is left", before, after, "");
    }
    if (!after.empty() && after.back() != '/') {
        fail("no trailing separator", before, after, "");
    }
    if (!before.empty() && (before[0] == '/') != (!after.empty() && after[0] == '/')) {
        fail("absolute before and after differ", before, after, "");
    }
    if (before.empty() && !after.empty()) {
        fail("an empty text became non-empty", before, after, "");
    }
    if (!isSubsequence(parts, components(before))) {
        fail("components that were not in the text before", before, after, "");
    }
}

// Reads the input step by step; a truncated step ends the program.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : _data(data), _size(size) {}
    bool byte(std::uint8_t& out) {
        if (_next >= _size) {
            return false;
        }
        out = _data[_next++];
        return true;
    }
    std::string text() {
        std::uint8_t length = 0;
        if (!byte(length)) {
            return {};
        }
        const std::size_t available = _size - _next;
        const std::size_t n = length < available ? length : available;
        std::string result(reinterpret_cast<const char*>(_data + _next), n);
        _next += n;
        return result;
    }

private:
    const std::uint8_t* _data;
    std::size_t _size;
    std::size_t _next = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader input(data, size);
    Dir dir;
    std::string model;
    std::uint8_t op = 0;
    while (input.byte(op)) {
        const Dir::DirProp prop = (op & 0x10) != 0 ? Dir::Normalize : Dir::AsGiven;
        const std::string before = model;
        switch (op % 5) {
        case 0: {
            const std::string text = input.text();
            dir.setPath(text, prop);
            model = text + "/";
            break;
        }
        case 1: {
            const std::string text = input.text();
            dir.changePath(text, prop);
            model += text + "/";
            break;
        }
        case 2:
            dir.changePathUp(prop);
            model += "../";
            break;
        case 3:
            // The argument does not matter: both values normalise.
            dir.fixProp(prop);
            model = modelNormalize(model);
            checkNormalized(before, dir.path);
            break;
        default: {
            const std::string text = input.text();
            dir = Dir(text);
            model = text;
            break;
        }
        }
        const std::string built = model;
        if (prop == Dir::Normalize && op % 5 < 3) {
            model = modelNormalize(model);
            checkNormalized(built, dir.path);
        }
        if (dir.path != model) {
            fail("the Dir and the model differ", before, dir.path, model);
        }
    }
    return 0;
}
