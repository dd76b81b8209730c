// SPDX-License-Identifier: GPL-3.0-or-later
// The programs as a user runs them: tovo's exit status for every kind of run, signals that stop
// a render, a write that fails, and the tools' usage and failures.
#include "support/process.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tovo::testing::launch;
using tovo::testing::Launch;
using tovo::testing::Outcome;
using tovo::testing::program;

class Programs : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/tovo-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome tovo(const std::string& script, std::vector<std::string> args = {}) {
        std::ofstream(dir_ / "patch.tovo") << script;
        Launch how;
        how.argv = {TOVO_PROGRAM, "--externals", TOVO_EXTERNALS_DIR};
        if (args.empty())
            args = {"patch.tovo"};
        how.argv.insert(how.argv.end(), args.begin(), args.end());
        how.folder = dir_;
        return launch(how);
    }

    static long long frames_of(const fs::path& file) {
        SF_INFO info{};
        SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
        if (!sf)
            return -1;
        sf_close(sf);
        return info.frames;
    }

    fs::path dir_;
};

TEST_F(Programs, TovoExitsOneWhenAnythingPrintedAnErrorLineAndRunsToTheEnd) {
    EXPECT_EQ(tovo("new p print\nsend p 1\n").status, 0);
    // An object's error line, not the script's, still fails the run; the lines after it run.
    for (const char* fault :
         {"new f sfplay~ missing.wav", "new r sfrecord~ no/folder/out.wav\nsend r 1",
          "new d tovo.ambi.decode~ 2d 1st 8\nsend d wdith 0.5",
          "new d tovo.ambi.decode~ 2d 1st 8\nsend d speaker 8 0 0",
          "new d tovo.ambi.decode~ 2d 1st 8\nnew a tovo.ambi.encode~\nconnect d 0 a 0\n"
          "connect a 0 d 0\ndsp 1",
          "new n noise~ 1e30"}) {
        const Outcome o = tovo(std::string(fault) + "\nnew p print\nsend p end\n");
        EXPECT_EQ(o.status, 1) << fault;
        EXPECT_NE(o.out.find("error: "), std::string::npos) << fault;
        EXPECT_TRUE(o.out.ends_with("print: end\n")) << fault << "\n" << o.out;
    }
}

TEST_F(Programs, TovoExitsTwoWhenTheScriptCannotBeRead) {
    Outcome o = tovo("", {"missing.tovo"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "tovo: can't read missing.tovo: No such file or directory\n");
    o = tovo("", {"."});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "tovo: can't read .: it is a folder\n");
    // A bare class name must never reach the system's library search.
    o = launch(program({TOVO_PROGRAM, "--externals", "", "-"}, dir_));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "tovo: --externals needs a folder name\n");
    // --help shows the table of exit statuses on standard output, and succeeds.
    o = launch(program({TOVO_PROGRAM, "--help"}));
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("128+N    stopped by signal N"), std::string::npos) << o.out;
}

TEST_F(Programs, ANulByteInALineIsAnErrorNamingTheLine) {
    using namespace std::string_literals;
    const Outcome o = tovo("new p print\nsend p a\0b c\nsend p d\n"s);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "error: line 2: a NUL byte in the line; the line is not run\nprint: d\n");
}

