// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-pd-help: writes a class's Pd help patch: its hand-written example, then [pd reference]
// (inlets and outlets with the assist texts of a box made with no arguments, the messages the
// class registers, its creation arguments and the In Pd note of its reference page) and
// [pd META]. The texts come from the class itself through the tovo host, so they cannot drift.
//   tovo-pd-help --externals DIR --class CLASS --version V [--example FILE] -o OUT
#include "app/describe.hpp"
#include "pd/tools/pd_patch.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

using tovo::pd::Canvas;
using tovo::pd::escape_text;

struct Reference {
    std::vector<std::string> inlets, outlets, messages;
};

bool read_class(const std::filesystem::path& externals, const std::string& name, Reference& ref,
                std::string& why) {
    std::vector<std::string> console;
    tovo::host::Runtime rt(externals, [&](std::string_view line) { console.emplace_back(line); });
    tovo::host::Box* box = rt.create("help", name, {}, why);
    if (!box)
        return false;
    for (const tovo::host::Method& m : box->cls->methods) {
        const std::string args = tovo::app::argument_text(m);
        if (args != "private")
            ref.messages.push_back(std::string(m.selector->s_name) + " (" + args + ")");
    }
    std::string text;
    for (int i = 0; rt.assist(box, true, i, text); ++i)
        ref.inlets.push_back(text.empty() ? "(no description)" : text);
    for (int i = 0; rt.assist(box, false, i, text); ++i)
        ref.outlets.push_back(text.empty() ? "(no description)" : text);
    return true;
}

// The usage lines of the reference page's creation arguments ("new NAME quat [INTERVAL]" gives
// "quat [INTERVAL]") and its "In Pd" note, when the page has them.
void read_page(const std::filesystem::path& page, std::vector<std::string>& usage,
               std::string& in_pd) {
    std::ifstream in(page);
    std::string line;
    bool creation = false;
    while (std::getline(in, line)) {
        if (line.starts_with("## "))
            creation = line == "## Creation arguments";
        if (creation && line.starts_with("    new NAME "))
            usage.push_back(line.substr(13));
        if (line.starts_with("In Pd:") || line.starts_with("**In Pd:**")) {
            in_pd = line;
            while (std::getline(in, line) && !line.empty())
                in_pd += " " + line;
            in_pd.erase(std::remove(in_pd.begin(), in_pd.end(), '*'), in_pd.end());
            in_pd.erase(std::remove(in_pd.begin(), in_pd.end(), '`'), in_pd.end());
        }
    }
}

// The example patch's lines after its top canvas header, and the lowest y its top-level
// boxes reach.
bool read_example(const std::string& file, std::string& header, std::string& body, int& bottom) {
    std::ifstream in(file);
    if (!in)
        return false;
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::size_t end = text.find(";\n");
    if (!text.starts_with("#N canvas") || end == std::string::npos)
        return false;
    header = text.substr(0, end);
    body = text.substr(end + 2);
    std::istringstream lines(body);
    std::string line;
    int depth = 0;
    bottom = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string a, b;
        int x = 0, y = 0;
        words >> a >> b;
        if (a == "#N" && b == "canvas")
            ++depth;
        else if (a == "#X" && b == "restore" && depth > 0)
            --depth;
        if (depth == 0 && a == "#X" && b != "connect" && b != "coords" && (words >> x >> y))
            bottom = std::max(bottom, y);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string externals, name, version, example, out, docs;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        (arg == "--externals" ? externals
         : arg == "--class"   ? name
         : arg == "--version" ? version
         : arg == "--example" ? example
         : arg == "--docs"    ? docs
         : arg == "-o"        ? out
                              : docs) = argv[i + 1];
    }
    if (externals.empty() || name.empty() || out.empty()) {
        std::fprintf(stderr, "usage: tovo-pd-help --externals DIR --class CLASS --version V "
                             "[--docs DIR] [--example FILE] -o OUT\n");
        return 2;
    }
    Reference ref;
    std::string why;
    if (!read_class(externals, name, ref, why)) {
        std::fprintf(stderr, "tovo-pd-help: %s: %s\n", name.c_str(), why.c_str());
        return 1;
    }
    std::vector<std::string> usage;
    std::string in_pd;
    if (!docs.empty())
        read_page(std::filesystem::path(docs) / (name + ".md"), usage, in_pd);

    std::string header = "#N canvas 40 40 720 560 12", body;
    int bottom = 0;
    Canvas extra;
    if (example.empty() || !read_example(example, header, body, bottom)) {
        // A class without its example yet still gets a help patch; the tests fail until it has one.
        extra.comment(20, 20, escape_text("[" + name + "] has no example yet."));
        bottom = 20;
    }

    Canvas reference;
    int y = 10;
    const auto line = [&](const std::string& text) {
        reference.comment(10, y, escape_text(text), 90);
        y += 22 + static_cast<int>(text.size() / 90) * 16;
    };
    line(name + ": inlets, outlets, messages and creation arguments");
    y += 8;
    for (std::size_t i = 0; i < ref.inlets.size(); ++i)
        line("inlet " + std::to_string(i) + ": " + ref.inlets[i]);
    for (std::size_t i = 0; i < ref.outlets.size(); ++i)
        line("outlet " + std::to_string(i) + ": " + ref.outlets[i]);
    y += 8;
    line("messages, with their arguments (int, float, atoms or - for none):");
    for (const std::string& m : ref.messages)
        line("  " + m);
    y += 8;
    line("creation:");
    for (const std::string& u : usage)
        line("  [" + u + "]");
    if (usage.empty())
        line("  [" + name + "]");
    line("In Pd, an integral creation number is an integer and every number in a message is "
         "a float.");
    if (!in_pd.empty())
        line(in_pd);
    line("Inlets and outlets are those of a box made with no arguments. The full reference is "
         "docs/" +
         name + ".md in the package's sources.");

    Canvas meta;
    meta.comment(10, 10, escape_text("LICENSE GPL-3.0-or-later"));
    meta.comment(10, 35, escape_text("DESCRIPTION " + name + " of the tovo package"));
    meta.comment(10, 60, escape_text("AUTHOR the tovo developers"));
    meta.comment(10, 85, escape_text("VERSION " + version));
    meta.comment(10, 110, escape_text("LIBRARY tovo"));

    // The example's objects keep their numbers; the generated ones follow them.
    extra.subpatch(20, bottom + 50, "reference", reference, 760, std::max(y + 20, 200));
    extra.subpatch(140, bottom + 50, "META", meta, 400, 160);
    extra.comment(240, bottom + 50,
                  escape_text("tovo " + version + " - open [pd reference] for every message"));

    std::ofstream file(out);
    file << header << ";\n" << body << extra.lines();
    if (!file) {
        std::fprintf(stderr, "tovo-pd-help: can't write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
