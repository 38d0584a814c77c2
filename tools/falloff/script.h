// The vocabulary of the scripted falloff server: what it expects, sends and
// does, one step after another (see script_server.h).
#pragma once

#include <cstdint>
#include <string>

namespace mvfalloff {

// The handshake as the server plays it: reads "HELLO2 <api_key> <alias>",
// sends "CHALLENGE <token>\n", reads "PROOF <64 lowercase hex>", compares it
// with proof (when not empty) and sends reply as given (nothing when empty).
struct Handshake {
    std::string api_key;
    std::string alias;
    std::string token;
    std::string proof; // expected; computed independently of the code under test
    std::string reply = "OK\n";
};

struct Step {
    enum class Kind {
        expect_exact,
        expect_prefix,
        expect_any,
        expect_close,
        send,
        pause,
        silent,
        close,
        reset,
        accept,
        handshake,
        gate
    };

    // Each expect consumes the next line not yet consumed (without its LF; a
    // CR stays). A mismatch or a close ends the script with an error.
    static Step expect(std::string line) { return {Kind::expect_exact, std::move(line)}; }
    static Step expect_prefix(std::string prefix) { return {Kind::expect_prefix, std::move(prefix)}; }
    static Step expect_any() { return {Kind::expect_any, {}}; }
    // Reads until the peer closes the connection (or resets it).
    static Step expect_close() { return {Kind::expect_close, {}}; }
    static Step send(std::string bytes) { return {Kind::send, std::move(bytes)}; }
    static Step send_line(std::string line) { return {Kind::send, std::move(line) + "\n"}; }
    // Waits, still reading and recording what arrives.
    static Step pause(uint32_t ms) { return {Kind::pause, {}, ms}; }
    // Waits without reading, so that what the peer sends stays unread.
    static Step silent(uint32_t ms) { return {Kind::silent, {}, ms}; }
    static Step close() { return {Kind::close, {}}; }
    // Closes so that the peer sees a reset.
    static Step reset() { return {Kind::reset, {}}; }
    // Closes the current connection if still open and waits for the next.
    static Step accept() { return {Kind::accept, {}}; }
    static Step handshake(Handshake h) {
        Step step{Kind::handshake, {}};
        step.hs = std::move(h);
        return step;
    }
    // Waits, still reading and recording, until the test has called
    // open_gate() more times than gates were passed: lets a test look at the
    // plugin at a moment the server holds still.
    static Step gate() { return {Kind::gate, {}}; }

    Kind kind;
    std::string text;
    uint32_t ms = 0;
    Handshake hs{};
};

} // namespace mvfalloff
