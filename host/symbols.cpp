// SPDX-License-Identifier: GPL-3.0-or-later
// The symbol table: each distinct text is interned once for the life of the process, so
// symbols compare by address. Lookups may come from any thread.
#include <tovo/api.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tovo::host {

namespace {

struct Interned {
    std::string text;
    Symbol symbol;
};

struct SymbolTable {
    std::mutex lock;
    std::unordered_map<std::string, std::unique_ptr<Interned>> by_text;
};

SymbolTable& table() {
    static auto* t = new SymbolTable; // never freed: symbols outlive every other object
    return *t;
}

} // namespace

Symbol* gensym(const char* text) {
    SymbolTable& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    auto& slot = t.by_text[text ? text : ""];
    if (!slot) {
        slot = std::make_unique<Interned>();
        slot->text = text ? text : "";
        slot->symbol.s_name = slot->text.c_str();
    }
    return &slot->symbol;
}

} // namespace tovo::host
