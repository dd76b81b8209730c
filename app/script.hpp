// SPDX-License-Identifier: GPL-3.0-or-later
// Patch scripts: one command per line, run against a runtime. The command-line host and the
// tests share this reader, so a test sees exactly what a user sees.
#pragma once

#include "host/runtime.hpp"
#include <tovo/atom.hpp>

#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace tovo::app {

// Types one token as a message box would: an optional sign and digits is an integer; a decimal
// number with a point or an exponent is a float; anything else is a symbol. False, with a
// reason, for a number that an atom cannot hold.
bool parse_atom(std::string_view token, host::Atom& atom, std::string& why);

// The tokens of a script line: runs of characters between blanks (spaces and tabs). A token
// that starts with "#" starts a comment, which runs to the end of the line; a "#" inside a
// token is a character like any other.
std::vector<std::string_view> split_tokens(std::string_view line);

// The package's plug-ins, found from the running program's bin folder: lib/tovo/externals
// beside it in an install, or the build tree's externals folder.
std::filesystem::path default_externals();

class Script {
public:
    explicit Script(host::Runtime& rt) : rt_(rt) {}

    void run(std::istream& in);
    void run_line(std::string_view line, int number);
    int errors() const { return errors_; }

private:
    // A line being run: its number, its tokens, and the atoms of the tokens after the command.
    struct Line {
        int number;
        std::vector<std::string_view> tokens;
        std::vector<host::Atom> atoms;
    };
    struct Command;
    static const Command COMMANDS[];

    void command_new(const Line& line);
    void command_connect(const Line& line); // and disconnect
    void command_free(const Line& line);
    void command_send(const Line& line);
    void command_assist(const Line& line);
    void command_vectorsize(const Line& line);
    void command_samplerate(const Line& line);
    void command_dsp(const Line& line);
    void command_run(const Line& line);

    void fail(int number, const std::string& what);
    host::Box* named(std::string_view name, int number);

    host::Runtime& rt_;
    int errors_ = 0;
};

} // namespace tovo::app
