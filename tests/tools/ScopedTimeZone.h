#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// Sets TZ for one test and puts back what was there, so that local times mean the same on any
// machine. POSIX rules rather than zone names, so that no time zone database is needed.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* Rule) {
        if (const char* old = std::getenv("TZ"); old != nullptr) Previous_ = old;
        Set(Rule);
    }
    ~ScopedTimeZone() {
        if (Previous_) {
            Set(Previous_->c_str());
        } else {
            ::unsetenv("TZ");
            ::tzset();
        }
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

    static void Set(const char* Rule) {
        ::setenv("TZ", Rule, 1);
        ::tzset();
    }

  private:
    std::optional<std::string> Previous_;
};
