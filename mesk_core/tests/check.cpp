// Runs every registered test case and reports failures with file and line.
#include "check.hpp"

#include <cstdio>
#include <exception>

namespace check {

static int failures_in_case = 0;

std::vector<Case> &registry() {
    static std::vector<Case> cases;
    return cases;
}

void fail(const char *file, int line, const std::string &what) {
    ++failures_in_case;
    std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace check

int main() {
    int passed = 0, failed = 0;
    for (const auto &c : check::registry()) {
        check::failures_in_case = 0;
        try {
            c.body();
        } catch (const std::exception &e) {
            check::fail(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        } catch (...) {
            check::fail(__FILE__, __LINE__, "unexpected non-standard exception");
        }
        if (check::failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
