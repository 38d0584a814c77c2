#include "simulation.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/text.h"

namespace mvtools {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = ascii_lower(c);
    return out;
}

WireExpect expectations(const SimConfig &c) {
    WireExpect e{c.local.alias, c.local.hash, c.api_key, {}};
    e.known_aliases.insert(lower(c.local.alias));
    for (const SimUser &u : c.speakers)
        e.known_aliases.insert(lower(u.alias));
    return e;
}

} // namespace

Simulation::Simulation(SimConfig config) : config_(std::move(config)), check_(expectations(config_)) {
    for (size_t i = 0; i < config_.speakers.size(); ++i)
        voices_.emplace_back(i);
    last_.resize(config_.speakers.size());
    for (const SimUser &u : config_.speakers)
        series_.push_back({u.alias, {}, {}, {}, {}, {}});
    envelopes_.assign(config_.speakers.size(), EnvelopeMeter(kDetailLeadMs));
}

Simulation::~Simulation() {
    finish();
}

void Simulation::write_ini() const {
    std::ofstream ini(fs::path(workdir_) / "marlpike_voice.ini", std::ios::binary);
    ini << "# Written by the host simulator for this run.\n"
        << "server_host=" << (tap_ ? std::string("127.0.0.1") : config_.server_host) << "\n"
        << "server_port=" << (tap_ ? tap_->port() : config_.server_port) << "\n"
        << "api_key=" << config_.api_key << "\n"
        << "enabled=1\n"
        << "debug_log=1\n"
        << "reconnect_sec=" << config_.reconnect_sec << "\n"
        << "smoothing_ms=" << config_.smoothing_ms << "\n";
}

bool Simulation::start(std::string *error) {
    std::error_code ec;
    workdir_ = config_.workdir;
    if (workdir_.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "marlpike-sim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            *error = "cannot create a work directory";
            return false;
        }
        workdir_ = pattern;
    }
    fs::create_directories(workdir_, ec);
    // The host loads the plugin from its plugin folder, and the plugin reads
    // its settings beside itself: so it runs from a copy in the work directory.
    const fs::path copy = fs::path(workdir_) / fs::path(config_.plugin_path).filename();
    if (fs::absolute(config_.plugin_path, ec) != fs::absolute(copy, ec) &&
        !fs::copy_file(config_.plugin_path, copy, fs::copy_options::overwrite_existing, ec)) {
        *error = "cannot copy " + config_.plugin_path + " to " + workdir_ + ": " + ec.message();
        return false;
    }
    if (config_.tap) {
        tap_ = std::make_unique<Tap>(config_.server_host, config_.server_port, check_, wire_mutex_);
        if (!tap_->start(error)) return false;
    }
    if (config_.write_ini) write_ini();
    // The environment overrides the settings file; this run's file must win.
    unsetenv("MARLPIKE_VOICE_HOST");
    unsetenv("MARLPIKE_VOICE_PORT");

    host_ = std::make_unique<mvhost::Host>(copy.string());
    if (!host_->loaded()) {
        *error = "cannot load " + copy.string() + ": " + host_->load_error();
        return false;
    }
    // The client refuses a library without these; the rest it can do without.
    const mvhost::PluginExports &p = host_->plugin();
    if (p.init == nullptr || p.shutdown == nullptr || p.getName == nullptr || p.getAPIVersion == nullptr ||
        p.registerAPIFunctions == nullptr) {
        *error = "not a plugin: required exports are missing:";
        for (const std::string &name : host_->missing_exports())
            *error += " " + name;
        return false;
    }
    info_ = host_->info();
    if (!host_->start(config_.plugin_id)) {
        *error = "the plugin's init did not answer 0";
        return false;
    }
    std::vector<mvhost::RosterUser> users{{1, config_.local.alias, config_.local.hash}};
    for (size_t i = 0; i < config_.speakers.size(); ++i)
        users.push_back(
            {static_cast<mvhost::UserId>(i + 2), config_.speakers[i].alias, config_.speakers[i].hash});
    host_->join(config_.connection, std::move(users));
    return true;
}

bool Simulation::open_wav(const std::string &path) {
    return wav_.open(path);
}

double Simulation::audio_seconds() const {
    return static_cast<double>(frames_done_.load()) / kSampleRate;
}

