// SPDX-License-Identifier: GPL-3.0-or-later
// The class registry and the plug-in loader.
#include "host/registry.hpp"

#include "host/builtins.hpp"
#include "host/runtime.hpp"

#include <dlfcn.h>

#include <algorithm>

namespace tovo::host {

const Method* Class::find(Symbol* selector) const {
    for (const Method& m : methods)
        if (m.selector == selector)
            return &m;
    return nullptr;
}

Library::~Library() {
    if (handle_)
        dlclose(handle_);
}

void* Library::symbol(const char* name) const {
    return dlsym(handle_, name);
}

Registry& Registry::instance() {
    static Registry registry;
    return registry;
}

Registry::Registry() = default;

void Registry::ensure_builtins() {
    if (builtins_done_)
        return;
    builtins_done_ = true;
    register_builtins(*this);
    for (Class* c : order_)
        c->builtin = true;
}

void Registry::define(const char* name, int (*registration)()) {
    // A main may load another library while it registers (newinstance of a library object):
    // the outer class's registration goes on after the inner one is done.
    std::string outer_name = std::move(loading_name_);
    Class* outer = registering_;
    loading_name_ = name;
    registering_ = nullptr;
    registration();
    loading_name_ = std::move(outer_name);
    registering_ = outer;
}

Registry::~Registry() {
    // Classes hold function pointers into the libraries: drop them first.
    order_.clear();
    classes_.clear();
    libraries_.clear();
}

Class* Registry::find(Symbol* name) const {
    auto it = classes_.find(name);
    return it == classes_.end() ? nullptr : it->second.get();
}

Lookup Registry::find_or_load(const std::string& name, const std::filesystem::path& externals) {
    Symbol* sym = gensym(name.c_str());
    if (Class* c = find(sym))
        return {c, {}};
    if (auto f = failed_.find(name); f != failed_.end())
        return {nullptr, f->second};
    // A class name is a file name: keep it inside the externals folder.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {nullptr, "no class \"" + name + "\""};

    // Always an absolute path: a bare file name would send dlopen through the system's library
    // path, where a script could reach any library on the machine.
    if (externals.empty())
        return {nullptr, "no class \"" + name + "\": no externals folder"};
    const std::string file = name + ".so";
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(externals / file, ec);
    if (ec)
        return {nullptr, "no class \"" + name + "\": the externals folder can't be read"};
    if (!std::filesystem::is_regular_file(path, ec))
        return {nullptr,
                "no class \"" + name + "\": no plug-in \"" + file + "\" in the externals folder"};

    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // dlerror names the whole path; the file name is enough and reads the same anywhere.
        const char* text = dlerror();
        std::string why = text ? text : "unknown reason";
        if (why.starts_with(path.string() + ": "))
            why.erase(0, path.string().size() + 2);
        return {nullptr, "can't load \"" + file + "\": " + why};
    }
    libraries_.push_back(std::make_unique<Library>(handle));
    auto entry = reinterpret_cast<int (*)()>(libraries_.back()->symbol("main"));
    if (!entry) {
        failed_[name] = "\"" + file + "\" has no entry point \"main\"";
        return {nullptr, failed_[name]};
    }

    // main runs once per process; what it registers is filed under the library's name.
    define(name.c_str(), entry);
    if (Class* c = find(sym))
        return {c, {}};
    failed_[name] = "\"" + file + "\" registered no class";
    return {nullptr, failed_[name]};
}

void Registry::begin_class(Class** slot, Symbol* name, NewRoutine make, detail::ErasedFn free_fn,
                           detail::FreeThunk thunk, long size) {
    auto cls = std::make_unique<Class>();
    cls->name = name;
    cls->make = make;
    cls->free_fn = free_fn;
    cls->free_thunk = thunk;
    cls->size = size;
    registering_ = cls.get();
    if (slot)
        *slot = cls.get();
    order_.push_back(cls.get());
    classes_[name] = std::move(cls);
}

namespace detail {

void register_class(Class** slot, NewRoutine make, ErasedFn free_fn, FreeThunk thunk, long size,
                    const short* codes, int ncodes) {
    Registry& r = Registry::instance();
    const std::string& name = r.loading_name();
    if (name.empty()) {
        bug("setup called outside a plug-in's main");
        return;
    }
    if (r.find(gensym(name.c_str()))) {
        bug(name + ": setup called twice");
        return;
    }
    if (!make || size < static_cast<long>(sizeof(Object))) {
        bug(name + ": setup needs a creation routine and a record that holds the header");
        return;
    }
    // Creation routines take the whole argument list.
    if (!(ncodes >= 1 && codes[0] == A_GIMME &&
          std::all_of(codes + 1, codes + ncodes, [](short c) { return c == 0; }))) {
        bug(name + ": setup supports only creation arguments as a whole list (type 8)");
        return;
    }
    r.begin_class(slot, gensym(name.c_str()), make, free_fn, thunk, size);
}

void register_method(const char* selector, Shape shape, ErasedFn fn, Thunk thunk,
                     const short* declared, int ndeclared, const short* derived, int nderived) {
    Class* c = Registry::instance().registering();
    if (!c) {
        bug(std::string("addmess \"") + selector + "\" without a class being set up");
        return;
    }
    const std::string where = std::string(c->name->s_name) + ": \"" + selector + "\"";
    // Codes given, without the closing zeros, must be what the handler's type declares.
    int n = ndeclared;
    while (n > 0 && declared[n - 1] == 0)
        --n;
    if (!std::equal(declared, declared + n, derived, derived + nderived)) {
        bug(where + ": type codes do not match the handler's arguments");
        return;
    }
    if (c->find(gensym(selector))) {
        bug(where + ": registered twice");
        return;
    }
    const bool is_private = std::string(selector) == "dsp" || std::string(selector) == "assist";
    if (is_private != (shape == Shape::Dsp || shape == Shape::Assist) ||
        (shape == Shape::Dsp && std::string(selector) != "dsp") ||
        (shape == Shape::Assist && std::string(selector) != "assist")) {
        bug(where + ": private messages are \"dsp\" and \"assist\" with their own arguments");
        return;
    }
    c->methods.push_back(
        {gensym(selector), shape, std::vector<short>(derived, derived + nderived), fn, thunk});
}

} // namespace detail

void z_add_signalmethod() {
    if (Class* c = Registry::instance().registering())
        c->takes_signals = true;
}

} // namespace tovo::host
