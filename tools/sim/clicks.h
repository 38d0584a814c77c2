// What smoothing is for, measured: clicks in the mix where the plugin's
// multipliers jump, and each channel's multiplier millisecond by millisecond.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace mvtools {

// The energy above 4 kHz in the stereo mix (the voices have nothing above
// 2 kHz) in the 10 ms around each moment new values from the server take
// effect: a multiplier that jumps splashes energy up there, one that moves
// smoothly does not.
class ClickMeter {
  public:
    ClickMeter();
    // One block of the mix; changed: new values took effect at its first frame.
    void add(const float *mix, uint32_t frames, bool changed);

    struct Result {
        size_t windows = 0;
        double mean_db = -180;  // the windows' mean power, dBFS
        double max_db = -180;   // the loudest window
        double whole_db = -180; // the whole mix above 4 kHz
    };
    [[nodiscard]] Result result() const;

  private:
    // One section of an 8th-order Butterworth high-pass, for both channels.
    struct Section {
        double b0, b1, b2, a1, a2;
        std::array<double, 2> z1{}, z2{};
    };
    struct Window {
        double energy;
        size_t remaining; // samples still to come after the change
    };
    std::vector<Section> sections_;
    std::deque<double> recent_; // the last half window's energies, sample by sample
    std::vector<Window> open_;
    std::vector<double> closed_;
    double whole_ = 0;
    uint64_t samples_ = 0;
};

// Each channel's multiplier (output over input, RMS per millisecond) of one
// speaker, kept from a chosen moment on, with a little of what came before.
class EnvelopeMeter {
  public:
    // lead_ms: how much keep() takes from before its call.
    explicit EnvelopeMeter(size_t lead_ms) : lead_(lead_ms) {}
    // One block of one speaker: input and output, stereo.
    void add(const float *in, const float *out, uint32_t frames);
    // Keeps total_ms milliseconds, starting lead_ms ago.
    void keep(size_t total_ms);
    [[nodiscard]] const std::vector<double> &left() const { return kept_[0]; }
    [[nodiscard]] const std::vector<double> &right() const { return kept_[1]; }

  private:
    std::array<double, 4> sums_{}; // in and out power, left and right, of this millisecond
    uint32_t filled_ = 0;
    std::deque<std::array<double, 2>> recent_;
    size_t lead_, want_ = 0;
    std::array<std::vector<double>, 2> kept_;
};

} // namespace mvtools
