// A very small unit-test harness for the core: TEST cases register themselves,
// CHECK macros record failures without stopping the case, and main() (check.cpp)
// runs every case and ends with the line "N passed, N failed".
#pragma once

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char *name;
    std::function<void()> body;
};

std::vector<Case> &registry();
void fail(const char *file, int line, const std::string &what);

struct Registrar {
    Registrar(const char *name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

// Bit-exact float comparison: 0.0 and -0.0 differ, NaN equals a NaN of the same bits.
template <class T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
std::string show(const T &v) {
    std::ostringstream os;
    os.precision(17);
    os << v;
    return os.str();
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                     \
    static void name();                                                                \
    static ::check::Registrar CHECK_CONCAT(check_reg_, name)(#name, name);            \
    static void name()

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) ::check::fail(__FILE__, __LINE__, "CHECK(" #cond ")");            \
    } while (0)

#define CHECK_EQ(a, b)                                                                 \
    do {                                                                               \
        const auto &check_a_ = (a);                                                    \
        const auto &check_b_ = (b);                                                    \
        if (!(check_a_ == check_b_))                                                   \
            ::check::fail(__FILE__, __LINE__,                                          \
                          "CHECK_EQ(" #a ", " #b "): " + ::check::show(check_a_) +     \
                              " != " + ::check::show(check_b_));                       \
    } while (0)

// Same 32- or 64-bit pattern; the way to assert specified arithmetic.
#define CHECK_BITS(a, b)                                                               \
    do {                                                                               \
        const auto check_a_ = (a);                                                     \
        const decltype(check_a_) check_b_ = (b);                                       \
        if (!::check::same_bits(check_a_, check_b_))                                   \
            ::check::fail(__FILE__, __LINE__,                                          \
                          "CHECK_BITS(" #a ", " #b "): " + ::check::show(check_a_) +   \
                              " vs " + ::check::show(check_b_));                       \
    } while (0)

#define CHECK_THROWS(expr)                                                             \
    do {                                                                               \
        bool check_threw_ = false;                                                     \
        try {                                                                          \
            (void)(expr);                                                              \
        } catch (...) {                                                                \
            check_threw_ = true;                                                       \
        }                                                                              \
        if (!check_threw_) ::check::fail(__FILE__, __LINE__, "CHECK_THROWS(" #expr ")"); \
    } while (0)
