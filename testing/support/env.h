// Environment variables set for a while, for the tests and for the children
// they start meanwhile.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace inktest {

// Sets variables (nullopt unsets one) and puts the old values back, last
// set first, when it goes.
class EnvFor {
  public:
    using Vars = std::vector<std::pair<std::string, std::optional<std::string>>>;

    EnvFor() = default;
    explicit EnvFor(const Vars &vars) {
        for (const auto &[k, v] : vars)
            set(k, v);
    }
    EnvFor(const EnvFor &) = delete;
    EnvFor &operator=(const EnvFor &) = delete;
    ~EnvFor() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            put(it->first, it->second);
    }

    void set(const std::string &name, const std::optional<std::string> &value) {
        const char *old = getenv(name.c_str());
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        put(name, value);
    }

  private:
    static void put(const std::string &name, const std::optional<std::string> &value) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }

    Vars saved_;
};

}  // namespace inktest
