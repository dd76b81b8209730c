// SPDX-License-Identifier: GPL-3.0-or-later
// tovo: runs patch scripts against the package's plug-ins.
//   tovo [--externals DIR] [FILE]     FILE is a script; "-" or none reads standard input.
//   tovo [--externals DIR] --list     every class: the built-ins and the folder's plug-ins
//   tovo [--externals DIR] --methods CLASS    what CLASS registers, and a box's inlets/outlets
#include "app/describe.hpp"
#include "app/script.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: tovo [--externals DIR] [FILE]\n"
                         "       tovo [--externals DIR] --list\n"
                         "       tovo [--externals DIR] --methods CLASS\n");
    return 2;
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
        if (arg == "--externals" && i + 1 < argc)
            externals = argv[++i];
        else if (arg == "--list" && !list)
            list = true;
        else if (arg == "--methods" && i + 1 < argc && methods_of.empty())
            methods_of = argv[++i];
        else if (arg == "-h" || arg == "--help")
            return usage(), 0;
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
        stream.open(file);
        if (!stream) {
            std::fprintf(stderr, "tovo: can't read %s\n", file.c_str());
            return 2;
        }
    }
    int errors = 0;
    {
        tovo::host::Runtime rt(externals, console);
        tovo::app::Script script(rt);
        script.run(file == "-" ? std::cin : stream);
        errors = script.errors();
    }
    std::fflush(stdout);
    return errors ? 1 : 0;
}
