#include "Fault.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

struct Rule {
    char name[32];
    long nth;
    bool onward;
    int error;
    // A rule "name:nth:=value" returns value instead of failing.
    bool hasValue;
    long value;
    std::atomic<long> calls;
};

constexpr int maxRules = 32;
Rule rules[maxRules];
std::atomic<int> ruleCount{0};

// Parses one "name:nth[+]:errno" or "name:nth[+]:=value" item of length len; false when it is
// malformed.
bool parseRule(const char* item, std::size_t len, Rule& rule) {
    const char* colon1 = static_cast<const char*>(std::memchr(item, ':', len));
    if (colon1 == nullptr || colon1 == item ||
        static_cast<std::size_t>(colon1 - item) >= sizeof rule.name) {
        return false;
    }
    std::memcpy(rule.name, item, static_cast<std::size_t>(colon1 - item));
    rule.name[colon1 - item] = '\0';
    char* end = nullptr;
    rule.nth = std::strtol(colon1 + 1, &end, 10);
    rule.onward = *end == '+';
    if (rule.onward) {
        ++end;
    }
    if (*end != ':' || rule.nth < 1) {
        return false;
    }
    rule.calls.store(0);
    rule.hasValue = end[1] == '=';
    if (rule.hasValue) {
        rule.error = 0;
        rule.value = std::strtol(end + 2, nullptr, 10);
        return true;
    }
    rule.value = 0;
    rule.error = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    return rule.error > 0;
}

} // namespace

extern "C" void ostrelFaultSet(const char* text) {
    ruleCount.store(0);
    int count = 0;
    for (const char* p = text; p != nullptr && *p != '\0' && count < maxRules;) {
        const char* comma = std::strchr(p, ',');
        const std::size_t len =
            comma != nullptr ? static_cast<std::size_t>(comma - p) : std::strlen(p);
        if (parseRule(p, len, rules[count])) {
            ++count;
        }
        p = comma != nullptr ? comma + 1 : nullptr;
    }
    ruleCount.store(count);
}

extern "C" int ostrelFaultCheck(const char* name) {
    long unused = 0;
    const int result = ostrelFaultCheckValue(name, &unused);
    return result > 0 ? result : 0;
}

extern "C" int ostrelFaultCheckValue(const char* name, long* value) {
    const int count = ruleCount.load();
    for (int i = 0; i < count; ++i) {
        Rule& rule = rules[i];
        if (std::strcmp(rule.name, name) != 0) {
            continue;
        }
        const long call = rule.calls.fetch_add(1) + 1;
        if (call == rule.nth || (rule.onward && call > rule.nth)) {
            if (rule.hasValue) {
                *value = rule.value;
                return -1;
            }
            return rule.error;
        }
        return 0;
    }
    return 0;
}

namespace {

// Rules handed down through the environment apply from the start of the program.
[[gnu::constructor]] void loadRulesFromEnvironment() {
    ostrelFaultSet(std::getenv("OSTREL_FAULT"));
}

} // namespace
