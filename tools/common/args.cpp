#include "args.h"

#include "text.h"

namespace mvtools {

Args::Args(int argc, char **argv, std::vector<std::string_view> flags) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!a.starts_with("--")) {
            items_.push_back({a, {}, false, false, true});
            continue;
        }
        a.erase(0, 2);
        if (const size_t eq = a.find('='); eq != std::string::npos) {
            items_.push_back({a.substr(0, eq), a.substr(eq + 1), true, false});
            continue;
        }
        bool is_flag = false;
        for (std::string_view f : flags)
            is_flag = is_flag || f == a;
        if (!is_flag && i + 1 < argc) {
            items_.push_back({a, argv[i + 1], true, false});
            ++i;
        } else {
            items_.push_back({a, {}, false, false});
        }
    }
}

bool Args::flag(std::string_view name) {
    bool seen = false;
    for (Item &it : items_)
        if (!it.positional && it.name == name) {
            it.used = true;
            seen = true;
        }
    return seen;
}

std::string Args::text(std::string_view name, std::string fallback) {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it)
        if (!it->positional && it->name == name) {
            it->used = true;
            if (!it->has_value) error_ = "--" + std::string(name) + " needs a value";
            // Earlier repeats are consumed as well.
            for (Item &other : items_)
                if (other.name == name) other.used = true;
            return it->value;
        }
    return fallback;
}

std::vector<std::string> Args::all(std::string_view name) {
    std::vector<std::string> out;
    for (Item &it : items_)
        if (!it.positional && it.name == name) {
            it.used = true;
            if (!it.has_value) error_ = "--" + std::string(name) + " needs a value";
            out.push_back(it.value);
        }
    return out;
}

double Args::number(std::string_view name, double fallback) {
    const std::string value = text(name, "\x01");
    if (value == "\x01") return fallback;
    double v = 0;
    if (!parse_number(value, &v)) {
        error_ = "--" + std::string(name) + " needs a number, not '" + value + "'";
        return fallback;
    }
    return v;
}

std::vector<std::string> Args::unused() const {
    std::vector<std::string> out;
    for (const Item &it : items_)
        if (!it.used) out.push_back(it.positional ? it.name : "--" + it.name);
    return out;
}

} // namespace mvtools
