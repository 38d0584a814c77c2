// One run of the host simulator: a copy of the plugin in a work directory
// with its settings file, the host stand-in around it, a tap on its falloff
// link, and an audio thread that feeds it synthetic voices in 48 kHz blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "sim/clicks.h"
#include "sim/picture.h"
#include "sim/run_record.h"
#include "sim/tap.h"
#include "sim/voice.h"
#include "sim/wav.h"
#include "sim/wire_check.h"

namespace mvtools {

struct SimUser {
    std::string alias;
    std::string hash;
};

struct SimConfig {
    std::string plugin_path;
    std::string workdir; // empty: a fresh directory under the temp directory
    std::string server_host = "127.0.0.1";
    uint16_t server_port = 8890;
    std::string api_key = "SET_THIS_PRIVATE_KEY";
    int reconnect_sec = 2;
    int smoothing_ms = 0;  // the plugin's smoothing_ms setting
    bool tap = true;       // watch the link (the plugin then connects to the tap)
    bool write_ini = true; // false: keep the settings file found in workdir
    SimUser local{"VC-Listener", ""};
    std::vector<SimUser> speakers;
    uint32_t frames = 960; // per audio block
    uint32_t plugin_id = 7;
    int32_t connection = 1;
};

struct SpeakerRow {
    std::string alias;
    uint32_t id = 0;
    std::optional<Entry> sent; // what the server last sent for this alias
    Measured heard;
};

struct Snapshot {
    double t = 0; // seconds of audio so far
    LinkStage stage = LinkStage::idle;
    size_t accepted = 0, rejected = 0, updates = 0, bad_entries = 0, muffled_entries = 0;
    size_t server_pings = 0, pings_answered = 0;
    double rate = 0;
    std::vector<SpeakerRow> rows;
};

class Simulation {
  public:
    explicit Simulation(SimConfig config);
    ~Simulation();
    Simulation(const Simulation &) = delete;
    Simulation &operator=(const Simulation &) = delete;

    // Everything up to a synchronised server: on failure says why.
    bool start(std::string *error);
    [[nodiscard]] const std::string &workdir() const { return workdir_; }
    [[nodiscard]] const mvhost::PluginInfo &plugin_info() const { return info_; }
    // Null until start() has loaded the plugin.
    [[nodiscard]] mvhost::Host *host() { return host_.get(); }

    bool open_wav(const std::string &path);
    // One audio block on the calling thread.
    void run_block();
    // Blocks on a thread of their own, paced to real time when realtime.
    void start_audio(bool realtime);
    // Leaves the server and shuts the plugin down with the audio still
    // running (as the host may), then stops the audio and unloads.
    void finish();

    [[nodiscard]] Snapshot snapshot();
    // What the run measured, for a picture or a comparison (after finish()).
    [[nodiscard]] RunRecord record(std::string label);
    // New wire events since the last call, and the whole check afterwards.
    std::vector<WireEvent> take_events();
    [[nodiscard]] std::vector<std::string> wire_summary();
    [[nodiscard]] std::vector<WireEvent> all_events();
    [[nodiscard]] bool tapped() const { return tap_ != nullptr; }
    [[nodiscard]] double audio_seconds() const;

  private:
    void write_ini() const;

    SimConfig config_;
    std::string workdir_;
    std::unique_ptr<mvhost::Host> host_;
    mvhost::PluginInfo info_;
    std::mutex wire_mutex_;
    WireCheck check_;
    std::unique_ptr<Tap> tap_;

    std::vector<Voice> voices_;
    std::vector<float> in_, out_, mix_;
    WavWriter wav_;
    std::atomic<bool> audio_stop_{false};
    std::atomic<bool> recording_{true};
    std::thread audio_;
    std::atomic<uint64_t> frames_done_{0};

    std::mutex mutex_; // guards what follows
    std::vector<Measured> last_;
    std::vector<Series> series_;
    std::vector<EnvelopeMeter> envelopes_; // per speaker
    ClickMeter clicks_;
    size_t updates_seen_ = 0; // handed to the plugin before the last block
    bool keeping_envelopes_ = false;
};

} // namespace mvtools