// The signal arrives while tovo waits for its next script line, or in the middle of a long run:
// either way every recording is closed with a correct header, and the status says which signal.
TEST_F(Programs, ASignalStopsTheRunAtAVectorBoundaryAndClosesEveryRecording) {
    const fs::path file = dir_ / "take.wav";
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove(file);
        Launch how = program({TOVO_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "-"}, dir_);
        how.while_running = [&](pid_t pid, int input) {
            const std::string script = "samplerate 8000\nnew s sig~ 0.5\nnew r sfrecord~ "
                                       "take.wav\nconnect s 0 r 0\nsend r 1\nrun 1\n";
            ASSERT_EQ(::write(input, script.data(), script.size()),
                      static_cast<ssize_t>(script.size()));
            // Waits for the second of audio to be on disk, then interrupts the waiting reader.
            for (int i = 0; i < 3000 && (!fs::exists(file) || fs::file_size(file) < 32000); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::kill(pid, signal);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::close(input);
        };
        const Outcome o = launch(how);
        EXPECT_EQ(o.status, 128 + signal);
        EXPECT_NE(o.err.find("recordings closed"), std::string::npos) << o.err;
        EXPECT_EQ(frames_of(file), 8000);
    }

    // In the middle of a run of a day's signal.
    fs::remove(file);
    Launch how = program({TOVO_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "-"}, dir_);
    how.while_running = [&](pid_t pid, int input) {
        const std::string script = "samplerate 8000\nnew s sig~ 0.5\nnew r sfrecord~ take.wav\n"
                                   "connect s 0 r 0\nsend r 1\nrun 86400\n";
        ASSERT_EQ(::write(input, script.data(), script.size()),
                  static_cast<ssize_t>(script.size()));
        ::close(input);
        for (int i = 0; i < 3000 && (!fs::exists(file) || fs::file_size(file) < 400000); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(pid, SIGTERM);
    };
    const Outcome o = launch(how);
    EXPECT_EQ(o.status, 128 + SIGTERM);
    const long long frames = frames_of(file);
    EXPECT_GT(frames, 100000);
    EXPECT_EQ(frames % 64, 0); // whole vectors
    // The data chunk's size is what the file holds behind it.
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::size_t data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    const auto size = static_cast<unsigned char>(bytes[data + 4]) |
                      static_cast<unsigned char>(bytes[data + 5]) << 8 |
                      static_cast<unsigned char>(bytes[data + 6]) << 16 |
                      static_cast<long long>(static_cast<unsigned char>(bytes[data + 7])) << 24;
    EXPECT_EQ(size, frames * 4);
    EXPECT_EQ(static_cast<long long>(bytes.size()), static_cast<long long>(data) + 8 + size);
}

TEST_F(Programs, AFailedWriteIsReportedOnceAndFailsTheRun) {
    std::ofstream(dir_ / "patch.tovo")
        << "samplerate 8000\nnew s sig~ 0.5\nnew r sfrecord~ limited.wav\nconnect s 0 r 0\n"
           "send r 1\nrun 10\nnew p print\nsend p end\n";
    Launch how = program({TOVO_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "patch.tovo"}, dir_);
    how.file_size_limit = 64 * 1024; // ulimit -f 128
    const Outcome o = launch(how);
    EXPECT_EQ(o.status, 1);
    ASSERT_NE(o.out.find('\n'), std::string::npos);
    const std::string first = o.out.substr(0, o.out.find('\n'));
    EXPECT_TRUE(first.starts_with("error: sfrecord~: writing limited.wav failed after ")) << first;
    EXPECT_EQ(o.out.substr(o.out.find('\n') + 1), "print: end\n");
    // What reached the disk reads back, up to the limit.
    const long long frames = frames_of(dir_ / "limited.wav");
    EXPECT_GT(frames, 10000);
    EXPECT_LE(frames * 4, 64 * 1024);
}

TEST_F(Programs, TovoLevelsHelpPrintsTheUsage) {
    const Outcome o = launch(program({TOVO_LEVELS_PROGRAM, "--help"}, dir_));
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.out.starts_with("usage: tovo-levels FILE [LABEL]")) << o.out;
    EXPECT_EQ(o.err, "");
}

TEST_F(Programs, TovoPlotWritesOnlyItsPictureAndSaysWhatWentWrong) {
    // No words: the usage, and nothing written.
    Outcome o = launch(program({TOVO_PLOT_PROGRAM}, dir_));
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(o.err.starts_with("usage: tovo-plot")) << o.err;
    EXPECT_TRUE(fs::is_empty(dir_));

    // A user's own files beside the picture stay as they were; only the picture is added.
    std::ofstream(dir_ / "pic.dat") << "mine\n";
    std::ofstream(dir_ / "pic.gp") << "mine\n";
    o = launch(program({TOVO_PLOT_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "-o", "pic.png",
                        "--steps", "36", "3d", "3rd", "10", "max-rE"},
                       dir_));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_GT(fs::file_size(dir_ / "pic.png"), 1000u);
    EXPECT_EQ(fs::file_size(dir_ / "pic.dat"), 5u);
    EXPECT_EQ(fs::file_size(dir_ / "pic.gp"), 5u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 3);

    // The decoder refuses a message: its line is shown and nothing is drawn.
    for (const char* message : {"speaker 8 0 0", "wdith 0.5"}) {
        o = launch(program({TOVO_PLOT_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "-o", "bad.png",
                            "--send", message, "2d", "1st", "8"},
                           dir_));
        EXPECT_EQ(o.status, 1) << message;
        EXPECT_NE(o.err.find("error: "), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(dir_ / "bad.png"));
    }

    // No gnuplot: one line that says so.
    Launch bare = program(
        {TOVO_PLOT_PROGRAM, "--externals", TOVO_EXTERNALS_DIR, "-o", "none.png", "2d", "1st", "4"},
        dir_);
    bare.path_variable = "/nonexistent";
    o = launch(bare);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.starts_with("tovo-plot: gnuplot failed")) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
}

} // namespace
