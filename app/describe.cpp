// SPDX-License-Identifier: GPL-3.0-or-later
// tovo --list and --methods: listings made from the registry as it stands, and from a box made
// for the purpose, so they cannot drift from what the classes really register.
#include "app/describe.hpp"

#include <algorithm>
#include <filesystem>

namespace tovo::app {

using host::Class;
using host::Registry;

namespace {

std::string padded(const std::string& text, std::size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

bool by_name(const Class* a, const Class* b) {
    return std::string_view(a->name->s_name) < std::string_view(b->name->s_name);
}

std::string counted(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

} // namespace

std::string argument_text(const host::Method& m) {
    switch (m.shape) {
    case host::detail::Shape::Gimme:
        return "atoms";
    case host::detail::Shape::Dsp:
    case host::detail::Shape::Assist:
        return "private";
    case host::detail::Shape::Typed:
        break;
    }
    if (m.codes.empty())
        return "-";
    std::string text;
    for (short code : m.codes) {
        if (!text.empty())
            text += ' ';
        text += code == host::A_LONG ? "int" : "float";
    }
    return text;
}

std::vector<const Class*> find_classes(host::Runtime& rt, std::vector<std::string>& problems) {
    host::CurrentRuntime here(&rt);
    Registry& registry = Registry::instance();
    std::vector<const Class*> builtins;
    for (const Class* c : registry.classes())
        if (c->builtin)
            builtins.push_back(c);
    std::sort(builtins.begin(), builtins.end(), by_name);

    // A plug-in is a file <class>.so; its main runs now, unless it ran before in this process.
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(rt.externals(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        std::error_code file_ec;
        if (path.extension() == ".so" && it->is_regular_file(file_ec))
            names.push_back(path.stem().string());
    }
    if (ec)
        problems.push_back("can't read the externals folder " + rt.externals().string() + ": " +
                           ec.message());
    std::sort(names.begin(), names.end());

    std::vector<const Class*> plugins;
    for (const std::string& name : names) {
        host::Lookup found = registry.find_or_load(name, rt.externals());
        if (!found.cls)
            problems.push_back(found.problem);
        else if (!found.cls->builtin) // a built-in of the same name takes precedence
            plugins.push_back(found.cls);
    }
    builtins.insert(builtins.end(), plugins.begin(), plugins.end());
    return builtins;
}

bool print_class_list(host::Runtime& rt) {
    std::vector<std::string> problems;
    const std::vector<const Class*> classes = find_classes(rt, problems);
    std::size_t width = 0;
    for (const Class* c : classes)
        width = std::max(width, std::string_view(c->name->s_name).size() + 2);
    for (const Class* c : classes) {
        const std::string kind = c->builtin ? "built-in" : "plug-in";
        rt.print(padded(c->name->s_name, width) +
                 (c->takes_signals ? padded(kind, 10) + "signal" : kind));
    }
    for (const std::string& p : problems)
        rt.print("error: " + p);
    return problems.empty();
}

bool print_methods(host::Runtime& rt, const std::string& name) {
    host::Lookup found;
    {
        host::CurrentRuntime here(&rt);
        found = Registry::instance().find_or_load(name, rt.externals());
    }
    if (!found.cls) {
        rt.print("error: " + found.problem);
        return false;
    }
    const Class& c = *found.cls;
    rt.print("class " + name + " (" + (c.builtin ? "built-in" : "plug-in") +
             (c.takes_signals ? ", signal object)" : ")"));
    if (c.methods.empty()) {
        rt.print("messages: none");
    } else {
        rt.print("messages, in registration order:");
        std::size_t width = 0;
        for (const host::Method& m : c.methods)
            width = std::max(width, std::string_view(m.selector->s_name).size() + 2);
        for (const host::Method& m : c.methods)
            rt.print("  " + padded(m.selector->s_name, width) + argument_text(m));
    }

    // Inlets, outlets and assist texts belong to boxes: a box without arguments shows them.
    rt.print("a box made with no arguments:");
    std::string why;
    host::Box* box = rt.create("methods", name, {}, why);
    if (!box) {
        rt.print("error: " + why);
        return false;
    }
    std::string text;
    const int inlets = box->inlet_count();
    rt.print("  " + counted(static_cast<std::size_t>(inlets), "inlet") + ", " +
             counted(box->outlets.size(), "outlet"));
    for (int i = 0; i < inlets; ++i) {
        const bool signal = c.takes_signals && i < box->signal_inlets;
        const bool messages = i < box->message_inlets;
        const std::string kind = signal && messages ? "signal, messages"
                                 : signal           ? "signal"
                                                    : "messages";
        rt.assist(box, true, i, text);
        rt.print("  inlet " + std::to_string(i) + " (" + kind + ")" +
                 (text.empty() ? "" : ": " + text));
    }
    for (std::size_t o = 0; o < box->outlets.size(); ++o) {
        const bool signal = box->outlets[o]->kind == host::OutletKind::Signal;
        rt.assist(box, false, static_cast<int>(o), text);
        rt.print("  outlet " + std::to_string(o) + (signal ? " (signal)" : " (messages)") +
                 (text.empty() ? "" : ": " + text));
    }
    rt.destroy(box);
    return true;
}

} // namespace tovo::app
