// SPDX-License-Identifier: GPL-3.0-or-later
// Writing Pd patch files: objects, messages and comments with their atoms escaped as Pd reads
// them, subpatches, and cords by object index; and running a patch in a headless Pd.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovo::pd {

// A token as Pd's file format needs it: commas, semicolons and dollars escaped.
std::string escape(std::string_view token);
// Every whitespace-separated token of text, escaped.
std::string escape_text(std::string_view text);

// One canvas's lines; objects are numbered from 0 in the order they are added.
class Canvas {
public:
    int object(int x, int y, const std::string& text); // text already escaped
    int message(int x, int y, const std::string& text);
    int comment(int x, int y, const std::string& text, int width_chars = 0);
    int array(const std::string& name, int size); // a table that is not saved with the patch
    int subpatch(int x, int y, const std::string& name, const Canvas& inside, int w = 600,
                 int h = 500);
    void connect(int from, int outlet, int to, int inlet);
    // The lines of a canvas that is not the top one, its #N canvas header included.
    std::string lines() const { return body_; }
    int count() const { return count_; }

private:
    int add(const std::string& line);
    std::string body_;
    int count_ = 0;
};

// The whole file of a top-level patch.
std::string patch_file(const Canvas& top, int w = 720, int h = 560, int font = 12);

// Runs PATCH in a headless Pd with DIR on its path and returns every line it printed (standard
// output and error together); `status` is the exit status Pd gave, which says little: Pd exits
// 0 when objects could not be made.
std::vector<std::string> run_pd(const std::string& pd, const std::string& dir,
                                const std::string& patch, double sample_rate, int& status);

// Lines of Pd's own start-up and shut-down talk that are not the patch's.
bool is_pd_chatter(std::string_view line);

} // namespace tovo::pd
