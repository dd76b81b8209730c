// SPDX-License-Identifier: GPL-3.0-or-later
// The class registry: every class the process knows, the plug-in libraries behind them and the
// loader that finds a class's library in the externals folder. Classes are registered once
// per process (a plug-in's `main` runs once), so the registry is shared by every patch.
#pragma once

#include <tovo/api.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovo::host {

struct Method {
    Symbol* selector;
    detail::Shape shape;
    std::vector<short> codes; // argument codes as the handler really declares them
    detail::ErasedFn fn;
    detail::Thunk thunk;
};

struct Class {
    Symbol* name;
    NewRoutine make = nullptr;
    detail::ErasedFn free_fn = nullptr;
    detail::FreeThunk free_thunk = nullptr;
    long size = 0;
    bool takes_signals = false;  // z_add_signalmethod was called
    bool builtin = false;        // one of the host's own classes, not from a plug-in
    std::vector<Method> methods; // in registration order

    const Method* find(Symbol* selector) const;
};

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
    void define(const char* name, int (*registration)());

    // A class by name: a registered one, or one whose plug-in `DIR/<name>.so` loads now.
    Lookup find_or_load(const std::string& name, const std::filesystem::path& externals);
    Class* find(Symbol* name) const;
    const std::vector<Class*>& classes() const { return order_; }

    // Called by setup/addmess while a plug-in's main (or the host's own set-up) runs.
    void begin_class(Class** slot, Symbol* name, NewRoutine make, detail::ErasedFn free_fn,
                     detail::FreeThunk thunk, long size);
    Class* registering() const { return registering_; }
    // The name that the class being loaded registers under: its library's file name.
    const std::string& loading_name() const { return loading_name_; }

private:
    Registry();
    ~Registry();
    std::map<Symbol*, std::unique_ptr<Class>> classes_;
    std::vector<Class*> order_; // registration order
    std::vector<std::unique_ptr<Library>> libraries_;
    std::map<std::string, std::string> failed_; // class name -> why its library gave no class
    Class* registering_ = nullptr;
    std::string loading_name_;
    bool builtins_done_ = false;
};

} // namespace tovo::host
