// SPDX-License-Identifier: GPL-3.0-or-later
// tovo: runs patch scripts against the package's plug-ins.
//   tovo [--externals DIR] [FILE]     FILE is a script; "-" or none reads standard input.
//   tovo [--externals DIR] --list     every class: the built-ins and the folder's plug-ins
//   tovo [--externals DIR] --methods CLASS    what CLASS registers, and a box's inlets/outlets
#include "app/describe.hpp"
#include "app/script.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

int usage(FILE* to = stderr) {
    std::fprintf(to, "usage: tovo [--externals DIR] [FILE]\n"
                     "       tovo [--externals DIR] --list\n"
                     "       tovo [--externals DIR] --methods CLASS\n"
                     "FILE is a patch script; \"-\" or none reads standard input.\n"
                     "exit status:\n"
                     "  0        the script ran to its end and nothing printed an error line\n"
                     "  1        something printed an error line (the run still goes to its end)\n"
                     "  2        the command line is wrong, or the script can't be read\n"
                     "  128+N    stopped by signal N (SIGHUP 129, SIGINT 130, SIGTERM 143), every\n"
                     "           recording closed first\n");
    return 2;
}

// The signal that asked the run to stop, 0 while none has. The handler only stores it; the
// runtime looks at it at every vector boundary and the script reader before every line.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int n) {
    g_stop = n;
}

// SIGINT, SIGTERM and SIGHUP end the run at the next vector boundary, so that every recording
// is closed with a correct header. A second one ends the process at once (the handler is reset).
// The calls are not restarted, so a script read from a terminal or a pipe stops waiting too.
// A file grown past its size limit fails its write instead of ending the process, so that the
// recorder can report it.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int n : {SIGINT, SIGTERM, SIGHUP})
        sigaction(n, &action, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path externals = tovo::app::default_externals();
    std::string file = "-";
    bool have_file = false;
    bool list = false;
    std::string methods_of; // the class of --methods
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--externals" && i + 1 < argc) {
            externals = argv[++i];
            if (externals.empty()) {
                std::fprintf(stderr, "tovo: --externals needs a folder name\n");
                return 2;
            }
        } else if (arg == "--list" && !list)
            list = true;
        else if (arg == "--methods" && i + 1 < argc && methods_of.empty())
            methods_of = argv[++i];
        else if (arg == "-h" || arg == "--help")
            return usage(stdout), 0;
        else if (arg.size() > 1 && arg[0] == '-')
            return usage();
        else if (!have_file)
            file = arg, have_file = true;
        else
            return usage();
    }

    const auto console = [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    };
    if (list || !methods_of.empty()) {
        if (have_file || (list && !methods_of.empty()))
            return usage();
        bool ok = false;
        {
            tovo::host::Runtime rt(externals, console);
            ok = list ? tovo::app::print_class_list(rt) : tovo::app::print_methods(rt, methods_of);
        }
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

    std::ifstream stream;
    if (file != "-") {
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) {
            std::fprintf(stderr, "tovo: can't read %s: it is a folder\n", file.c_str());
            return 2;
        }
        stream.open(file);
        if (!stream) {
            std::fprintf(stderr, "tovo: can't read %s: %s\n", file.c_str(), std::strerror(errno));
            return 2;
        }
    }
    catch_stop_signals();
    long errors = 0;
    bool unreadable = false;
    {
        tovo::host::Runtime rt(externals, console);
        rt.watch_stop(&g_stop);
        tovo::app::Script script(rt);
        std::istream& in = file == "-" ? std::cin : stream;
        script.run(in);
        unreadable = in.bad() && g_stop == 0;
        errors = rt.error_lines();
    } // the patch is freed here: recordings are closed
    std::fflush(stdout);
    if (g_stop != 0) {
        std::fprintf(stderr, "tovo: stopped by signal %d (%s); recordings closed\n",
                     static_cast<int>(g_stop), strsignal(g_stop));
        return 128 + g_stop;
    }
    if (unreadable) {
        std::fprintf(stderr, "tovo: can't read %s to its end\n", file.c_str());
        return 2;
    }
    return errors ? 1 : 0;
}
