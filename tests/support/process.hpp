// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one of the tovo programs as a user would, in a folder of the test's choosing, and gives
// back its exit status (128 + N when a signal ended it) and what it printed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tovo::testing {

struct Outcome {
    int status = -1;
    std::string out, err;
};

struct Launch {
    std::vector<std::string> argv;
    std::filesystem::path folder = ".";
    std::string input;         // written to standard input, which is then closed
    long file_size_limit = -1; // bytes, as `ulimit -f` sets it
    std::string path_variable; // PATH for the program, when not empty
    // Called with the running program's pid and its standard input still open, instead of
    // writing `input`; it may signal the program. It owns the descriptor and must close it.
    std::function<void(pid_t, int)> while_running;
};

// A program and its arguments, run in `folder`.
inline Launch program(std::vector<std::string> argv, std::filesystem::path folder = ".") {
    Launch how;
    how.argv = std::move(argv);
    how.folder = std::move(folder);
    return how;
}

inline std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

inline Outcome launch(const Launch& how) {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err))
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        if (::chdir(how.folder.c_str()) != 0)
            ::_exit(120);
        if (how.file_size_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(how.file_size_limit),
                               static_cast<rlim_t>(how.file_size_limit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (!how.path_variable.empty())
            ::setenv("PATH", how.path_variable.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : how.argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Standard error is read after standard output: the programs print little there.
    std::string out_text, err_text;
    ::signal(SIGPIPE, SIG_IGN);
    if (how.while_running) {
        how.while_running(pid, in[1]);
    } else {
        std::size_t at = 0;
        while (at < how.input.size()) {
            const ssize_t put = ::write(in[1], how.input.data() + at, how.input.size() - at);
            if (put <= 0)
                break;
            at += static_cast<std::size_t>(put);
        }
        ::close(in[1]);
    }
    out_text = drain(out[0]);
    err_text = drain(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Outcome o;
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = std::move(out_text);
    o.err = std::move(err_text);
    return o;
}

} // namespace tovo::testing