void Simulation::run_block() {
    const uint32_t frames = config_.frames;
    const size_t n = static_cast<size_t>(frames) * 2;
    in_.resize(n);
    out_.resize(n);
    mix_.assign(n, 0.0f);
    const mvhost::PluginExports &fn = host_->plugin();
    // New values the plugin has had since the last block take effect now.
    const size_t updates = tap_ ? tap_->updates_relayed() : 0;
    std::vector<float> sent(voices_.size(), std::nanf(""));
    if (tap_) {
        std::lock_guard lock(wire_mutex_);
        for (size_t i = 0; i < voices_.size(); ++i)
            if (const auto it = check_.latest().find(lower(config_.speakers[i].alias));
                it != check_.latest().end())
                sent[i] = it->second.muffle;
    }
    std::lock_guard lock(mutex_);
    const bool changed = updates != updates_seen_;
    updates_seen_ = updates;
    if (changed && updates >= kDetailUpdate && !keeping_envelopes_ && recording_.load()) {
        keeping_envelopes_ = true;
        for (EnvelopeMeter &e : envelopes_)
            e.keep(kDetailMs);
    }
    const double t = audio_seconds();
    for (size_t i = 0; i < voices_.size(); ++i) {
        voices_[i].render(in_.data(), frames);
        out_ = in_;
        if (fn.onAudioSourceFetched != nullptr)
            fn.onAudioSourceFetched(out_.data(), frames, 2, kSampleRate, true, static_cast<uint32_t>(i + 2));
        const Measured m = measure(in_.data(), out_.data(), frames);
        envelopes_[i].add(in_.data(), out_.data(), frames);
        for (size_t k = 0; k < n; ++k)
            mix_[k] += out_[k];
        last_[i] = m;
        if (!recording_.load()) continue;
        Series &sr = series_[i];
        sr.t.push_back(t);
        sr.gain.push_back(m.gain);
        sr.pan.push_back(m.silent ? std::nan("") : m.pan);
        sr.muffle.push_back(m.silent ? std::nan("") : m.muffle);
        sr.sent_muffle.push_back(sent[i]);
    }
    if (fn.onAudioOutputAboutToPlay != nullptr)
        fn.onAudioOutputAboutToPlay(mix_.data(), frames, 2, kSampleRate);
    if (recording_.load()) clicks_.add(mix_.data(), frames, changed);
    wav_.write(mix_.data(), frames);
    frames_done_ += frames;
}

void Simulation::start_audio(bool realtime) {
    audio_stop_.store(false);
    audio_ = std::thread([this, realtime] {
        const mvhost::AudioThreadMark mark; // so that an API call from here is caught
        const auto block = std::chrono::duration<double>(static_cast<double>(config_.frames) / kSampleRate);
        auto next = std::chrono::steady_clock::now();
        while (!audio_stop_.load()) {
            run_block();
            if (realtime) {
                next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(block);
                std::this_thread::sleep_until(next);
            } else {
                std::this_thread::yield();
            }
        }
    });
}

void Simulation::finish() {
    const bool running = host_ != nullptr && host_->initialised();
    recording_.store(false);
    if (running) {
        host_->leave();
        host_->shutdown(); // with the audio still running, as the client may
    }
    audio_stop_.store(true);
    if (audio_.joinable()) audio_.join();
    if (tap_) tap_->stop();
    wav_.close();
    if (host_ != nullptr) host_->unload();
}

Snapshot Simulation::snapshot() {
    Snapshot s;
    s.t = audio_seconds();
    std::vector<Measured> heard;
    {
        std::lock_guard lock(mutex_);
        heard = last_;
    }
    std::lock_guard lock(wire_mutex_);
    s.stage = check_.stage();
    s.accepted = check_.accepted();
    s.rejected = check_.rejected();
    s.updates = check_.updates();
    s.bad_entries = check_.bad_entries();
    s.muffled_entries = check_.muffled_entries();
    s.server_pings = check_.server_pings();
    s.pings_answered = check_.pings_answered();
    s.rate = check_.update_rate();
    for (size_t i = 0; i < config_.speakers.size(); ++i) {
        SpeakerRow row{config_.speakers[i].alias, static_cast<uint32_t>(i + 2), std::nullopt, heard[i]};
        const auto it = check_.latest().find(lower(row.alias));
        if (it != check_.latest().end()) row.sent = it->second;
        s.rows.push_back(std::move(row));
    }
    return s;
}

RunRecord Simulation::record(std::string label) {
    RunRecord r{std::move(label), {}, audio_seconds(), {}, {}, {}, {}};
    std::lock_guard lock(mutex_);
    r.clicks = clicks_.result();
    r.series = series_;
    for (size_t i = 0; i < envelopes_.size(); ++i) {
        r.envelopes.push_back({config_.speakers[i].alias + " left", envelopes_[i].left()});
        r.envelopes.push_back({config_.speakers[i].alias + " right", envelopes_[i].right()});
    }
    return r;
}

std::vector<WireEvent> Simulation::take_events() {
    std::lock_guard lock(wire_mutex_);
    return check_.take_new();
}

std::vector<std::string> Simulation::wire_summary() {
    const double end = tap_ ? tap_->now() : 0;
    std::lock_guard lock(wire_mutex_);
    return check_.summary(end);
}

} // namespace mvtools

namespace mvtools {

std::vector<WireEvent> Simulation::all_events() {
    std::lock_guard lock(wire_mutex_);
    return check_.all();
}

} // namespace mvtools
