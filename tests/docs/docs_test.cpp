// SPDX-License-Identifier: GPL-3.0-or-later
// The reference pages held against the live registry: every class has a page docs/<class>.md,
// every message a class registers is in a Messages table of its page with the argument types
// `tovo --methods` shows, no page lists a message its class lacks, and each page's example is
// the script under examples/docs that CI runs, with the output that run must print.
#include "app/describe.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tovo {
namespace {

namespace fs = std::filesystem;

const fs::path SOURCE = TOVO_SOURCE_DIR;
const std::string MESSAGES_HEADER = "| Message | Arguments | Does |";
const std::string EXAMPLE_HEADING = "## Example";
const std::string FENCE = "```";

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The cells of a table row "| a | b | c |"; "\|" is a bar inside a cell.
std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    std::string cell;
    for (std::size_t i = 1; i < row.size(); ++i) {
        if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
            cell += '|';
            ++i;
        } else if (row[i] == '|') {
            out.push_back(trimmed(cell));
            cell.clear();
        } else {
            cell += row[i];
        }
    }
    return out;
}

struct Row {
    std::string selector;
    std::string arguments;
    int line;
};

// The rows of every Messages table of a page. A malformed row is a problem, not a skipped row.
std::vector<Row> message_rows(const std::vector<std::string>& lines,
                              std::vector<std::string>& problems) {
    std::vector<Row> rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != MESSAGES_HEADER)
            continue;
        std::size_t j = i + 2; // past the header and its rule
        for (; j < lines.size() && lines[j].starts_with("|"); ++j) {
            const std::vector<std::string> c = cells(lines[j]);
            const int line = static_cast<int>(j + 1);
            const std::string& sel = c.empty() ? std::string() : c[0];
            if (c.size() != 3 || sel.size() < 3 || sel.front() != '`' || sel.back() != '`' ||
                sel.find('`', 1) != sel.size() - 1) {
                problems.push_back("line " + std::to_string(line) +
                                   ": a Messages row is | `SELECTOR` | TYPES | WHAT IT DOES |");
                continue;
            }
            rows.push_back({sel.substr(1, sel.size() - 2), c[1], line});
        }
        i = j;
    }
    return rows;
}

// What a page gets wrong about a class's messages, one line each; empty when it is right.
std::vector<std::string> compare_messages(const host::Class& cls, const std::vector<Row>& rows) {
    std::vector<std::string> problems;
    std::map<std::string, const Row*> documented;
    for (const Row& r : rows)
        if (!documented.emplace(r.selector, &r).second)
            problems.push_back("line " + std::to_string(r.line) + ": \"" + r.selector +
                               "\" is documented twice");
    std::set<std::string> registered;
    for (const host::Method& m : cls.methods) {
        const std::string sel = m.selector->s_name;
        registered.insert(sel);
        const auto it = documented.find(sel);
        if (it == documented.end())
            problems.push_back("\"" + sel + "\" (" + app::argument_text(m) +
                               ") is registered but not documented");
        else if (it->second->arguments != app::argument_text(m))
            problems.push_back("line " + std::to_string(it->second->line) + ": \"" + sel +
                               "\" takes " + app::argument_text(m) + ", the page says " +
                               it->second->arguments);
    }
    for (const Row& r : rows)
        if (!registered.contains(r.selector))
            problems.push_back("line " + std::to_string(r.line) + ": \"" + r.selector +
                               "\" is documented but not registered");
    return problems;
}

// The fenced blocks after the "## Example" heading, up to the next heading of that level.
std::vector<std::string> example_blocks(const std::vector<std::string>& lines) {
    std::vector<std::string> blocks;
    bool in_example = false;
    bool in_block = false;
    std::string block;
    for (const std::string& line : lines) {
        if (in_block) {
            if (line == FENCE) {
                blocks.push_back(block);
                block.clear();
                in_block = false;
            } else {
                block += line + "\n";
            }
        } else if (line.starts_with("## ")) {
            in_example = line == EXAMPLE_HEADING;
        } else if (in_example && line == FENCE) {
            in_block = true;
        }
    }
    return blocks;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines)
        text += "\n  " + l;
    return text;
}

class Pages : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> problems;
        for (const host::Class* c : app::find_classes(rt, problems))
            classes[c->name->s_name] = c;
        ASSERT_TRUE(problems.empty()) << joined(problems);
        for (const auto& entry : fs::directory_iterator(SOURCE / "docs"))
            if (entry.path().extension() == ".md")
                pages.insert(entry.path().stem().string());
    }

    host::Runtime rt{TOVO_EXTERNALS_DIR, [](std::string_view) {}};
    std::map<std::string, const host::Class*> classes;
    std::set<std::string> pages;
};

