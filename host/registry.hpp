// SPDX-License-Identifier: GPL-3.0-or-later
// The class registry: every class the process knows, the plug-in libraries behind them and the
// loader that finds a class's library in the externals folder. Classes are registered once
// per process (a plug-in's `main` runs once), so the registry is shared by every patch.
#pragma once

#include "host/classes.hpp"
#include <tovo/api.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovo::host {

// An open plug-in library; closed when the registry goes.
class Library {
public:
    explicit Library(void* handle) : handle_(handle) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();
    void* symbol(const char* name) const;

private:
    void* handle_;
};

// What became of an attempt to find a class.
struct Lookup {
    Class* cls = nullptr;
    std::string problem; // why there is no class, when cls is null
};

class TOVO_EXPORT Registry {
public:
    static Registry& instance();
    // The host's own classes (print, sig~, ...), registered once, before any plug-in.
    void ensure_builtins();
    // Runs a class's registration with `name` as the name it registers under.
    void define(const char* name, int (*registration)()) { table_.define(name, registration); }

    // A class by name: a registered one, or one whose plug-in `DIR/<name>.so` loads now.
    Lookup find_or_load(const std::string& name, const std::filesystem::path& externals);
    Class* find(Symbol* name) const { return table_.find(name); }
    const std::vector<Class*>& classes() const { return table_.classes(); } // registration order
    // The table that setup and addmess fill.
    ClassTable& table() { return table_; }

private:
    Registry();
    ~Registry();
    // Declared before the classes, so closed after them: classes hold pointers into them.
    std::vector<std::unique_ptr<Library>> libraries_;
    ClassTable table_;
    std::map<std::string, std::string> failed_; // class name -> why its library gave no class
    bool builtins_done_ = false;
};

} // namespace tovo::host
