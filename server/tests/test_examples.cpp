// Both example games drive the program through its control port while the
// listener and its radio partner link as plugins do. Every update they
// receive must be one that the rules give for some state of the world the
// game's own lines described (its transcript, replayed line by line), and
// among them must be the walls' muffle and the radio's fifth field.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "client.h"
#include "world_support.h"

namespace mvserver::test {
namespace {

using namespace std::chrono_literals;

const std::string kKey = "example-test-key-7d1e";

struct Example {
    const char *name;
    std::vector<std::string> command;
    Model model;
};

const Example kExamples[] = {
    {"python", {"python3", MV_SOURCE_DIR "/examples/python/game.py"}, Model::linear},
    {"node", {"node", MV_SOURCE_DIR "/examples/node/game.js"}, Model::inverse},
};

// Runs argv with its output in out_path; the child's pid.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

std::string read_all(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's text once it holds `text`; empty at the deadline.
std::string wait_for_text(const std::string &path, const std::string &text) {
    for (const auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(20ms))
        if (std::string all = read_all(path); all.find(text) != std::string::npos) return all;
    return "";
}

int wait_exit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The transcript's control lines (each after its time stamp).
std::vector<std::string> control_lines(const std::string &transcript) {
    std::vector<std::string> lines;
    std::istringstream in(transcript);
    for (std::string l; std::getline(in, l);)
        if (const size_t space = l.find(' '); space != std::string::npos)
            lines.push_back(l.substr(space + 1));
    return lines;
}

// A link for the alias, tried again while the game has not added it yet.
std::unique_ptr<Client> link_when_added(uint16_t port, const std::string &alias, const std::string &hash) {
    for (const auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(20ms)) {
        auto c = std::make_unique<Client>(port);
        const std::string reply = c->handshake(kKey, alias, hash);
        if (reply == "OK") return c;
        if (reply != "ERR unknown_alias") {
            ADD_FAILURE() << alias << ": " << reply;
            return nullptr;
        }
    }
    ADD_FAILURE() << alias << " never added";
    return nullptr;
}

// Every line the link carries until the server closes it (the game's leave).
std::vector<std::string> lines_until_closed(Client &c) {
    std::vector<std::string> lines;
    while (auto l = c.line(20s))
        lines.push_back(*l);
    EXPECT_TRUE(c.closed());
    return lines;
}

// How many entries of the update carry a muffle above 0, and a radio field.
struct Fields {
    size_t muffled = 0, radio = 0;
};
Fields fields(const std::string &update, const std::string &radio_alias) {
    Fields f;
    std::istringstream entries(update.size() > 8 ? update.substr(8) : "");
    for (std::string entry; std::getline(entries, entry, ',');) {
        std::istringstream words(entry);
        std::string alias;
        double gain = 0, pan = 0, muffle = 0, radio = 0;
        words >> alias >> gain >> pan >> muffle;
        f.muffled += muffle > 0;
        if (words >> radio && radio == 1 && alias == radio_alias) ++f.radio;
    }
    return f;
}

TEST(Examples, EveryUpdateFollowsTheRulesForTheWorldTheGameDescribed) {
    for (const Example &example : kExamples) {
        SCOPED_TRACE(example.name);
        char dir_template[] = "/tmp/mv-example-test-XXXXXX";
        const std::string dir = mkdtemp(dir_template);
        std::ofstream(dir + "/key") << kKey << "\n";
        const pid_t server =
            spawn({MV_SERVER_PROGRAM, "--key-file", dir + "/key", "--control", "0", "--control-port-file",
                   dir + "/control.port", "--port", "0", "--port-file", dir + "/plugin.port",
                   "--handshakes-per-minute", "0", "--model", model_name(example.model), "--seconds",
                   "120"}, // gone by itself if this test fails half-way
                  dir + "/server.log");
        const std::string control_port = wait_for_text(dir + "/control.port", "\n");
        const std::string plugin_port = wait_for_text(dir + "/plugin.port", "\n");
        ASSERT_FALSE(control_port.empty() || plugin_port.empty()) << read_all(dir + "/server.log");

        std::vector<std::string> game = example.command;
        game.insert(game.end(), {"--control", "127.0.0.1:" + control_port.substr(0, control_port.size() - 1),
                                 "--seconds", "6", "--transcript", dir + "/transcript"});
        const pid_t game_pid = spawn(game, dir + "/game.out");

        // The listener and its radio partner, from the game's first hear line.
        const std::vector<std::string> setup = control_lines(wait_for_text(dir + "/transcript", " hear "));
        std::map<std::string, std::string> hashes;
        std::string listener, partner;
        for (const std::string &l : setup) {
            std::istringstream words(l);
            std::string verb, a, b;
            words >> verb >> a >> b;
            if (verb == "player") hashes[a] = b;
            if (verb == "hear" && listener.empty()) listener = a, partner = b;
        }
        ASSERT_FALSE(listener.empty()) << read_all(dir + "/game.out");
        const auto port = static_cast<uint16_t>(std::stoi(plugin_port));
        auto l = link_when_added(port, listener, hashes[listener]);
        auto p = link_when_added(port, partner, hashes[partner]);
        ASSERT_TRUE(l && p);
        const std::vector<std::string> heard = lines_until_closed(*l);
        const std::vector<std::string> partner_heard = lines_until_closed(*p);
        EXPECT_EQ(wait_exit(game_pid), 0) << read_all(dir + "/game.out");
        kill(server, SIGTERM);
        EXPECT_EQ(wait_exit(server), 0);

        // What each could have been sent: its table after every line.
        World world(25);
        Rules rules;
        rules.model = example.model;
        const std::string who[2] = {listener, partner};
        std::set<std::string> could[2];
        for (const std::string &line : control_lines(read_all(dir + "/transcript"))) {
            ASSERT_EQ(feed(world, {line}), std::vector<std::string>{""}) << line;
            for (int i = 0; i < 2; ++i)
                if (world.find(who[i])) could[i].insert(update_for(world, rules, who[i]));
        }
        Fields total;
        for (const std::string &u : heard) {
            EXPECT_EQ(could[0].count(u + "\n"), 1u) << u;
            const Fields f = fields(u, partner);
            total.muffled += f.muffled;
            total.radio += f.radio;
        }
        EXPECT_GE(heard.size(), 5u);
        EXPECT_GT(total.muffled, 0u) << "nobody was heard through a wall";
        EXPECT_GT(total.radio, 0u) << "the partner was never heard on the radio";
        size_t partner_radio = 0;
        for (const std::string &u : partner_heard) {
            EXPECT_EQ(could[1].count(u + "\n"), 1u) << u;
            partner_radio += fields(u, listener).radio;
        }
        EXPECT_GT(partner_radio, 0u) << "the radio goes both ways";
        std::filesystem::remove_all(dir);
    }
}

} // namespace
} // namespace mvserver::test
