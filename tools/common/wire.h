// The falloff line protocol as the plugin reads it: framing, the server's line
// kinds and the update grammar. The reference server formats with it and the
// simulator's wire check judges a server's lines with it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

// The plugin keeps at most this many characters of a line; the rest starts a
// new line.
inline constexpr size_t kMaxLine = 8191;
inline constexpr size_t kMaxAlias = 127;
inline constexpr std::string_view kChallengePrefix = "CHALLENGE ";

// Cuts a byte stream into lines as the plugin does: LF ends a line, CR is
// dropped wherever it stands, a line is cut after kMaxLine characters.
class LineFramer {
  public:
    struct Line {
        std::string text;
        bool had_cr = false;
        bool was_cut = false; // ended by the length limit, not by an LF
    };
    explicit LineFramer(size_t max_line = kMaxLine) : max_(max_line) {}
    // Appends bytes; complete lines come out of next().
    void feed(std::string_view bytes);
    std::optional<Line> next();
    // What has arrived of a line that has not ended yet.
    [[nodiscard]] const std::string &partial() const { return current_.text; }

  private:
    size_t max_;
    Line current_;
    std::vector<Line> ready_;
    size_t taken_ = 0;
};

enum class ServerLine { empty, challenge, ok, ping, update, update2, update3, other };

struct Classified {
    ServerLine kind;
    std::string_view payload; // challenge token or update payload
};
// A NUL inside the line ends its text, as in the plugin.
[[nodiscard]] Classified classify_server_line(std::string_view line);
[[nodiscard]] const char *kind_name(ServerLine kind);

// One speaker entry of an update payload, read the way the plugin reads it:
// "%127s %f" for UPDATE, "%127s %f %f" for UPDATE2, "%127s %f %f %f %f" for
// UPDATE3 (the fourth value is the muffle, the fifth the radio).
struct Entry {
    std::string alias;
    float gain = 0;
    float pan = 0;
    float muffle = 0; // 0 clear .. 1 fully muffled
    float radio = 0;  // 0 none .. 1 a full radio voice
};

struct EntryVerdict {
    std::optional<Entry> entry; // empty: the plugin skips the entry
    // Why it was skipped, or a warning about a valid entry (empty when clean).
    std::string note;
};

// kind is update, update2 or update3.
[[nodiscard]] EntryVerdict parse_entry(std::string_view entry, ServerLine kind);
// The entries of a payload: split at commas (runs count as one), trimmed,
// empty pieces dropped.
[[nodiscard]] std::vector<std::string_view> split_entries(std::string_view payload);

// "UPDATE2 VC-a 0.5000 -0.2500, VC-b 1.0000 0.0000\n", or with the muffle
// as a fourth value, "UPDATE3 VC-a 0.5000 -0.2500 0.8000, ...\n", and with
// the radio as a fifth, "UPDATE3 VC-a 0.5000 -0.2500 0.8000 1.0000, ...\n".
[[nodiscard]] std::string format_update(const std::vector<Entry> &entries, bool with_muffle,
                                        bool with_radio = false);

} // namespace mvtools
