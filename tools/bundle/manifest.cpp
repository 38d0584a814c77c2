#include "manifest.h"

#include <map>
#include <memory>
#include <regex>
#include <set>

namespace mvtools {
namespace {

// Just enough XML for a manifest: elements, attributes, text, comments and
// the declaration. Entities are kept as written.
struct Element {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text;
    std::vector<std::unique_ptr<Element>> children;
};

class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}
    std::unique_ptr<Element> document(std::string *error) {
        skip_misc();
        auto root = element(error);
        if (root == nullptr) return nullptr;
        skip_misc();
        if (pos_ != s_.size()) {
            *error = "text after the root element";
            return nullptr;
        }
        return root;
    }

  private:
    void skip_space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    // Whitespace, comments and processing instructions.
    void skip_misc() {
        for (;;) {
            skip_space();
            if (s_.substr(pos_, 4) == "<!--") {
                const size_t end = s_.find("-->", pos_);
                pos_ = end == std::string_view::npos ? s_.size() : end + 3;
            } else if (s_.substr(pos_, 2) == "<?") {
                const size_t end = s_.find("?>", pos_);
                pos_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else {
                return;
            }
        }
    }
    std::string name() {
        const size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_' ||
                                    s_[pos_] == '-' || s_[pos_] == ':' || s_[pos_] == '.'))
            ++pos_;
        return std::string(s_.substr(start, pos_ - start));
    }
    std::unique_ptr<Element> element(std::string *error) {
        if (pos_ >= s_.size() || s_[pos_] != '<') {
            *error = "expected an element";
            return nullptr;
        }
        ++pos_;
        auto e = std::make_unique<Element>();
        e->name = name();
        if (e->name.empty()) {
            *error = "element without a name";
            return nullptr;
        }
        for (;;) {
            skip_space();
            if (s_.substr(pos_, 2) == "/>") {
                pos_ += 2;
                return e;
            }
            if (pos_ < s_.size() && s_[pos_] == '>') {
                ++pos_;
                break;
            }
            const std::string key = name();
            skip_space();
            if (key.empty() || pos_ >= s_.size() || s_[pos_] != '=') {
                *error = "bad attribute in <" + e->name + ">";
                return nullptr;
            }
            ++pos_;
            skip_space();
            const char quote = pos_ < s_.size() ? s_[pos_] : '\0';
            const size_t end =
                quote == '"' || quote == '\'' ? s_.find(quote, pos_ + 1) : std::string_view::npos;
            if (end == std::string_view::npos) {
                *error = "unquoted attribute in <" + e->name + ">";
                return nullptr;
            }
            e->attrs[key] = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
            pos_ = end + 1;
        }
        for (;;) {
            const size_t lt = s_.find('<', pos_);
            if (lt == std::string_view::npos) {
                *error = "<" + e->name + "> is not closed";
                return nullptr;
            }
            e->text += s_.substr(pos_, lt - pos_);
            pos_ = lt;
            if (s_.substr(pos_, 2) == "</") {
                pos_ += 2;
                const std::string closing = name();
                skip_space();
                if (closing != e->name || pos_ >= s_.size() || s_[pos_] != '>') {
                    *error = "<" + e->name + "> closed by </" + closing + ">";
                    return nullptr;
                }
                ++pos_;
                return e;
            }
            if (s_.substr(pos_, 4) == "<!--") {
                skip_misc();
                continue;
            }
            auto child = element(error);
            if (child == nullptr) return nullptr;
            e->children.push_back(std::move(child));
        }
    }

    std::string_view s_;
    size_t pos_ = 0;
};

std::string trimmed(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

} // namespace

std::vector<std::string> check_manifest(std::string_view xml, Manifest *out) {
    std::vector<std::string> problems;
    std::string error;
    const auto root = Reader(xml).document(&error);
    if (root == nullptr) return {"manifest.xml is not well-formed: " + error};
    if (root->name != "bundle") problems.push_back("the root element is <" + root->name + ">, not <bundle>");
    const auto version_attr = root->attrs.find("version");
    if (version_attr == root->attrs.end() || version_attr->second != "1.0.0")
        problems.emplace_back("<bundle> needs version=\"1.0.0\", the bundle format the host reads");

    std::map<std::string, int> counts;
    const std::regex semver(R"(\d+\.\d+\.\d+)");
    for (const auto &child : root->children) {
        ++counts[child->name];
        if (child->name == "name") {
            out->name = trimmed(child->text);
            if (out->name.empty()) problems.emplace_back("<name> is empty");
        } else if (child->name == "version") {
            out->version = trimmed(child->text);
            if (!std::regex_match(out->version, semver))
                problems.push_back("<version> '" + out->version + "' is not major.minor.patch");
        } else if (child->name == "assets") {
            std::set<std::string> targets;
            for (const auto &plugin : child->children) {
                if (plugin->name != "plugin") {
                    problems.push_back("<assets> holds <" + plugin->name + ">; only <plugin> belongs there");
                    continue;
                }
                Asset a{plugin->attrs["os"], plugin->attrs["arch"], trimmed(plugin->text)};
                if (a.os != "windows" && a.os != "linux" && a.os != "macos")
                    problems.push_back("<plugin> os '" + a.os + "' is not windows, linux or macos");
                if (a.arch != "x64" && a.arch != "x86" && a.arch != "arm64")
                    problems.push_back("<plugin> arch '" + a.arch + "' is not x64, x86 or arm64");
                if (a.path.empty())
                    problems.emplace_back("<plugin> names no file");
                else if (a.path.find('\\') != std::string::npos)
                    problems.push_back("path '" + a.path +
                                       "' uses backslashes; the bundle uses forward slashes");
                else if (a.path.front() == '/' || a.path.find("..") != std::string::npos)
                    problems.push_back("path '" + a.path + "' leaves the bundle");
                if (!targets.insert(a.os + "/" + a.arch).second)
                    problems.push_back("two libraries for " + a.os + " " + a.arch);
                out->assets.push_back(std::move(a));
            }
            if (out->assets.empty()) problems.emplace_back("<assets> lists no plugin library");
        } else {
            problems.push_back("unexpected element <" + child->name + "> in <bundle>");
        }
    }
    for (const char *required : {"assets", "name", "version"}) {
        if (counts[required] == 0) problems.push_back(std::string("<") + required + "> is missing");
        if (counts[required] > 1)
            problems.push_back(std::string("<") + required + "> appears more than once");
    }
    return problems;
}

} // namespace mvtools