TEST_F(Pages, EveryClassHasAPageAndEveryPageAClass) {
    for (const auto& [name, cls] : classes)
        EXPECT_TRUE(pages.contains(name)) << "no page docs/" << name << ".md";
    for (const std::string& page : pages)
        EXPECT_TRUE(classes.contains(page)) << "docs/" << page << ".md names no class";
}

TEST_F(Pages, MessagesMatchWhatEachClassRegisters) {
    for (const auto& [name, cls] : classes) {
        if (!pages.contains(name))
            continue;
        const std::vector<std::string> lines = read_lines(SOURCE / "docs" / (name + ".md"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "# `" + name + "`") << "docs/" << name << ".md: title";
        std::vector<std::string> problems;
        const std::vector<Row> rows = message_rows(lines, problems);
        for (const std::string& p : compare_messages(*cls, rows))
            problems.push_back(p);
        EXPECT_TRUE(problems.empty()) << "docs/" << name << ".md:" << joined(problems);
    }
}

TEST_F(Pages, EachExampleIsTheScriptCiRunsWithItsOutput) {
    const fs::path examples = SOURCE / "examples" / "docs";
    for (const std::string& page : pages) {
        const std::vector<std::string> blocks =
            example_blocks(read_lines(SOURCE / "docs" / (page + ".md")));
        ASSERT_EQ(blocks.size(), 2u)
            << "docs/" << page << ".md: \"## Example\" holds the script and what it prints";
        EXPECT_EQ(blocks[0], read_text(examples / (page + ".tovo")))
            << "docs/" << page << ".md: the example differs from examples/docs/" << page << ".tovo";
        EXPECT_EQ(blocks[1], read_text(examples / (page + ".out")))
            << "docs/" << page << ".md: the output differs from examples/docs/" << page
            << ".out (tools/refresh-doc-examples.sh rewrites both from a run)";
    }
    for (const auto& entry : fs::directory_iterator(examples))
        EXPECT_TRUE(pages.contains(entry.path().stem().string()))
            << entry.path().filename() << " belongs to no page";
}

TEST_F(Pages, TheReadmeLinksEveryPage) {
    const std::string readme = read_text(SOURCE / "README.md");
    for (const std::string& page : pages)
        EXPECT_NE(readme.find("](docs/" + page + ".md)"), std::string::npos)
            << "README.md has no link to docs/" << page << ".md";
}

// The check itself: a page that lists a message twice, misses one, gives the wrong types or
// lists one the class lacks is caught, and a malformed row is not silently skipped.
TEST(PageCheck, CatchesEachKindOfMismatch) {
    host::Class cls{};
    cls.name = host::gensym("fake");
    cls.methods.push_back({host::gensym("bang"), host::detail::Shape::Typed, {}, nullptr, nullptr});
    cls.methods.push_back(
        {host::gensym("gain"), host::detail::Shape::Typed, {host::A_FLOAT}, nullptr, nullptr});
    cls.methods.push_back(
        {host::gensym("list"), host::detail::Shape::Gimme, {host::A_GIMME}, nullptr, nullptr});
    cls.methods.push_back(
        {host::gensym("dsp"), host::detail::Shape::Dsp, {host::A_CANT}, nullptr, nullptr});

    const std::vector<std::string> page = {
        "# `fake`",
        MESSAGES_HEADER,
        "|---|---|---|",
        "| `bang` | - | sends |",
        "| `gain` | int | sets the gain |",
        "| `dsp` | private | the host's |",
        "| `dsp` | private | again |",
        "| `width` | float | not registered |",
        "| list | atoms | no backticks |",
        "",
        "| Other | Table | Here |",
        "|---|---|---|",
        "| `ignored` | - | not a Messages table |",
    };
    std::vector<std::string> problems;
    const std::vector<Row> rows = message_rows(page, problems);
    EXPECT_EQ(rows.size(), 5u);
    for (const std::string& p : compare_messages(cls, rows))
        problems.push_back(p);
    const std::vector<std::string> expected = {
        "line 9: a Messages row is | `SELECTOR` | TYPES | WHAT IT DOES |",
        "line 7: \"dsp\" is documented twice",
        "line 5: \"gain\" takes float, the page says int",
        "\"list\" (atoms) is registered but not documented",
        "line 8: \"width\" is documented but not registered",
    };
    EXPECT_EQ(problems, expected);
}

TEST(PageCheck, ExampleBlocksStopAtTheNextSection) {
    const std::vector<std::string> page = {
        "## Messages", FENCE,         "not this",    FENCE, "## Example", "text",
        FENCE,         "new p print", "send p bang", FENCE, "It prints:", FENCE,
        "p: bang",     FENCE,         "## See also", FENCE, "nor this",   FENCE,
    };
    const std::vector<std::string> expected = {"new p print\nsend p bang\n", "p: bang\n"};
    EXPECT_EQ(example_blocks(page), expected);
}

} // namespace
} // namespace tovo
