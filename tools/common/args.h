// A small command-line reader: "--name value", "--name=value" and flags.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

class Args {
  public:
    // flags names the options that take no value.
    Args(int argc, char **argv, std::vector<std::string_view> flags);
    // Each getter consumes the options it reads; unused() lists the rest.
    bool flag(std::string_view name);
    std::string text(std::string_view name, std::string fallback = {});
    std::vector<std::string> all(std::string_view name);
    double number(std::string_view name, double fallback);
    // An error found so far (a missing value, a number that is not one).
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] std::vector<std::string> unused() const;

  private:
    struct Item {
        std::string name;
        std::string value;
        bool has_value;
        bool used = false;
        bool positional = false;
    };
    std::vector<Item> items_;
    std::string error_;
};

} // namespace mvtools
