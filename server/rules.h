// The rules that turn where two players stand into what one hears of the
// other: a distance model for the gain, the pan from the bearing relative to
// the listener's heading, and values kept as integer thousandths.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mvserver {

enum class Model { linear, inverse, exponential };

[[nodiscard]] std::optional<Model> parse_model(std::string_view name);
[[nodiscard]] const char *model_name(Model m);

struct Rules {
    double near_m = 2; // full volume within (scaled by the speaker's range)
    double far_m = 25; // silent from; also the default range
    Model model = Model::linear;
    double rolloff = 1; // for inverse and exponential
};

// Why a set of rules cannot be used, or nothing when it can.
[[nodiscard]] const char *rules_problem(const Rules &r);

// Gain at 3-D distance d from a speaker whose voice carries range metres:
// 1 within n = near * range / far, 0 from range on, the model between.
[[nodiscard]] double gain_at(const Rules &r, double d, double range);

// The sine of the speaker's bearing from the listener (clockwise from north)
// minus the listener's heading, from the offset dx (east), dy (north) and
// the heading's sine and cosine; 0 when the offset is 0 horizontally.
[[nodiscard]] double pan_of(double dx, double dy, double sin_heading, double cos_heading);

// A value in integer thousandths, as tables hold and lines print it.
[[nodiscard]] int32_t to_milli(double v);

} // namespace mvserver
