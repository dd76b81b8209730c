// SPDX-License-Identifier: GPL-3.0-or-later
// Writing Pd patch files and running them in a headless Pd.
#include "pd/tools/pd_patch.hpp"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace tovo::pd {

std::string escape(std::string_view token) {
    std::string out;
    for (char c : token) {
        if (c == ',' || c == ';' || c == '$' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string escape_text(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string word, out;
    while (in >> word) {
        if (!out.empty())
            out += ' ';
        out += escape(word);
    }
    return out;
}

int Canvas::add(const std::string& line) {
    body_ += line + ";\n";
    return count_++;
}

int Canvas::object(int x, int y, const std::string& text) {
    return add("#X obj " + std::to_string(x) + " " + std::to_string(y) + " " + text);
}

int Canvas::message(int x, int y, const std::string& text) {
    return add("#X msg " + std::to_string(x) + " " + std::to_string(y) + " " + text);
}

int Canvas::comment(int x, int y, const std::string& text, int width_chars) {
    std::string line = "#X text " + std::to_string(x) + " " + std::to_string(y) + " " + text;
    if (width_chars > 0)
        line += " \\, f " + std::to_string(width_chars);
    return add(line);
}

int Canvas::array(const std::string& name, int size) {
    // A table object: an array of its own that is never saved with the patch.
    return object(10, 10 + count_ * 5, "table " + escape(name) + " " + std::to_string(size));
}

int Canvas::subpatch(int x, int y, const std::string& name, const Canvas& inside, int w, int h) {
    body_ += "#N canvas 80 80 " + std::to_string(w) + " " + std::to_string(h) + " " + escape(name) +
             " 0;\n" + inside.body_;
    return add("#X restore " + std::to_string(x) + " " + std::to_string(y) + " pd " + escape(name));
}

void Canvas::connect(int from, int outlet, int to, int inlet) {
    body_ += "#X connect " + std::to_string(from) + " " + std::to_string(outlet) + " " +
             std::to_string(to) + " " + std::to_string(inlet) + ";\n";
}

std::string patch_file(const Canvas& top, int w, int h, int font) {
    return "#N canvas 40 40 " + std::to_string(w) + " " + std::to_string(h) + " " +
           std::to_string(font) + ";\n" + top.lines();
}

namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

} // namespace

std::vector<std::string> run_pd(const std::string& pd, const std::string& dir,
                                const std::string& patch, double sample_rate, int& status) {
    // Pd in batch mode ends when the patch sends "pd quit"; a patch that never does is stopped.
    const std::filesystem::path file(patch);
    const std::string command =
        "cd " + quoted(file.parent_path().empty() ? "." : file.parent_path().string()) +
        " && timeout 120 " + quoted(pd) + " -noprefs -nogui -noaudio -batch -stderr -r " +
        std::to_string(static_cast<long>(sample_rate)) + " -path " + quoted(dir) + " -open " +
        quoted(file.filename().string()) + " 2>&1";
    std::vector<std::string> lines;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        status = -1;
        return lines;
    }
    std::array<char, 4096> buffer;
    std::string line;
    while (std::fgets(buffer.data(), buffer.size(), p)) {
        line += buffer.data();
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty())
        lines.push_back(line);
    const int raw = pclose(p);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return lines;
}

bool is_pd_chatter(std::string_view line) {
    // Without audio and GUI, Pd 0.53 says nothing of its own; later versions may name their
    // audio settings. Nothing else is dropped.
    return line.starts_with("audio I/O stuck") || line.starts_with("pd: ");
}

} // namespace tovo::pd
