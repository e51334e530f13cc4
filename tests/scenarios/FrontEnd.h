// Enrollment scenarios are written once, against this interface, and run
// through each front end: the plug-in (through the browser harness) and
// the native-messaging host (the built program, over pipes). A page is one
// embedded element or one host conversation: it owns one agent, so its
// settings and last error are its own.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// One argument as page script gives it: a number or a text.
struct Arg {
    bool isNumber = false;
    int32_t number = 0;
    std::string text;
};
inline Arg Num(int32_t value) { return Arg{true, value, std::string()}; }
inline Arg Str(std::string value) { return Arg{false, 0, std::move(value)}; }

// What one call gave, in terms both front ends share: whether it succeeded
// and, on success, its string or boolean value.
struct Outcome {
    bool ok = false;
    std::optional<std::string> text;
    std::optional<bool> flag;
    bool operator==(const Outcome& other) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << (o.ok ? "ok" : "failed");
    if (o.text) os << " text \"" << *o.text << "\"";
    if (o.flag) os << " flag " << (*o.flag ? "true" : "false");
    return os;
}

class CPage {
public:
    virtual ~CPage() = default;
    // Calls one script-visible operation by its script name. A front end
    // records a protocol fault (a malformed answer, a result of the wrong
    // kind) as a test failure and reports the call as failed.
    virtual Outcome Call(const std::string& method, const std::vector<Arg>& args) = 0;
};

class CFrontEnd {
public:
    virtual ~CFrontEnd() = default;
    virtual std::string Name() const = 0;
    virtual ::testing::AssertionResult Begin() = 0;
    // A new page; null when it cannot be opened.
    virtual std::unique_ptr<CPage> OpenPage() = 0;
    // Closes every page and checks the front end's own invariants (the
    // plug-in's references and browser memory, the host's exit and silence).
    virtual ::testing::AssertionResult End() = 0;
};

// The front ends this build can drive.
std::unique_ptr<CFrontEnd> MakePluginFrontEnd();
std::unique_ptr<CFrontEnd> MakeHostFrontEnd();
