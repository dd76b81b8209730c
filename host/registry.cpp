// SPDX-License-Identifier: GPL-3.0-or-later
// The class registry and the plug-in loader.
#include "host/registry.hpp"

#include "host/builtins.hpp"

#include <dlfcn.h>

namespace tovo::host {

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
    for (Class* c : table_.classes())
        c->builtin = true;
}

Registry::~Registry() = default;

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

} // namespace tovo::host
